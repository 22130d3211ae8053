#include "platform/ui/UIViewController.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/ui/UIAlertController.h"
#include "platform/ui/UIDriver.h"
#include "platform/ui/UITestSupport.h"

namespace platform {
namespace {

using Events = std::vector<std::string>;

class Recorder : public UIViewController {
  public:
    Recorder(std::string name, Events& events) : name_(std::move(name)), events_(events) {}
    void viewDidLoad() override { events_.push_back(name_ + " load"); }
    void viewWillAppear(bool) override { events_.push_back(name_ + " willAppear"); }
    void viewDidAppear(bool) override { events_.push_back(name_ + " didAppear"); }
    void viewWillDisappear(bool) override { events_.push_back(name_ + " willDisappear"); }
    void viewDidDisappear(bool) override { events_.push_back(name_ + " didDisappear"); }

  private:
    std::string name_;
    Events& events_;
};

class PresentationTest : public testing::UITest {
  protected:
    PresentationTest() {
        previousSink_ = setLogSink([this](std::string_view line) { log_.emplace_back(line); });
    }
    ~PresentationTest() override { setLogSink(previousSink_); }
    Events events_;
    std::vector<std::string> log_;
    LogSink previousSink_;
};

TEST_F(PresentationTest, TheRootLoadsAtFirstViewAndAppearsWhenTheWindowIsShown) {
    auto root = std::make_shared<Recorder>("root", events_);
    auto window = std::make_shared<UIWindow>();
    window->setRootViewController(root);
    EXPECT_EQ(events_, (Events{"root load"}));
    UIApplication::shared().launch(nullptr);
    window->makeKeyAndVisible();
    window->makeKeyAndVisible();
    EXPECT_EQ(events_, (Events{"root load", "root willAppear", "root didAppear"}));
    EXPECT_EQ(UIApplication::shared().keyWindow(), window);
    auto scene =
        std::dynamic_pointer_cast<UIWindowScene>(UIApplication::shared().connectedScenes()[0]);
    ASSERT_TRUE(scene);
    EXPECT_EQ(scene->windows(), (std::vector<std::shared_ptr<UIWindow>>{window}));
}

TEST_F(PresentationTest, OnlyFullScreenMakesThePresenterDisappear) {
    struct Case {
        UIModalPresentationStyle style;
        Events events;
        std::size_t windowChildren;
    };
    const Case cases[] = {
        {UIModalPresentationStyle::fullScreen,
         {"top load", "root willDisappear", "top willAppear", "root didDisappear", "top didAppear"},
         1},
        {UIModalPresentationStyle::pageSheet, {"top load", "top willAppear", "top didAppear"}, 2},
        {UIModalPresentationStyle::overFullScreen,
         {"top load", "top willAppear", "top didAppear"},
         2},
    };
    for (const auto& c : cases) {
        auto root = std::make_shared<Recorder>("root", events_);
        show(root);
        events_.clear();
        auto top = std::make_shared<Recorder>("top", events_);
        top->modalPresentationStyle = c.style;
        bool completed = false;
        root->present(top, true, [&] { completed = true; });
        EXPECT_TRUE(completed);
        EXPECT_EQ(events_, c.events);
        EXPECT_EQ(window_->subviews().size(), c.windowChildren);
        EXPECT_EQ(window_->subviews().back(), top->view());
        EXPECT_EQ(top->presentingViewController(), root);
        events_.clear();
        top->dismiss(false);
        EXPECT_EQ(window_->subviews(), (std::vector<std::shared_ptr<UIView>>{root->view()}));
        EXPECT_EQ(root->presentedViewController(), nullptr);
        bool hid = c.style == UIModalPresentationStyle::fullScreen;
        Events back = hid ? Events{"top willDisappear", "root willAppear", "top didDisappear",
                                   "root didAppear"}
                          : Events{"top willDisappear", "top didDisappear"};
        EXPECT_EQ(events_, back);
        events_.clear();
    }
}

TEST_F(PresentationTest, PresentIsRefusedWhileBusyOrOutsideAWindow) {
    auto root = std::make_shared<Recorder>("root", events_);
    auto loose = std::make_shared<UIViewController>();
    bool ran = false;
    loose->present(std::make_shared<UIViewController>(), false, [&] { ran = true; });
    EXPECT_FALSE(ran);
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0],
              "UIViewController: UIViewController is not in a window; not presenting "
              "UIViewController");

    show(root);
    auto child = std::make_shared<UIViewController>();
    root->addChild(child);
    auto first = std::make_shared<Recorder>("first", events_);
    child->present(first, false);  // through the root
    EXPECT_EQ(root->presentedViewController(), first);
    EXPECT_EQ(child->presentedViewController(), first);
    root->present(std::make_shared<Recorder>("second", events_), false, [&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_EQ(log_.back(),
              "UIViewController: Recorder already presents Recorder; not presenting Recorder");
    // The presented controller presents on top of itself.
    auto second = std::make_shared<UIViewController>();
    first->present(second, false);
    EXPECT_EQ(first->presentedViewController(), second);
    // Dismissing from the root takes both away.
    child->dismiss(false);
    EXPECT_EQ(root->presentedViewController(), nullptr);
    EXPECT_EQ(first->presentedViewController(), nullptr);
    EXPECT_EQ(window_->subviews().size(), 1u);
}

TEST_F(PresentationTest, AnAlertActionDismissesBeforeItsHandlerSoTheHandlerCanPresent) {
    auto root = std::make_shared<Recorder>("root", events_);
    show(root);
    auto next = std::make_shared<Recorder>("next", events_);
    auto alert =
        std::make_shared<UIAlertController>("Title", std::nullopt, UIAlertControllerStyle::alert);
    alert->addAction(std::make_shared<UIAlertAction>(
        "Go", UIAlertAction::Style::defaultStyle, [&](UIAlertAction&) {
            EXPECT_EQ(root->presentedViewController(), nullptr);
            root->present(next, false);
        }));
    root->present(alert, true);
    events_.clear();
    UIDriver driver;
    EXPECT_TRUE(driver.tap(ViewQuery::byText("Go")).ok());
    EXPECT_EQ(root->presentedViewController(), next);
    EXPECT_EQ(events_, (Events{"next load", "next willAppear", "next didAppear"}));
    EXPECT_TRUE(log_.empty());
}

TEST_F(PresentationTest, ReplacingTheRootSwapsAppearance) {
    show(std::make_shared<Recorder>("old", events_));
    events_.clear();
    window_->setRootViewController(std::make_shared<Recorder>("new", events_));
    EXPECT_EQ(events_, (Events{"old willDisappear", "new load", "new willAppear",
                               "old didDisappear", "new didAppear"}));
}

}  // namespace
}  // namespace platform
