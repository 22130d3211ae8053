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

using Events = std::vector<std::string>;

class Page : public UIViewController {
  public:
    Page(std::string name, Events& events) : name_(std::move(name)), events_(events) {
        title = name_;
    }
    void viewWillAppear(bool) override { events_.push_back(name_ + " willAppear"); }
    void viewDidAppear(bool) override { events_.push_back(name_ + " didAppear"); }
    void viewWillDisappear(bool) override { events_.push_back(name_ + " willDisappear"); }
    void viewDidDisappear(bool) override { events_.push_back(name_ + " didDisappear"); }

  private:
    std::string name_;
    Events& events_;
};

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
    EXPECT_EQ(events_, (Events{"input willAppear", "input didAppear"}));
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
    EXPECT_EQ(events_,
              (Events{"first willAppear", "menu willAppear", "first didAppear", "menu didAppear"}));
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
    EXPECT_EQ(events_, (Events{"first willDisappear", "second willAppear", "first didDisappear",
                               "second didAppear", "completion"}));
    EXPECT_EQ(first->parent(), nullptr);
    EXPECT_EQ(navigationDrawerController(*second), drawer);
}

}  // namespace
}  // namespace platform
