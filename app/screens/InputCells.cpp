#include "app/screens/InputCells.h"

#include "app/services/QuroColor.h"

namespace app {

void applyKeypadInputStyle(platform::DTTextField& field) {
    field.boxLayer()->backgroundColor = QuroColor::background();
    field.textAlignment = platform::NSTextAlignment::center;
    field.inputView = std::make_shared<platform::UIView>(platform::CGRect{0, 0, 0, 0});
    field.autocorrectionType = platform::UITextAutocorrectionType::no;
    field.inputAssistantItem.leadingBarButtonGroups.clear();
    field.inputAssistantItem.trailingBarButtonGroups.clear();
}

void EnumeratedInputTableViewCell::awakeFromNib() {
    if (auto label = enumeratingLabel.lock()) label->textColor = QuroColor::label();
    if (auto field = integerTextField.lock()) applyKeypadInputStyle(*field);
    if (auto field = doubleTextField.lock()) applyKeypadInputStyle(*field);
}

void ValueInputTableViewCell::awakeFromNib() {
    if (inputTextField) {
        // The laid-out alignment stays; only the keyboard and the box change.
        const auto alignment = inputTextField->textAlignment;
        applyKeypadInputStyle(*inputTextField);
        inputTextField->textAlignment = alignment;
        inputTextField->boxLayer()->backgroundColor = platform::UIColor::systemBackground();
    }
    if (titleLabel) titleLabel->textColor = QuroColor::label();
    if (mathLabel) mathLabel->textColor = QuroColor::label();
    if (unitLabel) unitLabel->textColor = QuroColor::label();
}

void AddCellTableViewCell::awakeFromNib() {
    if (auto image = plusImageview.lock()) image->setTintColor(themePink());
}

SelectionPopupTableViewController::SelectionPopupTableViewController()
    : tableViewBgColor(themeGold()),
      tableViewSeparatorColor(themeGold()),
      cellBgColor(themeLightYellow()),
      cellHighlightColor(themePaleYellow()) {}

platform::CGSize SelectionPopupTableViewController::contentSize() const {
    return {static_cast<double>(rowWidth), 40.0 * static_cast<double>(data.size())};
}

void SelectionPopupTableViewController::viewDidLoad() {
    preferredContentSize = contentSize();
    auto table = tableView();
    table->registerCell(kSelectionPopupCellId, [] {
        return std::make_shared<platform::UITableViewCell>(
            platform::UITableViewCell::Style::defaultStyle, kSelectionPopupCellId);
    });
    table->setBackgroundColor(tableViewBgColor);
    table->separatorColor = tableViewSeparatorColor;
}

void SelectionPopupTableViewController::viewWillAppear(bool animated) {
    (void)animated;
    preferredContentSize = contentSize();
    if (selectedIndex && *selectedIndex >= 0 &&
        *selectedIndex < static_cast<std::int64_t>(data.size()))
        tableView()->scrollToRow({0, static_cast<int>(*selectedIndex)},
                                 platform::UITableViewScrollPosition::middle, true);
}

void SelectionPopupTableViewController::viewWillLayoutSubviews() {
    const auto wrapper = view()->superview();
    const auto container = wrapper ? wrapper->superview() : nullptr;
    if (!container) return;
    for (const auto& layer : container->layer()->sublayers())
        if (layer->name == kPopoverBorderLayer) return;
    const auto& mask = container->maskView();
    const auto maskLayer =
        mask ? std::dynamic_pointer_cast<platform::CAShapeLayer>(mask->layer()) : nullptr;
    if (!maskLayer) return;
    auto border = std::make_shared<platform::CAShapeLayer>();
    border->path = maskLayer->path;
    border->lineWidth = 4.0;
    border->strokeColor = cellHighlightColor;
    border->fillColor = platform::UIColor::clear();
    border->frame = maskLayer->bounds();
    border->name = kPopoverBorderLayer;
    container->layer()->addSublayer(std::move(border));
}

int SelectionPopupTableViewController::numberOfRowsInSection(platform::UITableView&, int) {
    return static_cast<int>(data.size());
}

platform::CGFloat SelectionPopupTableViewController::heightForRowAt(platform::UITableView&,
                                                                    platform::NSIndexPath) {
    return rowHeight;
}

std::shared_ptr<platform::UITableViewCell> SelectionPopupTableViewController::cellForRowAt(
    platform::UITableView& tableView, platform::NSIndexPath indexPath) {
    auto cell = tableView.dequeueReusableCell(kSelectionPopupCellId);
    if (!cell)
        cell = std::make_shared<platform::UITableViewCell>(
            platform::UITableViewCell::Style::defaultStyle, kSelectionPopupCellId);
    const auto row = static_cast<std::size_t>(indexPath.row);
    cell->textLabel()->setText(row < data.size() ? data[row] : "");
    cell->textLabel()->textAlignment = textAlignment;
    cell->setBackgroundColor(selectedIndex == static_cast<std::int64_t>(indexPath.row)
                                 ? cellHighlightColor
                                 : cellBgColor);
    return cell;
}

void SelectionPopupTableViewController::didSelectRowAt(platform::UITableView&,
                                                       platform::NSIndexPath indexPath) {
    if (completion) completion(indexPath.row);
    dismiss(true);
}

}  // namespace app
