#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/script/KLVPEventEditingRuntime.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <thread>

#include "engine/base/EngineTestSupport.h"
#include "engine/base/KLVScheduler.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVMeasurementService.h"
#include "engine/measurement/KLVScreenViewReporter.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/ui/UIApplication.h"
#include "testkit/ManualClock.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kAppID[] = "1:1001:ios:abc";

class KLVAnalyticsTest : public EngineTest {
  protected:
    // The installation-ID answer comes back on a global queue and reaches the shared identity:
    // it must land before the shared instances are reset, not during the reset.
    void TearDown() override {
        testkit::drain(platform::globalQueue(platform::QualityOfService::Utility));
        settle();
        EngineTest::TearDown();
    }

    std::shared_ptr<RecordingMeasurement> start(RecordingOptions options = {},
                                                const Dictionary& startOptions = {}) {
        service_ = RecordingMeasurement::install(options);
        KLVAnalytics::startWithAppID(kAppID, "qd", startOptions);
        settle();
        return service_;
    }
    // Waits until the front door's queues and the service's worker queue are idle.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            KLVAnalytics::waitForQueues();
            if (service_) service_->drain();
        }
    }
    std::vector<std::string> eventNames() {
        std::vector<std::string> names;
        for (const auto& event : service_->events())
            names.push_back(event.name);
        return names;
    }

    std::shared_ptr<RecordingMeasurement> service_;
};

TEST_F(KLVAnalyticsTest, StartWithAnotherOriginNeverRunsQueuedCalls) {
    service_ = RecordingMeasurement::install();
    KLVAnalytics::logEventWithName("early", {});
    KLVAnalytics::startWithAppID(kAppID, "vu", {});
    settle();
    EXPECT_EQ(logCount(25026), 1u);
    EXPECT_TRUE(KLVAnalytics::isOperationQueueSuspended());
    EXPECT_THAT(service_->events(), IsEmpty());
}

TEST_F(KLVAnalyticsTest, OnceOnlyPartRunsOnceAndQueuedEventsFollowTheStart) {
    testkit::ScopedManualClock clock;
    int willStart = 0;
    auto observer = platform::NotificationCenter::defaultCenter().addObserverForName(
        kKLVAnalyticsWillStartNotification, nullptr, [&](const auto&) { ++willStart; });
    const double t0 = clock->now();
    KLVAnalytics::logEventWithName("first", {{"n", 1}});
    clock.advance(5);
    KLVAnalytics::logEventWithName("second", {});
    start();
    clock.advance(1);
    healthRecord();
    KLVAnalytics::startWithAppID(kAppID, "qd", {{kKLVStartOptionLogTag, 5}});
    settle();
    clock.advance(1);
    EXPECT_EQ(willStart, 1);
    EXPECT_THAT(healthRecord(), HasSubstr("Invalid monitor tag. It must be a non-empty string."));
    const auto events = service_->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, "first");
    EXPECT_EQ(events[0].timestamp, t0);
    EXPECT_EQ(events[0].parameters, (Dictionary{{"n", 1}}));
    EXPECT_TRUE(events[0].isPublicEvent);
    EXPECT_TRUE(events[0].enabled);
    EXPECT_EQ(events[1].name, "second");
    EXPECT_EQ(events[1].timestamp, t0 + 5);
    EXPECT_TRUE(KLVAnalytics::isEnabledFlag());
}

TEST_F(KLVAnalyticsTest, SafelistedEventsAreTakenWholeOrNotAtAll) {
    struct Case {
        Object value;
        std::int64_t code;  // 0: accepted
    };
    const Case cases[] = {
        {Object::array({"_cmp", "_fx"}), 0},
        {Object::array({}), 0},
        {Object("_cmp"), 25034},
        {Object::array({"_cmp", 7}), 25035},
        {Object::array({"_cmp", "has space"}), 25035},
    };
    for (const auto& c : cases) {
        clearLogLines();
        const auto result = KLVValidateSafelistedEvents(c.value);
        EXPECT_EQ(result.has_value(), c.code == 0) << c.value.description();
        if (c.code) {
            EXPECT_EQ(logCount(c.code), 1u) << c.value.description();
        }
    }
    start({}, {{kKLVStartOptionSafelistedEvents, Object::array({"_cmp", 7})}});
    // The service was made before the start; the start's own creation does nothing.
    EXPECT_EQ(logCount(25035), 2u);
}

TEST_F(KLVAnalyticsTest, EventRoad) {
    testkit::ScopedManualClock clock;
    start();
    KLVAnalytics::logEventWithName("1bad", {});
    KLVAnalytics::logEventWithName("tarnwell_thing", {});
    const double screenViewTime = platform::Clock::current().now();
    KLVAnalytics::logEventWithName("screen_view", {{"screen_name", "Home"}});
    KLVAnalytics::logInternalEventWithOrigin("auto", "screen_view", {});
    // Screen views reach the service as "_vs" from the screen-view reporter's queue.
    testkit::drain(KLVScreenViewReporter::sharedInstance().queue());
    KLVAnalytics::logEventWithName("level_up", {{"_sc", "Board"}});
    settle();
    const auto events = service_->events();
    EXPECT_THAT(eventNames(), ElementsAre("_err", "_err", "_vs", "_vs", "level_up"));
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[2].origin, "app");
    EXPECT_EQ(events[2].timestamp, screenViewTime);
    EXPECT_EQ(events[2].parameters.at("_sn"), Object("Home"));
    EXPECT_FALSE(events[2].parameters.contains("screen_name"));
    EXPECT_EQ(events[3].parameters.at("_pn"), Object("Home"));
    EXPECT_EQ(events[3].parameters.at("_si").asInteger(),
              events[2].parameters.at("_si").asInteger() + 1);
    EXPECT_EQ(events[0].origin, "auto");
    EXPECT_FALSE(events[0].isPublicEvent);
    EXPECT_EQ(events[0].parameters.at("_err"), Object(2));
    EXPECT_EQ(events[0].parameters.at("_ev"), Object("1bad"));
    EXPECT_EQ(events[1].parameters.at("_err"), Object(13));
    EXPECT_EQ(events[4].origin, "app");
    EXPECT_THAT(events[4].screenParameters, IsEmpty());
}

// The end of the process: the events logged before finishPendingWork() have all reached the
// service when it returns, those logged while the start was still under way included.
TEST_F(KLVAnalyticsTest, FinishPendingWorkDeliversEveryEventLoggedBefore) {
    EXPECT_TRUE(TRWAnalytics::finishPendingWork(60));  // never started: nothing to wait for
    service_ = RecordingMeasurement::install();
    KLVAnalytics::startWithAppID(kAppID, "qd", {});
    for (std::int64_t i = 0; i < 100; ++i)
        KLVAnalytics::logEventWithName("tick", {{"n", i}});
    ASSERT_TRUE(TRWAnalytics::finishPendingWork(60));
    std::vector<std::int64_t> numbers;
    for (const auto& event : service_->events()) {
        if (event.name == "tick") numbers.push_back(event.parameters.at("n").asInteger());
    }
    ASSERT_EQ(numbers.size(), 100u);
    for (std::size_t i = 0; i < numbers.size(); ++i)
        EXPECT_EQ(numbers[i], static_cast<std::int64_t>(i));
}

// The app's stop path may ask to finish while another thread is still starting the engine, before
// the measurement service exists: the finish waits for the start to make the service (then
// finishes its work) and never reaches for a service that is not there. The two race many times,
// each round on a fresh engine.
class FinishWhileStartingTest : public EngineTest {};

TEST_F(FinishWhileStartingTest, FinishWaitsForTheServiceTheStartMakes) {
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        platform::resetSharedInstances();
        std::latch ready(2);
        std::thread starter([&ready] {
            ready.arrive_and_wait();
            KLVAnalytics::startWithAppID(kAppID, "qd", {});
        });
        ready.arrive_and_wait();
        EXPECT_TRUE(TRWAnalytics::finishPendingWork(60));
        starter.join();
        KLVAnalytics::waitForQueues();
        const auto service = KLVMeasurementService::sharedInstance();
        ASSERT_TRUE(service);
        service->scheduler()->workerQueue()->sync([] {});
    }
}

// A stop early in the launch: the start makes the service on the front door's serial queue, and
// the finish may begin before that block has run. It waits for the block and finishes with the
// service it made.
class KLVAnalyticsLaunchTest : public KLVAnalyticsTest {
  protected:
    // The real service, made by the start, runs on it until the reset after the test.
    testkit::ScopedManualClock clock_;
};

TEST_F(KLVAnalyticsLaunchTest, FinishBeforeTheStartHasMadeTheServiceWaitsForIt) {
    holdExperimentFetch();
    auto& queue = dynamic_cast<platform::SerialQueue&>(KLVAnalytics::queue());
    std::promise<void> release;
    queue.async([held = release.get_future().share()] { held.wait(); });
    KLVAnalytics::startWithAppID(kAppID, "qd", {});
    ASSERT_FALSE(KLVMeasurement::hasSharedInstance());
    const auto posted = queue.postedCount();
    auto finished = std::async(std::launch::async, [] { KLVAnalytics::finishQueuedWork(); });
    // The finish has begun: it waits for the serial queue behind the held block.
    while (queue.postedCount() == posted)
        std::this_thread::yield();
    release.set_value();
    finished.get();
    ASSERT_TRUE(KLVMeasurement::hasSharedInstance());
    EXPECT_TRUE(KLVMeasurement::sharedInstance()->database());
}

// When the time given at the end runs out, the events still on their way are counted wherever
// they wait: in the front door's queue or in the service's. Each is counted once, and none of
// them is stored later: they stay counted once their queue moves on.
TEST_F(KLVAnalyticsTest, EventsNotStoredInTimeAreCountedAndLogged) {
    struct Case {
        const char* where;
        platform::DispatchQueue* (*queue)(RecordingMeasurement&);
    };
    const Case cases[] = {
        {"front door", [](RecordingMeasurement&) { return &KLVAnalytics::queue(); }},
        {"worker queue",
         [](RecordingMeasurement& s) -> platform::DispatchQueue* {
             return s.scheduler()->workerQueue().get();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        // A stop is for the service's life: each case starts afresh.
        service_.reset();
        platform::resetSharedInstances();
        start();
        clearLogLines();
        std::promise<void> release;
        c.queue(*service_)->async([held = release.get_future().share()] { held.wait(); });
        for (int i = 0; i < 7; ++i)
            KLVAnalytics::logEventWithName("late", {{"n", i}});
        if (c.queue(*service_) != &KLVAnalytics::queue()) KLVAnalytics::waitForQueues();
        EXPECT_EQ(KLVAnalytics::loggedEventsNotStored(), 7);
        KLVAnalytics::logEventsNotStored(2);
        EXPECT_THAT(logLines(),
                    ElementsAre("com.nexory.tarnwell.analytics error <Brackenfold>[I-ACS025046] "
                                "Events logged were not stored in the time given and are lost. "
                                "Events, seconds: 7, 2"));
        release.set_value();
        settle();
        EXPECT_EQ(KLVAnalytics::loggedEventsNotStored(), 7);
        EXPECT_THAT(eventNames(), IsEmpty());
    }
}

TEST_F(KLVAnalyticsTest, ForwardedOriginMovesItsScreenParameters) {
    start();
    const Dictionary parameters = {{"_sn", "Home"}, {"_sc", "HomeView"}, {"_si", 7}, {"x", 1}};
    KLVAnalytics::logEventWithOrigin("jux+lqx", false, "_vs", parameters, 100, false, true);
    KLVAnalytics::logEventWithOrigin("jux+lqx", false, "_vs", parameters, 101, true, false);
    KLVAnalytics::logEventWithOrigin("jux", false, "_vs", parameters, 102, false, true);
    settle();
    const auto events = service_->events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].parameters, (Dictionary{{"x", 1}}));
    EXPECT_EQ(events[0].screenParameters,
              (Dictionary{{"_sn", "Home"}, {"_sc", "HomeView"}, {"_si", 7}}));
    EXPECT_EQ(events[0].timestamp, 100);
    EXPECT_TRUE(events[0].ignoreInterceptor);
    EXPECT_EQ(events[1].parameters, parameters);
    EXPECT_TRUE(events[1].ignoreEnabled);
    EXPECT_EQ(events[2].parameters, parameters);
}

TEST_F(KLVAnalyticsTest, EventsFromTwoThreadsArriveInStampOrder) {
    start();
    auto logMany = [](const char* name) {
        for (int i = 0; i < 300; ++i)
            KLVAnalytics::logEventWithName(name, {{"i", i}});
    };
    std::thread a(logMany, "from_a");
    std::thread b(logMany, "from_b");
    a.join();
    b.join();
    settle();
    const auto events = service_->events();
    ASSERT_EQ(events.size(), 600u);
    for (std::size_t i = 1; i < events.size(); ++i) {
        ASSERT_LE(events[i - 1].timestamp, events[i].timestamp) << i;
    }
}

TEST_F(KLVAnalyticsTest, AdEventIdentifierOfTheAdvertisingOrigin) {
    start();
    struct Case {
        const char* origin;
        Object aeid;
        Object expected;
    };
    const Case cases[] = {
        {"vu", Object("1234567890123"), Object(std::int64_t{1234567890123})},
        {"vu", Object("-12.9"), Object(-12)},
        {"vu", Object("99999999999999999999"), Object(INT64_MAX)},
        {"vu", Object("12a"), Object("12a")},
        {"jux", Object("12"), Object("12")},
        {"vu", Object(5), Object(5)},
    };
    for (const auto& c : cases) {
        KLVAnalytics::sharedInstance().instanceLogInternalEventWithOrigin(c.origin, "_xa",
                                                                          {{"_aeid", c.aeid}});
    }
    settle();
    const auto events = service_->events();
    ASSERT_EQ(events.size(), std::size(cases));
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].parameters.at("_aeid"), cases[i].expected) << i;
        EXPECT_FALSE(events[i].isPublicEvent);
    }
    EXPECT_EQ(logCount(25024), 0u);  // a silent line
}

TEST_F(KLVAnalyticsTest, ListenersAndTheirRefusals) {
    start();
    healthRecord();
    KLVAnalytics::removeLogEventListener(1);
    settle();
    EXPECT_THAT(healthRecord(), HasSubstr("Attempted removal of nil log event listener."));
    EXPECT_EQ(KLVAnalytics::addLogEventListener(nullptr), std::nullopt);
    EXPECT_THAT(healthRecord(), HasSubstr("Attempted addition of nil log event listener."));
    KLVAnalytics::removeLogEventListener(std::nullopt);
    EXPECT_THAT(healthRecord(), HasSubstr("Attempted removal of nil log event."));

    std::vector<std::string> heard;
    const auto token =
        KLVAnalytics::addLogEventListener([&](const KLVEvent& e) { heard.push_back(e.name()); });
    ASSERT_TRUE(token);
    KLVAnalytics::removeLogEventListener(*token + 1000);
    settle();
    EXPECT_THAT(healthRecord(),
                HasSubstr("Attempted removal of log event listener with invalid token."));
    const auto event = KLVEvent::initWithOrigin("app", true, "level_up", 1, 0, Dictionary{});
    ASSERT_TRUE(event);
    KLVAnalytics::notifyEventListeners(*event);
    settle();
    KLVAnalytics::removeLogEventListener(token);
    KLVAnalytics::notifyEventListeners(*event);
    settle();
    EXPECT_THAT(heard, ElementsAre("level_up"));
}

TEST_F(KLVAnalyticsTest, UserProperties) {
    RecordingOptions options;
    options.disableAdPersonalization = Object(1);
    start(options);
    const std::string tooLong(37, 'a');
    KLVAnalytics::setUserPropertyString("blue", "color");
    KLVAnalytics::setUserPropertyString(tooLong, "color");
    KLVAnalytics::setUserPropertyString("", "color");
    KLVAnalytics::setUserPropertyString(Object(5), "color");
    KLVAnalytics::setUserPropertyString(Object(), "color");
    KLVAnalytics::setUserPropertyString("v", "tarnwell_x");
    KLVAnalytics::setUserPropertyString("v", "1x");
    KLVAnalytics::setUserID(Object());
    KLVAnalytics::setUserID(Object(5));
    KLVAnalytics::setUserAttributeNumber(Object(2.5), "score");
    KLVAnalytics::setUserPropertyString("NO", "allow_personalized_ads");
    healthRecord();
    KLVAnalytics::sharedInstance().setInternalUserProperty("v", "_x", std::string(33, 'o'));
    EXPECT_THAT(healthRecord(), HasSubstr("Unable to set user property. Origin is invalid."));
    settle();
    EXPECT_THAT(service_->calls(),
                ElementsAre("set app color=blue", "remove color", "remove _id", "remove _lair",
                            "set auto score=2.5", "set auto _npa=1"));
    EXPECT_EQ(KLVPersistedConfig::sharedInstance()->allowPersonalizedAds(), Object(false));
    EXPECT_EQ(logCount(25003), 1u);
    EXPECT_EQ(logCount(25004), 1u);
    std::vector<std::int64_t> errors;
    for (const auto& event : service_->events()) {
        errors.push_back(event.parameters.at("_err").numberAsInteger().value_or(0));
    }
    EXPECT_THAT(errors, ElementsAre(7, 15, 6));
    EXPECT_EQ(service_->events()[0].parameters.at("_el"), Object(37));
}

TEST_F(KLVAnalyticsTest, ConsentSourcesAndStoredKeys) {
    KLVAnalytics::setConsent({{"ad_storage", "maybe"}, {"analytics_storage", 3}});
    EXPECT_EQ(logCount(25042), 2u);
    EXPECT_EQ(logCount(25041), 1u);

    KLVAnalytics::setConsent({{"ad_storage", "denied"}}, kKLVConsentSettingsTCFKey);
    EXPECT_EQ(KLVAnalyticsStore::consentSettingsTCF(), (Dictionary{{"ad_storage", "denied"}}));
    KLVAnalytics::setConsent({{"ad_storage", "granted"}});
    EXPECT_EQ(logCount(25043), 1u);
    EXPECT_EQ(KLVAnalyticsStore::consentSettings1P(), std::nullopt);
    TRWAnalytics::setConsent({{"analytics_storage", "denied"}});
    EXPECT_EQ(KLVConsentSettingsUtil::consentSource(), 10);
    EXPECT_EQ(KLVAnalyticsStore::persistedConsentSource(), 10);
    EXPECT_EQ(KLVAnalyticsStore::consentSettings3P(),
              (Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}}));
}

TEST_F(KLVAnalyticsTest, SessionIDBeforeTheStart) {
    std::optional<std::int64_t> id;
    std::optional<platform::Error> error;
    bool onGlobalQueue = false;
    KLVAnalytics::sessionIDWithCompletion([&](std::int64_t i, std::optional<platform::Error> e) {
        id = i;
        error = std::move(e);
        onGlobalQueue = &platform::globalQueue(platform::QualityOfService::Default) ==
                        platform::DispatchQueue::current();
    });
    KLVAnalytics::waitForQueues();
    testkit::drain(platform::globalQueue(platform::QualityOfService::Default));
    EXPECT_EQ(id, 0);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 13);
    EXPECT_EQ(error->description, "Analytics uninitialized");
    EXPECT_TRUE(onGlobalQueue);
}

TEST_F(KLVAnalyticsTest, PublicInterfaceRefusesUntilConfigured) {
    service_ = RecordingMeasurement::install();
    TRWAnalytics::logEventWithName("early", {});
    TRWAnalytics::setUserPropertyString("v", "color");
    TRWAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress(std::nullopt);
    TRWAnalytics::initiateOnDeviceConversionMeasurementWithPhoneNumber("+1");
    TRWAnalytics::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(std::nullopt);
    TRWAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(std::nullopt);
    for (const std::int64_t code : {25018, 25019, 25051, 25052, 25053, 25054}) {
        EXPECT_EQ(logCount(code), 1u) << code;
    }
    platform::TRWOptions options;
    options.nexoryAppID = kAppID;
    platform::TRWApp::configure(options);
    TRWAnalytics::logEventWithName("later", {});
    TRWAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress(std::nullopt);
    settle();
    EXPECT_THAT(eventNames(), ElementsAre("later"));
    EXPECT_THAT(service_->calls(), ElementsAre("userData {\"email_address\": \"\"}"));
    EXPECT_EQ(monitor().logTag(), platform::kTRWLoggerAnalytics);
    // Configuring the app also puts the rule runtime behind the configuration's programs.
    EXPECT_TRUE(std::dynamic_pointer_cast<KLVPEventEditingRuntime>(KLVPEventEditing::init()));
    KLVPEventEditing::setFactory({});
}

TEST_F(KLVAnalyticsTest, ADeactivatedEngineCannotBeEnabled) {
    RecordingOptions options;
    options.deactivated = true;
    start(options, {{kKLVStartOptionCollectionDeactivated, true}});
    KLVAnalytics::setAnalyticsEnabled(true, true);
    settle();
    EXPECT_FALSE(KLVAnalytics::isEnabledFlag());
    EXPECT_FALSE(service_->isEnabled());
    EXPECT_EQ(KLVPersistedConfig::sharedInstance()->measurementEnabledState(), 1);
    KLVAnalytics::setUserData({{"email_address", "a@b.c"}});
    settle();
    EXPECT_EQ(logCount(25044), 1u);
    EXPECT_THAT(service_->calls(), IsEmpty());
}

TEST_F(KLVAnalyticsTest, ResetWhileAnalyticsStorageIsDenied) {
    start();
    KLVConsentSettingsUtil::setConsentSettings(Dictionary{{"analytics_storage", "denied"}});
    KLVAnalytics::resetAnalyticsData();
    settle();
    EXPECT_THAT(service_->calls(), ElementsAre("reset nil"));
    EXPECT_EQ(KLVAnalytics::appInstanceID(), std::nullopt);
    EXPECT_EQ(KLVAnalyticsStore::appInstanceIDAfterReset(), std::nullopt);
    EXPECT_TRUE(KLVAnalyticsStore::needFirstOpenAfterReset());
    EXPECT_EQ(KLVAnalyticsStore::resetRetryCount(), 0);
}

TEST_F(KLVAnalyticsTest, FailedResetKeepsTheNewID) {
    RecordingOptions options;
    options.resetSucceeds = false;
    start(options);
    KLVAnalytics::resetAnalyticsData();
    settle();
    EXPECT_EQ(logCount(25037), 1u);
    EXPECT_EQ(KLVAnalyticsStore::resetRetryCount(), 1);
    const auto kept = KLVAnalyticsStore::appInstanceIDAfterReset();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->size(), 32u);
    EXPECT_EQ(KLVAnalytics::appInstanceID(), kept);
}

TEST_F(KLVAnalyticsTest, WaitingCallsAreBoundedBeforeTheStart) {
    for (std::size_t i = 0; i <= kKLVMaxSuspendedOperations + 5; ++i) {
        KLVAnalytics::queueOperationWithBlock([] {});
    }
    EXPECT_EQ(logCount(25045), 1u);
}

TEST_F(KLVAnalyticsTest, AppDelegateProxyForwardsOpenedLinks) {
    start();
    platform::runUntilIdle();  // the proxy is made on the main queue
    std::vector<std::string> opened;
    KLVAnalytics::setOpenURLListener([&](const std::string& url) { opened.push_back(url); });
    platform::UIApplication::shared().openURL("https://example.com/a?utm_campaign=x");
    platform::UIApplication::shared().continueUserActivity(
        {platform::NSUserActivityTypeBrowsingWeb, "https://example.com/b"});
    settle();
    EXPECT_THAT(opened,
                ElementsAre("https://example.com/a?utm_campaign=x", "https://example.com/b"));
}

}  // namespace
}  // namespace engine
