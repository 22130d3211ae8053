#include "app/screens/HistoryTableViewController.h"

#include <mutex>

#include "app/screens/CalcManager.h"
#include "app/screens/CalculateViewController.h"
#include "app/services/AppAnalytics.h"
#include "app/services/QuroColor.h"
#include "app/services/Texts.h"
#include "app/services/ViewControllerHelpers.h"
#include "platform/ui/UIStoryboard.h"

namespace app {

HistoryTableViewCell::HistoryTableViewCell()
    : platform::UITableViewCell(Style::defaultStyle, kHistoryCellId) {
    setFrame({0, 0, 375, 60});
    mathLabel = std::make_shared<platform::MTMathUILabel>(platform::CGRect{16, 8, 343, 44});
    mathLabel->autoresizingMask = platform::UIViewAutoresizing::flexibleWidth;
    contentView()->addSubview(mathLabel);
}

void HistoryTableViewCell::awakeFromNib() {
    platform::UITableViewCell::awakeFromNib();
    mathLabel->textColor = QuroColor::label().withAlphaComponent(0.9);
}

std::shared_ptr<platform::IconButton> HistoryTableViewController::makeToolbarIconButton(
    std::shared_ptr<platform::UIImage> icon, void (HistoryTableViewController::*action)(),
    const char* id) {
    auto button = std::make_shared<platform::IconButton>(std::move(icon), QuroColor::primary());
    button->accessibilityIdentifier = id;
    std::weak_ptr<HistoryTableViewController> weak = shared<HistoryTableViewController>();
    button->addTarget(platform::UIControlEvents::touchUpInside,
                      [weak, action](platform::UIControl&) {
                          if (const auto self = weak.lock()) ((*self).*action)();
                      });
    return button;
}

void HistoryTableViewController::viewDidLoad() {
    platform::UITableViewController::viewDidLoad();
    tableView()->setTableFooterView(std::make_shared<platform::UIView>());
    tableView()->rowHeight = 60;
    tableView()->registerCell(kHistoryCellId, [] {
        auto cell = std::make_shared<HistoryTableViewCell>();
        cell->awakeFromNib();
        return cell;
    });
    editButton = makeToolbarIconButton(platform::Icon::edit(),
                                       &HistoryTableViewController::handleEditButton, "editButton");
    clearAllButton =
        makeToolbarIconButton(platform::Icon::clear(),
                              &HistoryTableViewController::handleClearAllButton, "clearAllButton");
}

void HistoryTableViewController::viewDidAppear(bool animated) {
    platform::UITableViewController::viewDidAppear(animated);
    if (const auto toolbar = platform::toolbarController(*this)) {
        toolbar->toolbar()->setTitle(localized("History"));
        toolbar->toolbar()->setRightViews({clearAllButton, editButton});
    }
}

int HistoryTableViewController::numberOfRowsInSection(platform::UITableView&, int) {
    return static_cast<int>(CalcManager::shared().calculations.size());
}

std::shared_ptr<platform::UITableViewCell> HistoryTableViewController::cellForRowAt(
    platform::UITableView& table, platform::NSIndexPath path) {
    auto cell = table.dequeueReusableCell(kHistoryCellId, path);
    const auto& records = CalcManager::shared().calculations;
    if (const auto history = std::dynamic_pointer_cast<HistoryTableViewCell>(cell);
        history && static_cast<std::size_t>(path.row) < records.size()) {
        history->mathLabel->setLatex(records[static_cast<std::size_t>(path.row)].latexString);
    }
    return cell;
}

void HistoryTableViewController::commitEditingStyle(platform::UITableView& table,
                                                    platform::UITableViewCellEditingStyle style,
                                                    platform::NSIndexPath path) {
    if (style != platform::UITableViewCellEditingStyle::delete_) return;
    AppAnalytics::logEventWithName("tapped_history_delete_single_calc");
    CalcManager::shared().removeCalculation(static_cast<std::size_t>(path.row));
    table.deleteRows({path}, platform::UITableViewRowAnimation::fade);
}

void HistoryTableViewController::moveRowAt(platform::UITableView&, platform::NSIndexPath from,
                                           platform::NSIndexPath to) {
    CalcManager::shared().moveCalculation(static_cast<std::size_t>(from.row),
                                          static_cast<std::size_t>(to.row));
}

void HistoryTableViewController::didSelectRowAt(platform::UITableView&,
                                                platform::NSIndexPath path) {
    openHistoryRecord(path.row);
}

void HistoryTableViewController::openHistoryRecord(int row) {
    const auto table = tableView();
    if (const auto selected = table->indexPathForSelectedRow()) {
        table->reloadRows({*selected}, platform::UITableViewRowAnimation::none);
    }
    auto& store = CalcManager::shared();
    if (row < 0 || static_cast<std::size_t>(row) >= store.calculations.size()) return;
    const auto record = store.calculations[static_cast<std::size_t>(row)];
    store.currentCalculation.reset();
    store.saveCurrentCalculations();
    store.currentSelectedCalculation = record;
    store.saveCurrentCalculations();
    platform::Dictionary input;
    for (const auto& [key, value] : record.inputParameters)
        input[key] = value;
    AppAnalytics::logEventWithName("tapped_history_item", {{"calc_parameters", std::move(input)},
                                                           {"latex_string", record.latexString}});
    if (showCalculationPages) showCalculationPages(*this);
}

void HistoryTableViewController::handleEditButton() {
    tableView()->setEditing(!tableView()->isEditing(), true);
}

void HistoryTableViewController::handleClearAllButton() {
    std::weak_ptr<HistoryTableViewController> weak = shared<HistoryTableViewController>();
    showAlert(*this, localized("Clear History"),
              localized("Are you sure to delete your whole history?"),
              {std::make_shared<platform::UIAlertAction>(
                   localized("Clear"), platform::UIAlertAction::Style::defaultStyle,
                   [weak](platform::UIAlertAction&) {
                       if (const auto self = weak.lock()) self->clearHistory();
                   }),
               std::make_shared<platform::UIAlertAction>(localized("Cancel"),
                                                         platform::UIAlertAction::Style::cancel)},
              platform::UIAlertControllerStyle::alert);
}

void HistoryTableViewController::clearHistory() {
    auto& store = CalcManager::shared();
    AppAnalytics::logEventWithName(
        "tapped_history_clear",
        {{"calc_count", static_cast<std::int64_t>(store.calculations.size())}});
    store.clearCalculations();
    tableView()->reloadData();
}

void registerHistoryInterface(ShowCalculationPages showCalculationPages) {
    static std::once_flag once;
    std::call_once(once, [&showCalculationPages] {
        platform::UIStoryboard::registerScene(
            kMainStoryboard, "HistoryTableViewController",
            [show = std::move(showCalculationPages)] {
                auto history = std::make_shared<HistoryTableViewController>();
                history->showCalculationPages = show;
                return history;
            });
    });
}

}  // namespace app
