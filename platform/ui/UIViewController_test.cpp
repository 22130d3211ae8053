#include "platform/ui/UIViewController.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/ui/UIAlertController.h"
#include "platform/ui/UIDriver.h"
#include "platform/ui/UIStoryboard.h"
#include "platform/ui/UITestSupport.h"

namespace platform {
namespace {

using testing::Events;
using Recorder = testing::AppearanceRecorder;

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
              "UIViewController: AppearanceRecorder already presents AppearanceRecorder; not "
              "presenting AppearanceRecorder");
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

// A long message takes as many lines as it needs, and the box grows with it.
TEST_F(PresentationTest, AnAlertShowsItsWholeMessage) {
    const std::string message(200, 'x');
    auto alert = std::make_shared<UIAlertController>("Title", message + " end",
                                                     UIAlertControllerStyle::alert);
    alert->addAction(std::make_shared<UIAlertAction>("OK", UIAlertAction::Style::defaultStyle));
    const auto box = alert->view()->subviews().at(0);
    const auto label = std::dynamic_pointer_cast<UILabel>(box->subviews().at(1));
    ASSERT_TRUE(label);
    EXPECT_EQ(label->text(), message + " end");
    // 238 points at 13 points: 33 characters a line; 200 of them take 7 lines, the last with
    // room for " end".
    EXPECT_DOUBLE_EQ(label->frame().height(), 7 * 13 * 1.2);
    const auto button = box->subviews().at(2);
    EXPECT_DOUBLE_EQ(button->frame().minY(), label->frame().maxY() + 20);
    EXPECT_DOUBLE_EQ(box->frame().height(), button->frame().maxY());
}

TEST_F(PresentationTest, APopoverStaysAPopoverOnlyWhenItsDelegateSaysNone) {
    class KeepPopover : public UIPopoverPresentationControllerDelegate {
        UIModalPresentationStyle adaptivePresentationStyle(UIPopoverPresentationController&,
                                                           const UITraitCollection&) override {
            return UIModalPresentationStyle::none;
        }
    };
    auto keep = std::make_shared<KeepPopover>();
    for (bool withDelegate : {true, false}) {
        auto root = std::make_shared<Recorder>("root", events_);
        show(root);
        auto picker = std::make_shared<UIViewController>();
        EXPECT_EQ(picker->popoverPresentationController(), nullptr);
        picker->modalPresentationStyle = UIModalPresentationStyle::popover;
        picker->preferredContentSize = {80, 200};
        if (withDelegate) picker->popoverPresentationController()->delegate = keep;
        events_.clear();
        root->present(picker, true);
        const auto view = picker->view();
        EXPECT_EQ(view->convert(view->bounds(), nullptr),
                  withDelegate ? CGRect(155, 322, 80, 200) : window_->bounds());
        EXPECT_EQ(events_.empty(), withDelegate);  // full screen hides the presenter
        // A popover sits in a frame view masked by a shape layer; it leaves with the popover.
        const auto frame = withDelegate ? view->superview()->superview() : nullptr;
        if (frame) {
            EXPECT_EQ(frame->superview().get(), window_.get());
            ASSERT_TRUE(frame->maskView());
            const auto mask = std::dynamic_pointer_cast<CAShapeLayer>(frame->maskView()->layer());
            ASSERT_TRUE(mask && mask->path);
            EXPECT_EQ(mask->path->bounds(), CGRect(0, 0, 80, 200));
        }
        root->dismiss(false);
        if (frame) {
            EXPECT_EQ(frame->superview(), nullptr);
        }
    }
}

TEST_F(PresentationTest, InterfaceBuildersMakeControllersWhoseViewsLoadLater) {
    class Manual : public UIViewController {
      public:
        std::weak_ptr<UILabel> label;  // outlet
        bool awoke = false;
        std::string imageName;
        void awakeFromNib() override { awoke = true; }
        void viewDidLoad() override { label.lock()->setText("Assistance " + imageName); }
    };
    UIStoryboard::registerScene("Main", "Manual", [] {
        auto vc = std::make_shared<Manual>();
        vc->setViewLoader([](UIViewController& owner) {
            auto root = std::make_shared<UIView>(UIScreen::main().bounds);
            auto label = std::make_shared<UILabel>(CGRect{0, 0, 100, 20});
            root->addSubview(label);
            static_cast<Manual&>(owner).label = label;
            return root;
        });
        return vc;
    });
    auto manual = UIStoryboard::instantiate<Manual>("Main", "Manual");
    ASSERT_TRUE(manual);
    EXPECT_TRUE(manual->awoke);
    EXPECT_FALSE(manual->isViewLoaded());
    manual->imageName = "qz_info";
    EXPECT_EQ(manual->label.lock(), nullptr);
    manual->view();
    EXPECT_EQ(manual->label.lock()->text(), "Assistance qz_info");
    EXPECT_EQ(UIStoryboard::instantiate("Main", "Missing"), nullptr);
    EXPECT_EQ(UINib::instantiate("ChartTableViewCell"), nullptr);
    EXPECT_EQ(log_,
              (std::vector<std::string>{"UIStoryboard: no scene \"Missing\" in storyboard \"Main\"",
                                        "UINib: no nib named \"ChartTableViewCell\""}));
}

TEST_F(PresentationTest, TheActivitySheetReportsItsActivityAfterItIsGone) {
    auto root = std::make_shared<Recorder>("root", events_);
    show(root);
    std::vector<std::string> reports;
    for (const char* button : {"Save Image", "Close"}) {
        auto sheet = std::make_shared<UIActivityViewController>(
            std::vector<UIActivityItem>{{std::nullopt, UIImage::named("steps")}});
        sheet->excludedActivityTypes = {UIActivityTypeCopyToPasteboard};
        sheet->completionWithItemsHandler = [&](std::optional<std::string> type, bool done) {
            EXPECT_EQ(root->presentedViewController(), nullptr);
            reports.push_back(type.value_or("none") + (done ? " done" : " cancelled"));
        };
        root->present(sheet, true);
        EXPECT_EQ(UIDriver().tap(ViewQuery::byText("Copy")).status, DriverResult::Status::notFound);
        EXPECT_TRUE(UIDriver().tap(ViewQuery::byText(button)).ok());
    }
    EXPECT_EQ(reports, (std::vector<std::string>{"saveToCameraRoll done", "none cancelled"}));
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
