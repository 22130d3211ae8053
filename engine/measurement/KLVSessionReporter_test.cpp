#include "engine/measurement/KLVSessionReporter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/measurement/KLVScreenViewReporter.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/foundation/NotificationCenter.h"

namespace engine {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kAppID[] = "1:1001:ios:abc";
constexpr char kEfficient[] = "measurement.collection.efficient_engagement_reporting_enabled";
constexpr char kRemoval[] = "measurement.collection.redundant_engagement_removal_enabled";
constexpr char kBackgrounded[] = "measurement.lifecycle.app_backgrounded_tracking";
// Settings arrive in milliseconds: a day keeps the engagement timer out of the way.
const std::pair<std::string, std::string> kNoTimer{
    "measurement.session.event_user_engagement_interval", "86400000"};

// The reporter on its own: the settings of a stand-in service, what leaves through the front
// door's two hand-overs recorded in one list, the manual clock moved by the test (whose thread
// is the main thread).
class SessionReporterTest : public testing::SettingsTest {
  protected:
    void SetUp() override {
        SettingsTest::SetUp();
        settings_ = KLVRemoteConfig::initWithAppID(kAppID, storage_, nullptr);
        testing::FakeMeasurementService::install(
            std::make_shared<testing::FakeMeasurementService>(settings_));
        KLVSetInternalEventLogger([this](const std::string&, const std::string& name,
                                         const platform::Dictionary& parameters) {
            out_.push_back(name + " " + platform::Object(parameters).description());
        });
        KLVSetInternalUserPropertySetter(
            [this](const platform::Object& value, const std::string& name, const std::string&) {
                out_.push_back(name + "=" + value.description());
            });
        reporter_ = std::make_shared<KLVSessionReporter>(
            persisted_, KLVScreenViewReporter::sharedScreenState());
    }
    void TearDown() override {
        reporter_.reset();
        KLVSetInternalEventLogger({});
        KLVSetInternalUserPropertySetter({});
        SettingsTest::TearDown();
    }
    void configure(testing::SettingList settings) {
        ASSERT_TRUE(settings_->updateMeasurementConfig(testing::makeConfig(kAppID, settings)));
    }
    static void becomeActive() {
        KLVScreenViewReporter::sharedInstance().handleAppDidBecomeActive();
    }

    testkit::ScopedManualClock clock_;
    std::shared_ptr<KLVRemoteConfig> settings_;
    std::shared_ptr<KLVPersistedConfig> persisted_ = KLVPersistedConfig::sharedInstance();
    std::shared_ptr<KLVSessionReporter> reporter_;
    std::vector<std::string> out_;
};

TEST_F(SessionReporterTest, EngagementReports) {
    const KLVScreen home(std::string("Home"), std::string("HomeView"), 7);
    using Step = std::function<void(KLVSessionReporter&)>;
    const Step userEngagement = [](KLVSessionReporter& r) { r.logUserEngagementEvent(); };
    const Step screenChange = [&](KLVSessionReporter& r) {
        r.handleScreenDidChangeFromScreen(home, std::nullopt);
    };
    const Step resign = [](KLVSessionReporter& r) {
        r.handleAppWillResignActiveWithScreen(std::nullopt);
    };
    struct Case {
        const char* what;
        testing::SettingList settings;
        double seconds;
        Step step;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"1.5 s", {kNoTimer}, 1.5, userEngagement, {R"(_e {"_et": 1500})"}},
        {"two hours are capped", {kNoTimer}, 7200, userEngagement, {R"(_e {"_et": 3600000})"}},
        {"screen change after 0.9 s", {kNoTimer}, 0.9, screenChange, {}},
        {"screen change",
         {kNoTimer},
         2,
         screenChange,
         {R"(_e {"_et": 2000, "_sc": "HomeView", "_si": 7, "_sn": "Home"})"}},
        {"redundant screen change",
         {kNoTimer, {kEfficient, "1"}, {kRemoval, "1"}},
         2,
         screenChange,
         {}},
        {"resign: only _ab with the uncapped freeride time",
         {kNoTimer, {kEfficient, "1"}, {kRemoval, "1"}, {kBackgrounded, "1"}},
         7200,
         resign,
         {R"(_ab {"_et": 7200000})"}},
        {"resign: redundant _e, then _ab",
         {kNoTimer, {kEfficient, "1"}, {kBackgrounded, "1"}},
         3,
         resign,
         {R"(_e {"_et": 3000, "_fr": 1})", R"(_ab {"_et": 3000})"}},
        {"resign without efficient reporting: _ab bare",
         {kNoTimer, {kBackgrounded, "1"}},
         3,
         resign,
         {R"(_e {"_et": 3000})", "_ab {}"}},
    };
    becomeActive();
    reporter_->setReportingEnabled(true);
    for (const auto& c : cases) {
        configure(c.settings);
        reporter_->handleAppDidBecomeActive();  // a fresh span
        out_.clear();
        clock_.advance(c.seconds);
        c.step(*reporter_);
        EXPECT_EQ(out_, c.expected) << c.what;
    }
}

TEST_F(SessionReporterTest, ExpiryEdges) {
    struct Case {
        double timeout;
        double moved;  // wall-clock seconds since the last engagement; negative: set back
        bool expired;
    };
    const Case cases[] = {
        {0, 0, false},        {0, 0.001, true},     {1800, 1800, false},
        {1800, 1800.5, true}, {1800, -1800, false}, {1800, -1801, true},
    };
    for (const auto& c : cases) {
        reporter_->setTimeoutSessionInterval(c.timeout);
        const double now = clock_->now();
        persisted_->setLastSessionActivityClockTime(now);
        clock_->setNow(now + c.moved);
        EXPECT_EQ(reporter_->isSessionExpired(), c.expired) << c.timeout << " " << c.moved;
        // Extending keeps an open session open and cannot revive an expired one.
        EXPECT_EQ(reporter_->extendSession(), !c.expired);
        EXPECT_EQ(persisted_->lastSessionActivityClockTime(), c.expired ? now : now + c.moved);
        clock_->setNow(now);
    }
    reporter_->setTimeoutSessionInterval(-5);
    EXPECT_EQ(reporter_->timeoutSessionInterval(), 0.0);
    EXPECT_EQ(logCount(33001), 1u);
}

TEST_F(SessionReporterTest, ActivationStartsASessionOnlyWhenExpiredAndReporting) {
    configure({kNoTimer});
    becomeActive();
    // Reporting off: the spans and the timer restart, but no session starts.
    reporter_->handleAppDidBecomeActive();
    EXPECT_THAT(out_, IsEmpty());
    EXPECT_TRUE(reporter_->userEngagementTimer().scheduledTimestamp());

    reporter_->setReportingEnabled(true);
    reporter_->handleAppDidBecomeActive();
    const auto sid = std::to_string(static_cast<std::int64_t>(clock_->now()));
    EXPECT_THAT(out_, ElementsAre("_sid=null", "_sno=null", "_sid=" + sid, "_sno=1",
                                  R"(_s {"_sid": )" + sid + R"(, "_sno": 1})"));
    EXPECT_EQ(persisted_->sessionNumber(), 1);
    EXPECT_EQ(persisted_->lastSessionActivityClockTime(), clock_->now());

    // Within the timeout the session goes on.
    out_.clear();
    clock_.advance(60);
    reporter_->handleAppDidBecomeActive();
    EXPECT_THAT(out_, IsEmpty());
}

TEST_F(SessionReporterTest, EngagementTimerPostsThenReportsWhileActive) {
    becomeActive();
    const auto observer = platform::NotificationCenter::defaultCenter().addObserverForName(
        kKLVSessionReporterEngagementTimerDidFire, nullptr,
        [this](const platform::Notification&) { out_.push_back("fired"); });
    reporter_->setReportingEnabled(true);
    clock_.advance(3600);
    EXPECT_THAT(out_, ElementsAre("fired", R"(_e {"_et": 3600000})"));
    // Rescheduled after the report; cancelled by resigning.
    clock_.advance(1800);
    reporter_->handleAppWillResignActiveWithScreen(std::nullopt);
    out_.clear();
    clock_.advance(7200);
    EXPECT_THAT(out_, IsEmpty());
    EXPECT_FALSE(reporter_->userEngagementTimer().scheduledTimestamp());
}

TEST_F(SessionReporterTest, NothingIsReportedWhileInactive) {
    allowDebugLines();
    reporter_->setReportingEnabled(true);
    reporter_->logSessionStartEvent();
    EXPECT_EQ(reporter_->logEngagementEventAndReturnTimeWithScreen(std::nullopt, false), 0);
    configure({{kBackgrounded, "1"}});
    reporter_->logAppBackgroundEvent(5);
    EXPECT_THAT(out_, IsEmpty());
    for (const std::int64_t code : {33005, 33006, 33008})
        EXPECT_EQ(logCount(code), 1u) << code;
    EXPECT_EQ(persisted_->sessionNumber(), 0);
}

// A session started on the worker queue reports the screen it is given, not the shared one;
// in the background it reports "_aib" instead.
TEST_F(SessionReporterTest, SessionStartEventCarriesTheGivenScreen) {
    const platform::Dictionary screen = {{"_si", std::int64_t{42}}, {"_sn", "Result"}};
    const KLVScreenState given{[] { return true; }, [screen] { return screen; }};
    const struct {
        bool inBackground;
        std::string expected;
    } cases[] = {
        {false, "_o=auto _si=42 _sid=1700000000 _sn=Result _sno=3"},
        {true, "_aib=1 _o=auto _sid=1700000000 _sno=3"},
    };
    for (const auto& c : cases) {
        const auto event = KLVSessionStartEvent(3, c.inBackground, 1700000000.75, given);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->name(), "_s");
        std::string rendered;
        for (const auto& [name, value] : event->parameters())
            rendered += (rendered.empty() ? "" : " ") + name + "=" + value.description();
        EXPECT_EQ(rendered, c.expected) << c.inBackground;
    }
}

}  // namespace
}  // namespace engine
