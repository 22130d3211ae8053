#pragma once

// Table cells for entering values in list form and a small list picker shown as a popover. Their
// fields take input only from the app's own keypad, never from the system keyboard.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/kits/DTTextField.h"
#include "platform/kits/MTMathUILabel.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UITableView.h"

namespace app {

// Readies a field for the keypad: box in the background colour, centred text, no system
// keyboard, no autocorrection, no input-assistant bar buttons.
void applyKeypadInputStyle(platform::DTTextField& field);

class EnumeratedInputTableViewCell : public platform::UITableViewCell {
  public:
    using platform::UITableViewCell::UITableViewCell;
    std::weak_ptr<platform::UILabel> enumeratingLabel;
    std::weak_ptr<platform::DTTextField> integerTextField, doubleTextField;
    // Styles the connected outlets; a missing outlet is left alone.
    void awakeFromNib();
};

class ValueInputTableViewCell : public platform::UITableViewCell {
  public:
    using platform::UITableViewCell::UITableViewCell;
    std::shared_ptr<platform::UILabel> titleLabel;
    std::shared_ptr<platform::MTMathUILabel> mathLabel, unitLabel;
    std::shared_ptr<platform::DTTextField> inputTextField;
    void awakeFromNib();
};

class AddCellTableViewCell : public platform::UITableViewCell {
  public:
    using platform::UITableViewCell::UITableViewCell;
    std::weak_ptr<platform::UIImageView> plusImageview;
    void awakeFromNib();
};

inline constexpr char kSelectionPopupCellId[] = "DefaultCell";
inline constexpr char kPopoverBorderLayer[] = "border";

class SelectionPopupTableViewController : public platform::UITableViewController {
  public:
    SelectionPopupTableViewController();
    double rowHeight = 40.0;
    std::int64_t rowWidth = 80;
    platform::NSTextAlignment textAlignment = platform::NSTextAlignment::center;
    platform::UIColor tableViewBgColor, tableViewSeparatorColor, cellBgColor, cellHighlightColor;
    std::optional<std::int64_t> selectedIndex;
    std::vector<std::string> data;
    std::function<void(std::int64_t)> completion;

    // rowWidth wide, 40 points per entry.
    platform::CGSize contentSize() const;

    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    // Outlines the popover's frame view once, along its mask, in the highlight colour.
    void viewWillLayoutSubviews() override;
    int numberOfRowsInSection(platform::UITableView& tableView, int section) override;
    platform::CGFloat heightForRowAt(platform::UITableView& tableView,
                                     platform::NSIndexPath indexPath) override;
    std::shared_ptr<platform::UITableViewCell> cellForRowAt(
        platform::UITableView& tableView, platform::NSIndexPath indexPath) override;
    void didSelectRowAt(platform::UITableView& tableView, platform::NSIndexPath indexPath) override;
};

}  // namespace app
