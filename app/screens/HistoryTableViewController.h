#pragma once

// The history list: every stored calculation, newest first, as rendered LaTeX. A tap reopens the
// calculation on a new page chain; rows can be deleted, reordered in edit mode and the whole
// history cleared after a confirmation. Main thread only.

#include <functional>
#include <memory>

#include "platform/kits/MTMathUILabel.h"
#include "platform/kits/Material.h"
#include "platform/ui/UITableView.h"

namespace app {

inline constexpr char kHistoryCellId[] = "historyCell";

// Shows the calculate and result pages anew in place of the history, whose calculate page then
// restores the picked record. The app's frame knows how and gives it to every history screen.
using ShowCalculationPages = std::function<void(platform::UIViewController& history)>;

class HistoryTableViewCell : public platform::UITableViewCell {
  public:
    HistoryTableViewCell();
    std::shared_ptr<platform::MTMathUILabel> mathLabel;
    void awakeFromNib() override;
};

class HistoryTableViewController : public platform::UITableViewController {
  public:
    std::shared_ptr<platform::IconButton> editButton;
    std::shared_ptr<platform::IconButton> clearAllButton;
    ShowCalculationPages showCalculationPages;

    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;

    int numberOfRowsInSection(platform::UITableView& tableView, int section) override;
    std::shared_ptr<platform::UITableViewCell> cellForRowAt(platform::UITableView& tableView,
                                                            platform::NSIndexPath path) override;
    bool canEditRowAt(platform::UITableView&, platform::NSIndexPath) override { return true; }
    void commitEditingStyle(platform::UITableView& tableView,
                            platform::UITableViewCellEditingStyle style,
                            platform::NSIndexPath path) override;
    bool canMoveRowAt(platform::UITableView&, platform::NSIndexPath) override { return true; }
    void moveRowAt(platform::UITableView& tableView, platform::NSIndexPath from,
                   platform::NSIndexPath to) override;
    void didSelectRowAt(platform::UITableView& tableView, platform::NSIndexPath path) override;

    void openHistoryRecord(int row);
    void handleEditButton();
    void handleClearAllButton();
    virtual void clearHistory();

  private:
    std::shared_ptr<platform::IconButton> makeToolbarIconButton(
        std::shared_ptr<platform::UIImage> icon, void (HistoryTableViewController::*action)(),
        const char* id);
};

// Registers the interface "Main" scene "HistoryTableViewController", whose screens show a picked
// record with `showCalculationPages` (idempotent: the first registration's stays).
void registerHistoryInterface(ShowCalculationPages showCalculationPages);

}  // namespace app
