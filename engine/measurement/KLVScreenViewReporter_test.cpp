#include "engine/measurement/KLVScreenViewReporter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <set>
#include <thread>

#include "engine/base/EngineTestSupport.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/settings/SettingsTestSupport.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIViewController.h"
#include "platform/ui/UIWindow.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct ScreenView {
    std::string origin;
    double timestamp;
    Dictionary parameters;
};

class ScreenViewReporterTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        KLVSetTimedInternalEventLogger([this](const std::string& origin, const std::string& name,
                                              double timestamp, const Dictionary& parameters) {
            if (name == "_vs") views_.push_back({origin, timestamp, parameters});
        });
    }
    void TearDown() override {
        KLVSetTimedInternalEventLogger({});
        EngineTest::TearDown();
    }
    KLVScreenViewReporter& reporter() { return KLVScreenViewReporter::sharedInstance(); }
    void track(const Dictionary& parameters, double timestamp) {
        reporter().trackScreenWithParameters(parameters, timestamp);
        testkit::drain(reporter().queue());
    }

    std::vector<ScreenView> views_;
};

TEST_F(ScreenViewReporterTest, ScreenViewEventsNameTheScreenInFront) {
    track({{"screen_name", "Home"}, {"screen_class", "HomeView"}, {"level", 3}}, 100);
    ASSERT_EQ(views_.size(), 1u);
    EXPECT_EQ(views_[0].origin, "app");
    EXPECT_EQ(views_[0].timestamp, 100);
    const std::int64_t first = views_[0].parameters.at("_si").asInteger();
    EXPECT_EQ(views_[0].parameters,
              (Dictionary{{"_sc", "HomeView"}, {"_si", first}, {"_sn", "Home"}, {"level", 3}}));

    // No class and no window to take one from: the class stays empty (31014).
    track({{"screen_name", "Cart"}}, 101);
    ASSERT_EQ(views_.size(), 2u);
    EXPECT_EQ(views_[1].parameters, (Dictionary{{"_pc", "HomeView"},
                                                {"_pi", first},
                                                {"_pn", "Home"},
                                                {"_si", first + 1},
                                                {"_sn", "Cart"}}));
    EXPECT_EQ(logCount(31014), 1u);
    EXPECT_EQ(reporter().screenParameters(), (Dictionary{{"_si", first + 1}, {"_sn", "Cart"}}));

    // Invalid names and classes are refused whole.
    track({{"screen_name", ""}}, 102);
    track({{"screen_class", 5}}, 103);
    EXPECT_EQ(logCount(31027), 1u);
    EXPECT_EQ(logCount(31028), 1u);

    // In the background after the first activation: refused, and other events carry no screen.
    reporter().handleAppDidBecomeActive();
    reporter().handleAppDidEnterBackground();
    track({{"screen_name", "Late"}}, 104);
    EXPECT_EQ(logCount(31026), 1u);
    EXPECT_THAT(reporter().screenParameters(), IsEmpty());
    // Back in front with the screen already reported: no second "_vs".
    reporter().handleAppDidBecomeActive();
    testkit::drain(reporter().queue());
    EXPECT_EQ(views_.size(), 2u);
    EXPECT_EQ(reporter().screenParameters().at("_si"), Object(first + 1));
}

class HomeController : public platform::UIViewController {};
class CheckoutController : public platform::UIViewController {};

// Every "_vs" in the order logged, automatic ones included: "<origin> <class>[/<name>]
// [from <previous class>]", the parameters other than the screens' and "#<n>" for the n-th
// distinct screen instance ID.
class OrderedScreenViewsTest : public ScreenViewReporterTest {
  protected:
    void SetUp() override {
        ScreenViewReporterTest::SetUp();
        allowDebugLines();
        const auto record = [this](const std::string& origin, const Dictionary& p) {
            std::string line = origin + " " +
                               (p.contains("_sc") ? p.at("_sc").asString() : std::string("-")) +
                               (p.contains("_sn") ? "/" + p.at("_sn").asString() : "") +
                               (p.contains("_pc") ? " from " + p.at("_pc").asString() : "");
            for (const auto& [key, value] : p)
                if (key.front() != '_') line += " " + key + "=" + value.description();
            std::lock_guard lock(mutex_);
            const auto id = std::find(ids_.begin(), ids_.end(), p.at("_si"));
            line += " #" + std::to_string(id - ids_.begin() + 1);
            if (id == ids_.end()) ids_.push_back(p.at("_si"));
            lines_.push_back(line);
        };
        KLVSetTimedInternalEventLogger([record](const std::string& origin, const std::string& name,
                                                double, const Dictionary& parameters) {
            if (name == "_vs") record(origin, parameters);
        });
        KLVSetInternalEventLogger([record](const std::string& origin, const std::string& name,
                                           const Dictionary& parameters) {
            if (name == "_vs") record(origin, parameters);
        });
    }
    void TearDown() override {
        KLVSetInternalEventLogger({});
        ScreenViewReporterTest::TearDown();
    }
    std::vector<std::string> lines() {
        testkit::drain(reporter().queue());
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<platform::Object> ids_;
};

// The queue is held until the end of the scope, so that what the test does meanwhile is queued
// behind whatever it queued first.
class HeldQueue {
  public:
    explicit HeldQueue(platform::DispatchQueue& queue) {
        queue.async([release = release_] { release->wait(); });
    }
    ~HeldQueue() { release_->count_down(); }

  private:
    // Shared with the waiting block, which may still be leaving wait() when this is gone.
    std::shared_ptr<std::latch> release_ = std::make_shared<std::latch>(1);
};

TEST_F(OrderedScreenViewsTest, ScreenChangedWhileTheActivationStepWaitsIsReportedOnce) {
    const auto home = std::make_shared<HomeController>();
    const auto checkout = std::make_shared<CheckoutController>();
    struct Case {
        const char* what;
        std::function<void()> inBackground, afterActivation;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"a screen view",
         [] {},
         [&] {
             reporter().trackScreenWithParameters(
                 {{"screen_name", "Home"}, {"screen_class", "HomeView"}, {"level", 3}}, 100);
         },
         {"app HomeView/Home level=3 #1"}},
        {"a screen view after a screen that appeared in the background",
         [&] { reporter().setCurrentViewController(home); },
         [&] {
             reporter().trackScreenWithParameters(
                 {{"screen_name", "Pay"}, {"screen_class", "PayView"}, {"level", 3}}, 100);
         },
         {"auto HomeController from HomeView #2",
          "app PayView/Pay from HomeController level=3 #3"}},
        {"a controller that appears",
         [] {},
         [&] { reporter().setCurrentViewController(checkout); },
         {"auto CheckoutController from PayView #4"}},
    };
    for (const auto& c : cases) {
        reporter().handleAppDidBecomeActive();
        reporter().handleAppDidEnterBackground();
        c.inBackground();
        EXPECT_TRUE(lines().empty()) << c.what;  // nothing is reported in the background
        {
            HeldQueue held(reporter().queue());
            reporter().handleAppDidBecomeActive();
            c.afterActivation();
        }
        EXPECT_EQ(lines(), c.expected) << c.what;
    }
}

TEST_F(OrderedScreenViewsTest, AppearingControllersAreTrackedAndNamed) {
    // The performance delegate hears every appearance after the reporter has handled it.
    std::vector<std::string> calls;
    auto delegate = std::make_shared<KLVScreenViewReporterDelegate>();
    delegate->viewControllerDidAppear = [&](platform::UIViewController& vc, bool tracked) {
        std::optional<std::string> screenClass;
        reporter().getScreenName(nullptr, &screenClass);
        calls.push_back("appeared " + vc.className() + (tracked ? " tracked" : "") + ", screen " +
                        screenClass.value_or("-"));
    };
    delegate->viewControllerDidDisappear = [&](platform::UIViewController& vc) {
        calls.push_back("disappeared " + vc.className());
    };
    reporter().setTarnwellPerfDelegate(delegate);
    KLVScreenViewReporter::installAppearanceHooks();
    platform::UIApplication::shared().launch(nullptr);
    const auto window = std::make_shared<platform::UIWindow>();
    const auto home = std::make_shared<HomeController>();
    window->setRootViewController(home);
    window->makeKeyAndVisible();
    const auto checkout = std::make_shared<CheckoutController>();
    home->present(checkout, false);
    reporter().setScreenName(std::string("Pay"), std::nullopt);
    reporter().setScreenName(std::string("Pay"), std::nullopt);  // a duplicate: ignored
    checkout->dismiss(false);
    const auto detached = std::make_shared<CheckoutController>();
    reporter().viewControllerDidAppear(*detached);  // not in the key window: not trackable
    const auto views = lines();
    // The home screen keeps its instance ID when it comes back.
    EXPECT_THAT(views, ElementsAre("auto HomeController #1",
                                   "auto CheckoutController from HomeController #2",
                                   "auto CheckoutController/Pay from CheckoutController #3",
                                   "auto HomeController from CheckoutController #1"));
    EXPECT_EQ(logCount(31004), 1u);
    EXPECT_THAT(calls, ElementsAre("appeared HomeController tracked, screen HomeController",
                                   "appeared CheckoutController tracked, screen CheckoutController",
                                   "disappeared CheckoutController",
                                   "appeared CheckoutController, screen HomeController"));
    platform::UIViewController::setAppearanceObserver({});
}

TEST_F(ScreenViewReporterTest, PerformanceDelegateMustBringBothCallsAndIsNotOverridden) {
    const auto complete = [] {
        auto delegate = std::make_shared<KLVScreenViewReporterDelegate>();
        delegate->viewControllerDidAppear = [](platform::UIViewController&, bool) {};
        delegate->viewControllerDidDisappear = [](platform::UIViewController&) {};
        return delegate;
    };
    for (const bool lacksAppear : {true, false}) {
        auto incomplete = complete();
        if (lacksAppear)
            incomplete->viewControllerDidAppear = nullptr;
        else
            incomplete->viewControllerDidDisappear = nullptr;
        reporter().setTarnwellPerfDelegate(incomplete);
        EXPECT_EQ(reporter().tarnwellPerfDelegate(), nullptr);
    }
    EXPECT_EQ(logCount(31019), 2u);
    EXPECT_THAT(logLines(), ::testing::Contains(::testing::HasSubstr(
                                "Incompatible versions of Nexory Analytics for Tarnwell and "
                                "Tarnwell Performance detected.")));

    const auto delegate = complete();
    reporter().setTarnwellPerfDelegate(delegate);
    reporter().setTarnwellPerfDelegate(delegate);  // the same one again: kept, not refused
    reporter().setTarnwellPerfDelegate(complete());
    EXPECT_EQ(logCount(31016), 1u);
    EXPECT_EQ(reporter().tarnwellPerfDelegate(), delegate);
    // Cleared by null; then another may take its place. Held weakly.
    reporter().setTarnwellPerfDelegate(nullptr);
    EXPECT_EQ(reporter().tarnwellPerfDelegate(), nullptr);
    auto next = complete();
    reporter().setTarnwellPerfDelegate(next);
    EXPECT_EQ(reporter().tarnwellPerfDelegate(), next);
    next.reset();
    EXPECT_EQ(reporter().tarnwellPerfDelegate(), nullptr);
    EXPECT_EQ(logCount(31016), 1u);
}

TEST_F(OrderedScreenViewsTest, KeyWindowResigningTracksTheNewKeyWindowsScreen) {
    KLVScreenViewReporter::installAppearanceHooks();
    platform::UIApplication::shared().launch(nullptr);
    const auto main = std::make_shared<platform::UIWindow>();
    main->setRootViewController(std::make_shared<HomeController>());
    main->makeKeyAndVisible();
    const auto overlay = std::make_shared<platform::UIWindow>();
    overlay->setRootViewController(std::make_shared<CheckoutController>());
    overlay->makeKeyAndVisible();
    // The main window is visible already, so its root does not appear again: only the overlay
    // resigning brings its screen back.
    main->makeKeyAndVisible();
    EXPECT_THAT(lines(), ElementsAre("auto HomeController #1",
                                     "auto CheckoutController from HomeController #2",
                                     "auto HomeController from CheckoutController #1"));
    platform::UIViewController::setAppearanceObserver({});
}

TEST_F(ScreenViewReporterTest, AutomaticReportingOffMarksManualViews) {
    testing::useMainBundle(dataRoot() / "bundle", {{"TarnwellScreenReportingEnabled", false}});
    track({{"screen_name", "Home"}}, 100);
    ASSERT_EQ(views_.size(), 1u);
    EXPECT_EQ(views_[0].parameters.at("_mst"), Object(1));
    reporter().setScreenName(std::string("Home"), std::nullopt);
    EXPECT_EQ(logCount(31000), 1u);
}

TEST_F(ScreenViewReporterTest, ScreenParametersFromScreen) {
    const std::string tooLong(501, 'x');
    struct Case {
        std::optional<std::string> name, className;
        Dictionary expected;
        std::size_t empty, invalid;  // 31014, 31015 lines
    };
    const Case cases[] = {
        {"Home", "HomeView", {{"_sc", "HomeView"}, {"_si", 9}, {"_sn", "Home"}}, 0, 0},
        {"Home", std::nullopt, {{"_si", 9}, {"_sn", "Home"}}, 1, 0},
        {"Home", "", {{"_si", 9}}, 1, 1},
        {"Home", tooLong, {{"_si", 9}}, 0, 1},
        {"", "HomeView", {{"_sc", "HomeView"}, {"_si", 9}}, 0, 0},
    };
    for (const auto& c : cases) {
        clearLogLines();
        EXPECT_EQ(KLVScreenParametersFromScreen(KLVScreen(c.name, c.className, 9),
                                                *KLVRemoteConfig::current()),
                  c.expected);
        EXPECT_EQ(logCount(31014), c.empty);
        EXPECT_EQ(logCount(31015), c.invalid);
    }
}

TEST_F(ScreenViewReporterTest, InstanceIDsAreUniqueAcrossThreads) {
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    std::vector<std::vector<std::int64_t>> taken(kThreads);
    std::vector<std::thread> threads;
    for (auto& ids : taken) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i)
                ids.push_back(reporter().incrementScreenInstanceID());
        });
    }
    for (auto& t : threads)
        t.join();
    std::set<std::int64_t> all;
    for (const auto& ids : taken)
        all.insert(ids.begin(), ids.end());
    EXPECT_EQ(all.size(), std::size_t{kThreads * kEach});
}

}  // namespace
}  // namespace engine
