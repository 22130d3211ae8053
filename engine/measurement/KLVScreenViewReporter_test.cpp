#include "engine/measurement/KLVScreenViewReporter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

TEST_F(ScreenViewReporterTest, AppearingControllersAreTrackedAndNamed) {
    allowDebugLines();
    std::vector<Dictionary> automatic;
    KLVSetInternalEventLogger(
        [&](const std::string&, const std::string& name, const Dictionary& parameters) {
            if (name == "_vs") automatic.push_back(parameters);
        });
    KLVScreenViewReporter::installAppearanceHooks();
    const auto screens = [&] {
        testkit::drain(reporter().queue());
        std::vector<std::string> out;
        for (const auto& p : automatic) {
            out.push_back(p.at("_sc").asString() +
                          (p.contains("_sn") ? "/" + p.at("_sn").asString() : "") +
                          (p.contains("_pc") ? " from " + p.at("_pc").asString() : ""));
        }
        return out;
    };
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
    EXPECT_THAT(screens(), ElementsAre("HomeController", "CheckoutController from HomeController",
                                       "CheckoutController/Pay from CheckoutController",
                                       "HomeController from CheckoutController"));
    EXPECT_EQ(logCount(31004), 1u);
    // The home screen keeps its instance ID when it comes back.
    EXPECT_EQ(automatic.back().at("_si"), automatic.front().at("_si"));
    platform::UIViewController::setAppearanceObserver({});
    KLVSetInternalEventLogger({});
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
        EXPECT_EQ(KLVScreenParametersFromScreen(KLVScreen(c.name, c.className, 9)), c.expected);
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
