#include "platform/kits/Material.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kits/DTTextField.h"
#include "platform/kits/MTMathUILabel.h"
#include "platform/ui/ScreenDump.h"
#include "platform/ui/UIAlertController.h"
#include "platform/ui/UIDriver.h"
#include "platform/ui/UITableView.h"
#include "platform/ui/UITestSupport.h"

namespace platform {
namespace {

using testing::Events;
using Page = testing::AppearanceRecorder;

class CountingToolbar : public ToolbarController {
  public:
    using ToolbarController::ToolbarController;
    int prepared = 0;
    void prepare() override {
        ToolbarController::prepare();
        ++prepared;
    }
};

class MaterialTest : public testing::UITest {
  protected:
    Events events_;
};

TEST_F(MaterialTest, TabsShowOnlyTheSelectedPageAndSwitchAppearance) {
    auto input = std::make_shared<Page>("input", events_);
    auto result = std::make_shared<Page>("result", events_);
    auto tabs = std::make_shared<TabsController>(
        std::vector<std::shared_ptr<UIViewController>>{input, result}, 0);
    auto toolbar = std::make_shared<CountingToolbar>(tabs);
    show(toolbar);
    EXPECT_EQ(events_, (Events{"input load", "input willAppear", "input didAppear"}));
    EXPECT_EQ(toolbar->prepared, 1);
    EXPECT_EQ(tabsController(*result), tabs);
    EXPECT_EQ(toolbarController(*result), toolbar);
    EXPECT_EQ(navigationDrawerController(*result), nullptr);
    EXPECT_TRUE(input->view()->window());
    EXPECT_FALSE(result->view()->window());

    events_.clear();
    tabs->select(1);
    tabs->select(1);
    tabs->select(7);
    EXPECT_EQ(events_, (Events{"input willDisappear", "result willAppear", "input didDisappear",
                               "result didAppear"}));
    EXPECT_FALSE(input->view()->window());
    EXPECT_EQ(tabs->selectedIndex(), 1);
    EXPECT_TRUE(tabItem(*result)->isSelected());
    EXPECT_FALSE(tabItem(*input)->isSelected());
    EXPECT_EQ(tabsController(*input), tabs);  // a hidden page stays a child
    EXPECT_EQ(toolbar->prepared, 1);
}

TEST_F(MaterialTest, TheDrawersLeftSideAppearsWithTheDrawerAndTransitionsCompleteAfterTheSwap) {
    auto left = std::make_shared<Page>("menu", events_);
    auto first = std::make_shared<Page>("first", events_);
    auto drawer = std::make_shared<NavigationDrawerController>(first, left);
    show(drawer);
    EXPECT_EQ(events_, (Events{"first load", "menu load", "first willAppear", "menu willAppear",
                               "first didAppear", "menu didAppear"}));
    EXPECT_TRUE(drawer->leftView()->isHidden());
    events_.clear();
    drawer->toggleLeftView();
    drawer->toggleLeftView();
    EXPECT_TRUE(events_.empty());  // opening and closing send no appearance

    auto second = std::make_shared<Page>("second", events_);
    bool swapped = false;
    drawer->openLeftView();
    drawer->transition(second, [&](bool finished) {
        EXPECT_TRUE(finished);
        EXPECT_EQ(drawer->rootViewController(), second);
        EXPECT_TRUE(second->view()->window());
        EXPECT_FALSE(first->view()->window());
        events_.push_back("completion");
        drawer->closeLeftView();
        swapped = true;
    });
    EXPECT_TRUE(swapped);
    EXPECT_FALSE(drawer->isLeftViewOpened());
    EXPECT_EQ(events_, (Events{"first willDisappear", "second load", "second willAppear",
                               "first didDisappear", "second didAppear", "completion"}));
    EXPECT_EQ(first->parent(), nullptr);
    EXPECT_EQ(navigationDrawerController(*second), drawer);

    // Swipes open and close the drawer; the delegate hears of them as pans.
    class Delegate : public NavigationDrawerControllerDelegate {
      public:
        Events& events;
        explicit Delegate(Events& e) : events(e) {}
        void navigationDrawerControllerDidBeginPanAt(NavigationDrawerController&, CGPoint,
                                                     NavigationDrawerPosition) override {
            events.push_back("pan");
        }
        void navigationDrawerControllerDidOpen(NavigationDrawerController&,
                                               NavigationDrawerPosition) override {
            events.push_back("open");
        }
        void navigationDrawerControllerDidClose(NavigationDrawerController&,
                                                NavigationDrawerPosition) override {
            events.push_back("close");
        }
    };
    auto delegate = std::make_shared<Delegate>(events_);
    drawer->delegate = delegate;
    events_.clear();
    UIDriver driver;
    second->view()->accessibilityIdentifier = "page";
    left->view()->accessibilityIdentifier = "menu";
    EXPECT_TRUE(driver.swipe(ViewQuery::byId("page"), UISwipeDirection::right).ok());
    EXPECT_TRUE(drawer->isLeftViewOpened());
    EXPECT_TRUE(driver.swipe(ViewQuery::byId("menu"), UISwipeDirection::left).ok());
    EXPECT_FALSE(drawer->isLeftViewOpened());
    EXPECT_EQ(events_, (Events{"pan", "open", "pan", "close"}));
}

TEST_F(MaterialTest, AToolbarWithoutStatusBarKeepsItsHeightAndPushesItsTitleDown) {
    class MenuToolbar : public ToolbarController {
      public:
        using ToolbarController::ToolbarController;
        void prepare() override {
            ToolbarController::prepare();
            statusBar()->setHidden(true);
            toolbar()->setContentEdgeInsets({57, 0, 0, 0});
            toolbar()->setTitle("  Tessaline  ");
            CGRect f = toolbar()->frame();
            toolbar()->setFrame({f.minX(), f.minY(), f.width(), 90});
        }
    };
    auto menu = std::make_shared<MenuToolbar>(std::make_shared<UIViewController>());
    show(menu);
    EXPECT_EQ(menu->toolbar()->frame(), CGRect(0, 0, 390, 90));
    EXPECT_EQ(menu->rootViewController()->view()->frame(), CGRect(0, 0, 390, 754));
    EXPECT_EQ(menu->toolbar()->titleLabel()->frame(), CGRect(8, 63.3, 374, 20.4));
    EXPECT_EQ(menu->container()->frame(), CGRect(0, 90, 390, 754));
    EXPECT_EQ(toolbarController(*menu->rootViewController()), menu);
}

// Drags from the page: one from the screen's left edge opens the drawer, one to the left over the
// open drawer or its overlay closes it; every other drag goes to the lists beneath.
TEST_F(MaterialTest, EdgeAndSidewaysDragsOpenAndCloseTheDrawer) {
    class Delegate : public NavigationDrawerControllerDelegate {
      public:
        Events& events;
        explicit Delegate(Events& e) : events(e) {}
        void navigationDrawerControllerDidBeginPanAt(NavigationDrawerController&, CGPoint p,
                                                     NavigationDrawerPosition) override {
            events.push_back("begin " + formatNumber(p.x) + "," + formatNumber(p.y));
        }
        void navigationDrawerControllerDidEndPanAt(NavigationDrawerController&, CGPoint p,
                                                   NavigationDrawerPosition) override {
            events.push_back("end " + formatNumber(p.x) + "," + formatNumber(p.y));
        }
    };
    const auto listed = [](UIViewController& page) {
        auto list = std::make_shared<UIScrollView>(page.view()->bounds());
        list->setContentSize({page.view()->bounds().width(), 3000});
        page.view()->addSubview(list);
        return list;
    };
    auto page = std::make_shared<UIViewController>();
    auto menu = std::make_shared<UIViewController>();
    auto drawer = std::make_shared<NavigationDrawerController>(page, menu);
    show(drawer);
    const auto pageList = listed(*page), menuList = listed(*menu);
    auto delegate = std::make_shared<Delegate>(events_);
    drawer->delegate = delegate;
    UIDriver driver;
    struct Step {
        const char* what;
        CGPoint from, to;
        bool opened;
        CGFloat pageOffset, menuOffset;
    };
    const Step steps[] = {
        {"sideways, but from inside the edge", {40, 400}, {240, 410}, false, 0, 0},
        {"from the edge, mostly down", {5, 400}, {15, 300}, false, 100, 0},
        {"from the edge to the right", {5, 400}, {200, 420}, true, 100, 0},
        {"down over the open menu", {100, 400}, {110, 300}, true, 100, 100},
        {"to the left over the overlay", {350, 400}, {300, 410}, false, 100, 100},
        {"from the very edge", {0, 100}, {100, 100}, true, 100, 100},
        {"to the left over the menu", {200, 400}, {60, 380}, false, 100, 100},
        {"to the left from the edge", {20, 400}, {2, 400}, false, 100, 100},
    };
    for (const auto& step : steps) {
        EXPECT_TRUE(driver.drag(step.from, step.to).ok()) << step.what;
        EXPECT_EQ(drawer->isLeftViewOpened(), step.opened) << step.what;
        EXPECT_EQ(pageList->contentOffset().y, step.pageOffset) << step.what;
        EXPECT_EQ(menuList->contentOffset().y, step.menuOffset) << step.what;
    }
    EXPECT_EQ(events_, (Events{"begin 5,400", "end 200,420", "begin 350,400", "end 300,410",
                               "begin 0,100", "end 100,100", "begin 200,400", "end 60,380"}));
    // The dump tells the drawer's state by its left view.
    EXPECT_NE(driver.screen().find("\n    UIView#navigationDrawerLeftView 0,0,280,844 hidden\n"),
              std::string::npos);
}

}  // namespace
}  // namespace platform
