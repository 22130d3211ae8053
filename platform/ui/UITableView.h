#pragma once
// Tables: one column of rows in sections. Only the cells of visible rows exist (cellForRow() is
// null off screen); cells that leave the screen wait for reuse and keep their content until
// their owner sets it again. Updates check the data source's new counts; a mismatch is logged
// and answered with a full reload.
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/UILabel.h"
#include "platform/ui/UIScrollView.h"
#include "platform/ui/UIViewController.h"

namespace platform {

class UITableView;

struct NSIndexPath {
    int section = 0;
    int row = 0;
    auto operator<=>(const NSIndexPath&) const = default;
};

// For failure messages: NSIndexPath{section: 0, row: 2} (ValuePrinters.cpp).
void PrintTo(const NSIndexPath& path, std::ostream* os);

// `delete_` stands for the platform's "delete" style (a C++ keyword).
enum class UITableViewCellEditingStyle { none, delete_, insert };
enum class UITableViewRowAnimation { fade, right, left, top, bottom, none, middle, automatic };
enum class UITableViewScrollPosition { none, top, middle, bottom };
enum class UITableViewStyle { plain, grouped, insetGrouped };

class UITableViewCell : public UIView {
  public:
    enum class Style { defaultStyle, value1, value2, subtitle };
    UITableViewCell();
    UITableViewCell(Style style, std::string reuseIdentifier);
    const std::string& reuseIdentifier() const { return reuseIdentifier_; }
    void setReuseIdentifier(std::string id) { reuseIdentifier_ = std::move(id); }
    const std::shared_ptr<UIView>& contentView() const { return contentView_; }
    // Made on first use, inside the content view.
    std::shared_ptr<UILabel> textLabel();
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected, bool animated);
    bool isEditing() const { return editing_; }
    // While editing, the content moves right of the delete control (kEditingInset) and clear of
    // the reorder control at the other end.
    virtual void setEditing(bool editing, bool animated);
    static constexpr CGFloat kEditingInset = 40;
    // Called before the cell is handed out again; the content stays.
    virtual void prepareForReuse() {}
    void layoutSubviews() override;
    // While editing: the red delete control at the leading edge, the reorder grip at the other.
    void draw(CGContext& ctx, CGRect rect) const override;
    // A tap selects the cell's row in its table; while editing, a tap on the delete control
    // deletes the row.
    bool handleTap(CGPoint p) override;
    void describe(ViewDescription& d) const override;

  private:
    std::string reuseIdentifier_;
    std::shared_ptr<UIView> contentView_;
    std::shared_ptr<UILabel> textLabel_;
    bool selected_ = false;
    bool editing_ = false;
};

// Distinct method names stand for the platform's `tableView:...` selectors, which differ only
// in their later keywords.
class UITableViewDataSource {
  public:
    virtual ~UITableViewDataSource() = default;
    virtual int numberOfSections(UITableView& tableView) {
        (void)tableView;
        return 1;
    }
    virtual int numberOfRowsInSection(UITableView& tableView, int section) = 0;
    virtual std::shared_ptr<UITableViewCell> cellForRowAt(UITableView& tableView,
                                                          NSIndexPath indexPath) = 0;
    virtual bool canEditRowAt(UITableView& tableView, NSIndexPath indexPath) {
        (void)tableView;
        (void)indexPath;
        return false;
    }
    virtual void commitEditingStyle(UITableView& tableView, UITableViewCellEditingStyle style,
                                    NSIndexPath indexPath) {
        (void)tableView;
        (void)style;
        (void)indexPath;
    }
    virtual bool canMoveRowAt(UITableView& tableView, NSIndexPath indexPath) {
        (void)tableView;
        (void)indexPath;
        return false;
    }
    virtual void moveRowAt(UITableView& tableView, NSIndexPath from, NSIndexPath to) {
        (void)tableView;
        (void)from;
        (void)to;
    }
};

class UITableViewDelegate : public UIScrollViewDelegate {
  public:
    // Negative: the table's rowHeight (or section header/footer height).
    virtual CGFloat heightForRowAt(UITableView& tableView, NSIndexPath indexPath) {
        (void)tableView;
        (void)indexPath;
        return -1;
    }
    virtual CGFloat heightForHeaderInSection(UITableView& tableView, int section) {
        (void)tableView;
        (void)section;
        return -1;
    }
    virtual CGFloat heightForFooterInSection(UITableView& tableView, int section) {
        (void)tableView;
        (void)section;
        return -1;
    }
    virtual std::shared_ptr<UIView> viewForHeaderInSection(UITableView& tableView, int section) {
        (void)tableView;
        (void)section;
        return nullptr;
    }
    virtual std::shared_ptr<UIView> viewForFooterInSection(UITableView& tableView, int section) {
        (void)tableView;
        (void)section;
        return nullptr;
    }
    virtual void willDisplayCell(UITableView& tableView, UITableViewCell& cell,
                                 NSIndexPath indexPath) {
        (void)tableView;
        (void)cell;
        (void)indexPath;
    }
    virtual void didSelectRowAt(UITableView& tableView, NSIndexPath indexPath) {
        (void)tableView;
        (void)indexPath;
    }
    virtual UITableViewCellEditingStyle editingStyleForRowAt(UITableView& tableView,
                                                             NSIndexPath indexPath) {
        (void)tableView;
        (void)indexPath;
        return UITableViewCellEditingStyle::delete_;
    }
};

class UITableView : public UIScrollView {
  public:
    explicit UITableView(CGRect frame = {}, UITableViewStyle style = UITableViewStyle::plain);
    UITableViewStyle style() const { return style_; }
    std::weak_ptr<UITableViewDataSource> dataSource;
    std::weak_ptr<UITableViewDelegate> tableDelegate;
    CGFloat rowHeight = 44;
    CGFloat sectionHeaderHeight = 0;
    CGFloat sectionFooterHeight = 0;
    std::optional<UIColor> separatorColor;
    bool allowsSelection = true;
    std::shared_ptr<UIView> tableHeaderView() const { return headerView_; }
    void setTableHeaderView(std::shared_ptr<UIView> view);
    std::shared_ptr<UIView> tableFooterView() const { return footerView_; }
    void setTableFooterView(std::shared_ptr<UIView> view);

    // Reuse.
    using CellFactory = std::function<std::shared_ptr<UITableViewCell>()>;
    void registerCell(const std::string& reuseIdentifier, CellFactory factory);
    // Cells from the nib registered under `nibName` (UINib::registerNib).
    void registerNib(const std::string& nibName, const std::string& reuseIdentifier);
    // A waiting cell, else null.
    std::shared_ptr<UITableViewCell> dequeueReusableCell(const std::string& reuseIdentifier);
    // A waiting cell, else a new one from the registration; an unregistered identifier is
    // logged and answered with a plain cell.
    std::shared_ptr<UITableViewCell> dequeueReusableCell(const std::string& reuseIdentifier,
                                                         NSIndexPath indexPath);

    // Data.
    void reloadData();
    void reloadRows(const std::vector<NSIndexPath>& paths, UITableViewRowAnimation animation);
    void insertRows(const std::vector<NSIndexPath>& paths, UITableViewRowAnimation animation);
    void deleteRows(const std::vector<NSIndexPath>& paths, UITableViewRowAnimation animation);
    // The data source has already moved the row.
    void moveRow(NSIndexPath from, NSIndexPath to);
    int numberOfSections() const { return static_cast<int>(counts_.size()); }
    int numberOfRows(int section) const;

    // Geometry, in content coordinates.
    CGRect rectForRow(NSIndexPath indexPath) const;
    CGRect rectForHeader(int section) const;
    CGRect rectForFooter(int section) const;
    CGRect rectForSection(int section) const;
    std::optional<NSIndexPath> indexPathForRow(CGPoint point) const;
    void scrollToRow(NSIndexPath indexPath, UITableViewScrollPosition position, bool animated);
    void setContentOffset(CGPoint offset, bool animated = false) override;

    // Cells on screen.
    std::shared_ptr<UITableViewCell> cellForRow(NSIndexPath indexPath) const;
    std::vector<std::shared_ptr<UITableViewCell>> visibleCells() const;
    std::vector<NSIndexPath> indexPathsForVisibleRows() const;
    std::optional<NSIndexPath> indexPath(const UITableViewCell& cell) const;

    // Selection and editing.
    std::optional<NSIndexPath> indexPathForSelectedRow() const { return selected_; }
    void selectRow(std::optional<NSIndexPath> indexPath, bool animated,
                   UITableViewScrollPosition position);
    void deselectRow(NSIndexPath indexPath, bool animated);
    bool isEditing() const { return editing_; }
    void setEditing(bool editing, bool animated);
    // A user's tap on a row: selects it and tells the delegate.
    void userSelectRow(NSIndexPath indexPath);

    void layoutSubviews() override;
    // A user's delete of a row: the data source commits it when the row is editable and its
    // style is delete. False otherwise.
    bool deleteRowByUser(NSIndexPath indexPath);
    // A swipe to the left over an editable row deletes it (the full swipe).
    bool handleSwipe(UISwipeDirection direction, CGPoint p) override;
    // While editing, a drag moves a movable row to where it is dropped. Otherwise a mostly
    // horizontal drag is a swipe, and any other scrolls.
    bool handleDrag(CGPoint from, CGPoint to) override;
    void describe(ViewDescription& d) const override;

  private:
    struct SectionGeometry {
        CGFloat top = 0, header = 0, footer = 0;
        std::vector<CGFloat> rowTops, rowHeights;
    };
    void replaceAccessory(std::shared_ptr<UIView>& slot, std::shared_ptr<UIView> view);
    void recomputeGeometry();
    void layoutCells();
    void enqueue(const std::shared_ptr<UITableViewCell>& cell);
    std::shared_ptr<UITableViewCell> makeCell(NSIndexPath indexPath);
    std::vector<int> dataSourceCounts();
    void applyUpdate(const std::vector<int>& newCounts,
                     const std::function<std::optional<NSIndexPath>(NSIndexPath)>& remap);

    UITableViewStyle style_;
    std::vector<int> counts_;
    std::vector<SectionGeometry> sections_;
    std::map<NSIndexPath, std::shared_ptr<UITableViewCell>> visible_;
    std::map<int, std::shared_ptr<UIView>> headers_, footers_;
    std::map<std::string, std::vector<std::shared_ptr<UITableViewCell>>> pool_;
    std::map<std::string, CellFactory> factories_;
    std::shared_ptr<UIView> headerView_, footerView_;
    std::optional<NSIndexPath> selected_;
    bool loaded_ = false;
    bool editing_ = false;
    bool inLayout_ = false;
};

class UITableViewController : public UIViewController,
                              public UITableViewDataSource,
                              public UITableViewDelegate {
  public:
    explicit UITableViewController(UITableViewStyle style = UITableViewStyle::plain)
        : tableStyle_(style) {}
    std::shared_ptr<UITableView> tableView();
    // A view loader's table view, else a new one; the controller becomes its data source and
    // delegate.
    void loadView() override;
    int numberOfRowsInSection(UITableView& tableView, int section) override {
        (void)tableView;
        (void)section;
        return 0;
    }
    std::shared_ptr<UITableViewCell> cellForRowAt(UITableView& tableView,
                                                  NSIndexPath indexPath) override;
    bool isEditing() const { return editing_; }
    virtual void setEditing(bool editing, bool animated);

  private:
    UITableViewStyle tableStyle_;
    bool editing_ = false;
};

}  // namespace platform
