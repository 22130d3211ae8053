// Drives a drawer over a toolbar over tabs, a table and an alert through the driver only, and
// reads the screen back line for line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kits/DTTextField.h"
#include "platform/kits/MTMathUILabel.h"
#include "platform/kits/Material.h"
#include "platform/ui/UIAlertController.h"
#include "platform/ui/UIDriver.h"
#include "platform/ui/UITableView.h"
#include "platform/ui/UITestSupport.h"

namespace platform {
namespace {

class InputPage : public UIViewController {
  public:
    void viewDidLoad() override {
        auto field = std::make_shared<DTTextField>(CGRect{16, 20, 120, 40});
        field->accessibilityIdentifier = "aTextField";
        field->borderShown = true;
        field->borderColor = UIColor::systemGray();
        field->boxLayer()->backgroundColor = UIColor::systemGray4();
        view()->addSubview(field);
        auto formula = std::make_shared<MTMathUILabel>(CGRect{16, 80, 200, 40});
        formula->setLatex("\\log_a(u)");
        view()->addSubview(formula);
        auto item = tabItem(*this);
        item->setTitle("Input");
    }
};

class ResultPage : public UIViewController {
  public:
    ResultPage() {
        tabItem(*this)->setTitle("Result");
        tabItem(*this)->setEnabled(false);
    }
};

class HistoryList : public UITableViewController {
  public:
    std::vector<std::string> records{"\\log_2(8)", "\\log_3(9)", "\\log_{2^3}(4^6)"};
    int numberOfRowsInSection(UITableView&, int) override {
        return static_cast<int>(records.size());
    }
    std::shared_ptr<UITableViewCell> cellForRowAt(UITableView& t, NSIndexPath ip) override {
        auto cell = t.dequeueReusableCell("historyCell", ip);
        auto label =
            std::dynamic_pointer_cast<MTMathUILabel>(cell->contentView()->subviews().at(0));
        label->setLatex(records[ip.row]);
        return cell;
    }
    bool canEditRowAt(UITableView&, NSIndexPath) override { return true; }
    void commitEditingStyle(UITableView& t, UITableViewCellEditingStyle, NSIndexPath ip) override {
        records.erase(records.begin() + ip.row);
        t.deleteRows({ip}, UITableViewRowAnimation::fade);
    }
    void viewDidLoad() override {
        tableView()->rowHeight = 60;
        tableView()->setTableFooterView(std::make_shared<UIView>());
        tableView()->registerCell("historyCell", [] {
            auto cell = std::make_shared<UITableViewCell>();
            auto label = std::make_shared<MTMathUILabel>(CGRect{16, 10, 300, 40});
            label->textColor = UIColor::label().withAlphaComponent(0.9);
            cell->contentView()->addSubview(label);
            return cell;
        });
    }
    void viewDidAppear(bool) override {
        auto bar = toolbarController(*this);
        if (!bar) return;
        bar->toolbar()->setTitle("History");
        auto clear = std::make_shared<IconButton>(Icon::clear(), UIColor::systemBlue());
        clear->accessibilityIdentifier = "clearHistory";
        std::weak_ptr<HistoryList> weakSelf = shared<HistoryList>();
        clear->addTarget(UIControlEvents::touchUpInside, [weakSelf](UIControl&) {
            if (auto self = weakSelf.lock()) self->askToClear();
        });
        bar->toolbar()->setRightViews({clear});
    }
    void askToClear() {
        auto alert = std::make_shared<UIAlertController>(
            "Clear History", "Are you sure to delete your whole history?",
            UIAlertControllerStyle::alert);
        std::weak_ptr<HistoryList> weakSelf = shared<HistoryList>();
        alert->addAction(std::make_shared<UIAlertAction>(
            "Clear", UIAlertAction::Style::defaultStyle, [weakSelf](UIAlertAction&) {
                if (auto self = weakSelf.lock()) {
                    self->records.clear();
                    self->tableView()->reloadData();
                }
            }));
        alert->addAction(std::make_shared<UIAlertAction>("Cancel", UIAlertAction::Style::cancel));
        present(alert, true);
    }
};

class MenuPage : public UIViewController {
  public:
    void viewDidLoad() override {
        auto history = UIButton::systemButton("History");
        history->setFrame({0, 100, 280, 44});
        std::weak_ptr<MenuPage> weakSelf = shared<MenuPage>();
        history->addTarget(UIControlEvents::touchUpInside, [weakSelf](UIControl&) {
            auto self = weakSelf.lock();
            auto drawer = self ? navigationDrawerController(*self) : nullptr;
            if (!drawer) return;
            auto list = std::make_shared<ToolbarController>(std::make_shared<HistoryList>());
            std::weak_ptr<NavigationDrawerController> weakDrawer = drawer;
            drawer->transition(list, [weakDrawer](bool) {
                if (auto d = weakDrawer.lock()) d->closeLeftView();
            });
        });
        view()->addSubview(history);
    }
};

class AppToolbar : public ToolbarController {
  public:
    using ToolbarController::ToolbarController;
    void prepare() override {
        ToolbarController::prepare();
        auto menu = std::make_shared<IconButton>(Icon::menu(), UIColor::whiteColor());
        menu->accessibilityIdentifier = "menuButton";
        std::weak_ptr<AppToolbar> weakSelf = shared<AppToolbar>();
        menu->addTarget(UIControlEvents::touchUpInside, [weakSelf](UIControl&) {
            auto self = weakSelf.lock();
            if (auto drawer = self ? navigationDrawerController(*self) : nullptr) {
                drawer->toggleLeftView();
            }
        });
        toolbar()->setLeftViews({menu});
        toolbar()->setTitle("Calculate");
        toolbar()->setBackgroundColor(*UIColor::hex("#fff8e1"));
        statusBar()->setBackgroundColor(*UIColor::hex("#ffc107"));
    }
};

class AppChromeTest : public testing::UITest {};

TEST_F(AppChromeTest, DrivesDrawerToolbarTabsTableAndAlertThroughTheDriver) {
    auto tabs = std::make_shared<TabsController>(
        std::vector<std::shared_ptr<UIViewController>>{std::make_shared<InputPage>(),
                                                       std::make_shared<ResultPage>()},
        0);
    tabs->tabBarAlignment = TabBarAlignment::top;
    auto drawer = std::make_shared<NavigationDrawerController>(std::make_shared<AppToolbar>(tabs),
                                                               std::make_shared<MenuPage>());
    show(drawer);
    UIDriver driver;
    EXPECT_EQ(driver.screen(), R"dump(UIWindow 0,0,390,844
  UIView 0,0,390,844 vc=NavigationDrawerController
    UIView 0,0,390,844
      UIView 0,0,390,844 vc=AppToolbar
        UIView 0,103,390,741
          UIView 0,0,390,741 vc=TabsController
            UIView 0,48,390,693
              UIView 0,0,390,693 vc=InputPage
                DTTextField#aTextField 16,20,120,40 text="" mark=#8e8e93 color=#000000
                MTMathUILabel 16,80,200,40 latex="\\log_a(u)" color=#000000
            TabBar 0,0,390,48
              TabItem 0,0,195,48 text="Input" selected color=#8e8e93
              TabItem 195,0,195,48 text="Result" disabled color=#8e8e93
              UIView 0,0,195,3
        UIView 0,0,390,47 bg=#ffc107
        Toolbar 0,47,390,56 bg=#fff8e1
          UILabel 60,17.8,314,20.4 text="Calculate" color=#000000
          UILabel 60,38.2,314,0 text="" hidden color=#000000
          IconButton#menuButton 8,6,44,44 image=ic_menu_white
    UIView 0,0,390,844 hidden bg=#00000080
    UIView#navigationDrawerLeftView 0,0,280,844 hidden
)dump");
    const auto disabled = DriverResult{DriverResult::Status::notHittable, "disabled"};
    EXPECT_EQ(driver.tap(ViewQuery::byText("Result")), disabled);
    EXPECT_TRUE(driver.tap(ViewQuery::byText("\\log_a(u)")).ok());  // LaTeX matches as text

    // The menu button opens the drawer; its overlay then covers the toolbar.
    EXPECT_TRUE(driver.tap(ViewQuery::byId("menuButton")).ok());
    EXPECT_EQ(driver.tap(ViewQuery::byId("menuButton")),
              (DriverResult{DriverResult::Status::notHittable, "covered by UIView"}));
    std::string open = driver.screen();
    EXPECT_NE(open.find(R"dump(
    UIView 0,0,390,844 bg=#00000080
    UIView#navigationDrawerLeftView 0,0,280,844
      UIView 0,0,280,844 vc=MenuPage
        UIButton 0,100,280,44 text="History" color=#007aff
)dump"),
              std::string::npos)
        << open;

    // The side menu swaps the drawer's root and closes the drawer when the swap is done.
    EXPECT_TRUE(driver.tap(ViewQuery::byText("History")).ok());
    EXPECT_TRUE(driver.swipe(ViewQuery::byText("\\log_3(9)"), UISwipeDirection::left).ok());
    EXPECT_TRUE(driver.tap(ViewQuery::byId("clearHistory")).ok());
    EXPECT_EQ(driver.screen(), R"dump(UIWindow 0,0,390,844
  UIView 0,0,390,844 vc=NavigationDrawerController
    UIView 0,0,390,844
      UIView 0,0,390,844 vc=ToolbarController
        UIView 0,103,390,741
          UITableView 0,0,390,741 vc=HistoryList rows=2
            UIView 0,120,390,0
            UITableViewCell 0,0,390,60
              UIView 0,0,390,60
                MTMathUILabel 16,10,300,40 latex="\\log_2(8)" color=#000000
            UITableViewCell 0,60,390,60
              UIView 0,0,390,60
                MTMathUILabel 16,10,300,40 latex="\\log_{2^3}(4^6)" color=#000000
        UIView 0,0,390,47
        Toolbar 0,47,390,56
          UILabel 16,17.8,314,20.4 text="History" color=#000000
          UILabel 16,38.2,314,0 text="" hidden color=#000000
          IconButton#clearHistory 338,6,44,44 image=ic_close_white
    UIView 0,0,390,844 hidden bg=#00000080
    UIView#navigationDrawerLeftView 0,0,280,844 hidden
  UIView 0,0,390,844 vc=UIAlertController bg=#00000033
    UIView 60,330.2,270,183.6 bg=#ffffff
      UILabel 16,20,238,20.4 text="Clear History" color=#000000
      UILabel 16,44.4,238,31.2 text="Are you sure to delete your whole history?" color=#000000
      UIButton 0,95.6,270,44 text="Clear" color=#007aff
      UIButton 0,139.6,270,44 text="Cancel" color=#007aff role=cancel
)dump");
    EXPECT_EQ(driver.tap(ViewQuery::byId("clearHistory")),
              (DriverResult{DriverResult::Status::notHittable, "covered by UIView"}));
    EXPECT_TRUE(driver.tap(ViewQuery::byText("Clear")).ok());
    EXPECT_EQ(driver.screen(), R"dump(UIWindow 0,0,390,844
  UIView 0,0,390,844 vc=NavigationDrawerController
    UIView 0,0,390,844
      UIView 0,0,390,844 vc=ToolbarController
        UIView 0,103,390,741
          UITableView 0,0,390,741 vc=HistoryList rows=0
            UIView 0,0,390,0
        UIView 0,0,390,47
        Toolbar 0,47,390,56
          UILabel 16,17.8,314,20.4 text="History" color=#000000
          UILabel 16,38.2,314,0 text="" hidden color=#000000
          IconButton#clearHistory 338,6,44,44 image=ic_close_white
    UIView 0,0,390,844 hidden bg=#00000080
    UIView#navigationDrawerLeftView 0,0,280,844 hidden
)dump");
}

}  // namespace
}  // namespace platform
