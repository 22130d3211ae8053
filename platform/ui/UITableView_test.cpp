#include "platform/ui/UITableView.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/ui/UIDriver.h"
#include "platform/ui/UITestSupport.h"

namespace platform {
namespace {

class Rows : public UITableViewController {
  public:
    std::vector<std::string> rows;
    int made = 0;
    bool fillCells = true;
    std::vector<std::string> calls;
    int numberOfRowsInSection(UITableView&, int) override { return static_cast<int>(rows.size()); }
    std::shared_ptr<UITableViewCell> cellForRowAt(UITableView& t, NSIndexPath ip) override {
        auto cell = t.dequeueReusableCell("row", ip);
        if (fillCells) cell->textLabel()->setText(rows[ip.row]);
        return cell;
    }
    bool canEditRowAt(UITableView&, NSIndexPath) override { return true; }
    bool canMoveRowAt(UITableView&, NSIndexPath) override { return true; }
    void commitEditingStyle(UITableView& t, UITableViewCellEditingStyle, NSIndexPath ip) override {
        calls.push_back("delete " + rows[ip.row]);
        rows.erase(rows.begin() + ip.row);
        t.deleteRows({ip}, UITableViewRowAnimation::fade);
    }
    void moveRowAt(UITableView&, NSIndexPath from, NSIndexPath to) override {
        calls.push_back("move " + std::to_string(from.row) + "->" + std::to_string(to.row));
        auto r = rows[from.row];
        rows.erase(rows.begin() + from.row);
        rows.insert(rows.begin() + to.row, r);
    }
    void didSelectRowAt(UITableView&, NSIndexPath ip) override {
        calls.push_back("select " + rows[ip.row]);
    }
    void viewDidLoad() override {
        tableView()->registerCell("row", [this] {
            ++made;
            return std::make_shared<UITableViewCell>();
        });
        tableView()->rowHeight = 100;
    }
};

std::vector<std::string> letters(int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i)
        out.push_back(std::string(1, static_cast<char>('A' + i)));
    return out;
}

std::string text(const std::shared_ptr<UITableViewCell>& cell) {
    return cell ? cell->textLabel()->text() : "(none)";
}

class TableTest : public testing::UITest {
  protected:
    TableTest() {
        previousSink_ = setLogSink([this](std::string_view line) { log_.emplace_back(line); });
        rows_->rows = letters(20);
        show(rows_);
        table_ = rows_->tableView();
    }
    ~TableTest() override { setLogSink(previousSink_); }
    std::shared_ptr<Rows> rows_ = std::make_shared<Rows>();
    std::shared_ptr<UITableView> table_;
    std::vector<std::string> log_;
    LogSink previousSink_;
};

TEST_F(TableTest, OnlyVisibleRowsHaveCellsAndScrolledOutCellsAreReused) {
    // 844 points show rows 0 to 8 (row 8 in part).
    EXPECT_EQ(table_->indexPathsForVisibleRows().size(), 9u);
    EXPECT_EQ(text(table_->cellForRow({0, 8})), "I");
    EXPECT_EQ(table_->cellForRow({0, 9}), nullptr);
    EXPECT_EQ(rows_->made, 9);
    table_->scrollToRow({0, 19}, UITableViewScrollPosition::bottom, false);
    EXPECT_EQ(table_->contentOffset().y, 2000 - 844);
    EXPECT_EQ(table_->cellForRow({0, 0}), nullptr);
    EXPECT_EQ(text(table_->cellForRow({0, 11})), "L");
    EXPECT_EQ(text(table_->cellForRow({0, 19})), "T");
    EXPECT_EQ(rows_->made, 9);  // every cell came from the pool

    // A reused cell keeps what it showed until its owner sets it again.
    rows_->fillCells = false;
    table_->scrollToRow({0, 0}, UITableViewScrollPosition::top, false);
    EXPECT_NE(text(table_->cellForRow({0, 0})), "A");
    EXPECT_EQ(table_->cellForRow({0, 0})->subviews().front()->subviews().size(), 1u);
}

TEST_F(TableTest, ScrollPositionsAreClampedToTheContent) {
    struct Case {
        int row;
        UITableViewScrollPosition position;
        CGFloat offset;
    };
    const Case cases[] = {
        {10, UITableViewScrollPosition::middle, 1050 - 422},
        {0, UITableViewScrollPosition::middle, 0},
        {19, UITableViewScrollPosition::top, 1156},
        {12, UITableViewScrollPosition::none, 1156},  // already in view
        {11, UITableViewScrollPosition::none, 1100},
        {2, UITableViewScrollPosition::none, 200},
    };
    for (const auto& c : cases) {
        table_->scrollToRow({0, c.row}, c.position, false);
        EXPECT_EQ(table_->contentOffset().y, c.offset) << c.row;
    }
    EXPECT_EQ(table_->rectForRow({0, 3}), CGRect(0, 300, 390, 100));
    EXPECT_EQ(table_->rectForRow({0, 20}), CGRect());
    EXPECT_EQ(table_->rectForHeader(0), CGRect(0, 0, 390, 0));
    EXPECT_EQ(table_->rectForFooter(0), CGRect(0, 2000, 390, 0));
}

TEST_F(TableTest, DeletingChecksTheNewCount) {
    rows_->rows.erase(rows_->rows.begin() + 1);
    table_->deleteRows({{0, 1}}, UITableViewRowAnimation::fade);
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(text(table_->cellForRow({0, 1})), "C");
    EXPECT_EQ(table_->numberOfRows(0), 19);

    // The data source forgot to remove its rows: logged, then the table reloads from it.
    table_->deleteRows({{0, 0}, {0, 1}}, UITableViewRowAnimation::fade);
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0],
              "UITableView: invalid update: section 0 has 19 rows after the update, but had 19 "
              "plus 0 inserted minus 2 deleted; reloading");
    EXPECT_EQ(table_->numberOfRows(0), 19);
    EXPECT_EQ(text(table_->cellForRow({0, 0})), "A");
}

TEST_F(TableTest, SwipeDeletesTapSelectsAndDragMovesWhileEditing) {
    UIDriver driver;
    EXPECT_TRUE(driver.swipe(ViewQuery::byText("B"), UISwipeDirection::left).ok());
    EXPECT_TRUE(driver.tap(ViewQuery::byText("C")).ok());
    EXPECT_EQ(table_->indexPathForSelectedRow(), (NSIndexPath{0, 1}));
    EXPECT_TRUE(table_->cellForRow({0, 1})->isSelected());
    rows_->setEditing(true, true);
    EXPECT_TRUE(driver.tap(ViewQuery::byText("D")).ok());  // no selection while editing
    EXPECT_TRUE(driver.drag({100, 50}, {100, 350}).ok());
    EXPECT_EQ(rows_->calls, (std::vector<std::string>{"delete B", "select C", "move 0->3"}));
    EXPECT_EQ(rows_->rows[3], "A");
    EXPECT_EQ(text(table_->cellForRow({0, 3})), "A");
    EXPECT_EQ(text(table_->cellForRow({0, 0})), "C");
    EXPECT_TRUE(log_.empty());
}

TEST_F(TableTest, AnUnregisteredIdentifierIsLoggedAndGetsAPlainCell) {
    auto cell = table_->dequeueReusableCell("nope", {0, 0});
    ASSERT_TRUE(cell);
    EXPECT_EQ(cell->reuseIdentifier(), "nope");
    EXPECT_EQ(log_, (std::vector<std::string>{
                        "UITableView: no cell registered for reuse identifier \"nope\"; using a "
                        "plain cell"}));
}

}  // namespace
}  // namespace platform
