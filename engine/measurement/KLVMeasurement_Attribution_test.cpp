#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/base/KLVDictionaryQuery.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVPlatformIdentitySupport.h"
#include "engine/measurement/KLVPrivateSetMembershipClient.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVDeepLinkCache.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "engine/stores/KLVUserDefaults.h"
#include "platform/adsupport/AdServices.h"
#include "platform/adsupport/SKAdNetwork.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/net/Gzip.h"
#include "platform/net/HttpClient.h"
#include "platform/net/Reachability.h"
#include "platform/ui/UIApplication.h"
#include "platform/utilities/WDLAppEnvironmentUtil.h"
#include "testkit/LoopbackServer.h"
#include "testkit/ManualClock.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;
using Response = KLVPBSkAdNetworkConversionValueResponse;

constexpr char kAttributionHost[] = "measurement.attribution.test";
constexpr char kAdID[] = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
const double kNow = platform::ManualClock::kDefaultNow;

class AppDelegate : public platform::UIApplicationDelegate {
  public:
    bool applicationOpenURL(platform::UIApplication&, const std::string& url,
                            const Dictionary& options) override {
        opened.emplace_back(url, options);
        return true;
    }
    std::vector<std::pair<std::string, Dictionary>> opened;
};

// A real service under the manual clock, every host on the loopback server.
class AttributionTest : public LiveServiceTest {
  protected:
    void SetUp() override {
        LiveServiceTest::SetUp();
        allowDebugLines();
        ASSERT_TRUE(server_.isRunning());
        useLoopbackHost(server_, kAttributionHost);
    }
    // A request the clock started (an upload alarm fetching the configuration) must be answered
    // before the shared state it completes into is reset.
    void TearDown() override {
        if (service_) exchange([](KLVMeasurement&) {});
        service_.reset();
        LiveServiceTest::TearDown();
    }
    // `withAdID`: the platform answers an advertising identifier and authorised tracking.
    void start(bool withAdID = false, Dictionary info = {}) {
        if (withAdID) {
            platform::TrackingServices::setTrackingManager(
                platform::ATTrackingManager{[] { return std::int64_t{3}; }});
            platform::TrackingServices::setIdentifierManagerClass(
                platform::ASIdentifierManagerClass{[] {
                    return std::make_shared<platform::ASIdentifierManager>(
                        platform::ASIdentifierManager{[] { return true; },
                                                      [] { return std::string(kAdID); }});
                }});
            KLVDefaultIdentitySupport::setPlatformIdentitySupport(
                std::make_shared<KLVPlatformIdentitySupport>());
            // Before the start, which decides on its own whether to fetch the deferred deep link:
            // an answer still on its way would leave tracking limited, at the start or after it.
            waitForAdvertisingIdentifier(kAdID);
        }
        info.insert({{"CFBundleIdentifier", "com.example.tessaline"},
                     {kKLVUploadHostInfoPlistKey, kAttributionHost},
                     {kKLVConfigHostInfoPlistKey, kAttributionHost},
                     {kKLVAdServicesHostInfoPlistKey, kAttributionHost}});
        testing::useMainBundle(dataRoot() / "bundle", info);
        startService();
        if (withAdID) {
            const auto identity = service_->identity();
            ASSERT_EQ(identity->resettableDeviceID(), kAdID);
            ASSERT_FALSE(identity->limitedAdTracking());
        }
        clearLogLines();
    }
    // Runs `start` on the worker queue and waits until its request was answered and handled.
    template <typename F>
    void exchange(F start) {
        onWorker(start);
        waitForNetworkIdle(*service_);
    }
    std::vector<std::pair<std::string, KLVRawEventData>> stored() {
        std::vector<std::pair<std::string, KLVRawEventData>> out;
        for (auto& raw : storedRawEvents(*service_))
            out.emplace_back(raw.rawEvent().name(), raw);
        return out;
    }
    // The parameters but "_o" as "name=value" pairs in name order.
    static std::string text(const KLVRawEventData& raw) {
        std::string out;
        for (const auto& [name, value] : raw.rawEvent().parameters()) {
            if (name == "_o") continue;
            out += (out.empty() ? "" : "&") + name + "=" +
                   (value.isString() ? *value.stringValue() : std::to_string(value.int64Value()));
        }
        return out;
    }
    std::optional<KLVUserAttribute> property(const std::string& name) {
        std::optional<KLVUserAttribute> found;
        onWorker([&](KLVMeasurement& s) { found = s.database()->userAttributeWithName(name); });
        return found;
    }
    void open(const std::string& url, std::optional<std::int64_t> click = std::nullopt,
              double time = kNow + 5, Dictionary extras = {}) {
        onWorker(
            [&](KLVMeasurement& s) { s.handleOpenURLOnWorkerQueue(url, click, time, extras); });
    }
    std::shared_ptr<KLVPersistedConfig> persisted() { return service_->persistedConfig(); }

    testkit::LoopbackServer server_{{{kAttributionHost}}};
};

// ---- Campaign URLs ----------------------------------------------------------------------------

TEST_F(AttributionTest, CampaignURLsBecomeCampaignEvents) {
    start();
    struct Case {
        std::string url;
        Dictionary extras;
        std::int64_t refusal;  // 0: a campaign event
        std::string name;
        std::string expected;  // the parameters but "_o", in name order
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"https://x.test/p?utm_source=news", {}, 0, "_cmp", "source=news"},
        {"https://x.test/p?utm_content=a", {}, 23001, "", ""},
        {"https://x.test/p", {}, 23000, "", ""},
        {"tessaline://open?utm_campaign=c&utm_term=t&utm_id=7&cis=x&aclid=a&utm_creative_format=f"
         "&utm_marketing_tactic=m&utm_source_platform=p&sfmc_id=s&cp1=1&anid=n&nad_source=ns", {}, 0,
         "_cmp", "_cis=x&aclid=a&anid=n&campaign=c&campaign_id=7&cp1=1&creative_format=f"
         "&marketing_tactic=m&nad_source=ns&sfmc_id=s&source_platform=p&term=t"},
        // Extras lie under the query; numbers go over the event; "_cc" 1 marks a replay.
        {"https://x.test/?utm_source=q",
         {{"utm_source", "extra"}, {"utm_medium", "m"}, {"_cc", std::int64_t{1}}, {"bad", Dictionary{}}},
         0, "_cmpx", "_cc=1&medium=m&source=q"},
        // Without an advertising identifier or tracking authorisation click IDs are dropped.
        {"https://x.test/?nclid=N&xclid=X&srsltid=S&nbraid=B", {}, 0, "_cmp", "nbraid=B"},
    };
    // clang-format on
    for (const auto& c : cases) {
        clearLogLines();
        forgetFirstOpen(*service_);
        open(c.url, std::nullopt, kNow + 5, c.extras);
        const auto events = stored();
        if (c.refusal) {
            EXPECT_TRUE(events.empty()) << c.url;
            EXPECT_EQ(logCount(c.refusal), 1u) << c.url;
            continue;
        }
        ASSERT_EQ(events.size(), 1u) << c.url;
        EXPECT_EQ(events[0].first, c.name) << c.url;
        EXPECT_EQ(text(events[0].second), c.expected) << c.url;
    }
    EXPECT_EQ(property("_nbraid")->value(), KLVValue::initWithString("B"));
}

TEST_F(AttributionTest, ClickIDsWithAnAdvertisingIdentifierAndEventTimeNeverBeforeFirstOpen) {
    start(true);
    persisted()->setFirstOpenTimestampMilliseconds(static_cast<std::int64_t>(kNow * 1000) + 60000);
    open("https://x.test/?utm_source=s&nclid=N", 99, kNow);
    const auto events = stored();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(text(events[0].second), "click_timestamp=99&nclid=N&source=s");
    EXPECT_EQ(events[0].second.rawEvent().timestamp(), kNow + 60);
}

TEST_F(AttributionTest, StoredLaunchLinkIsReplayedFreshOrExpired) {
    start();
    auto& defaults = KLVUserDefaults::sharedUserDefaults();
    KLVStoreDeepLink(defaults, "https://x.test/?utm_source=mail");
    onWorker([](KLVMeasurement& s) { s.reportStoredCampaignEventOnWorkerQueue(1234); });
    auto events = stored();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, "_cmp");
    EXPECT_EQ(events[0].second.rawEvent().parameters().at("_cc"),
              KLVValue::initWithInt64(
                  KLVStartOfPreviousHourMillis(static_cast<std::int64_t>(kNow * 1000))));
    EXPECT_EQ(events[0].second.rawEvent().parameters().at("click_timestamp"),
              KLVValue::initWithInt64(1234));
    EXPECT_TRUE(defaults.objectForKey(kKLVDeepLinkKey).isNull());

    // A week later the text "(not set)" is no URL, yet the campaign is recorded.
    KLVStoreDeepLink(defaults, "https://x.test/?utm_source=mail");
    defaults.setObject(Object(kNow - 604801), kKLVDeepLinkTimestampKey);
    onWorker([](KLVMeasurement& s) { s.reportStoredCampaignEventOnWorkerQueue(std::nullopt); });
    events = stored();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].first, "_cmpx");
    EXPECT_EQ(events[1].second.rawEvent().parameters().at("source"),
              KLVValue::initWithString("(not set)"));
    EXPECT_TRUE(defaults.objectForKey(kKLVDeepLinkTimestampKey).isNull());
}

TEST_F(AttributionTest, LaunchLinkOfAnActivityWinsOverTheURL) {
    const platform::NSUserActivity activity{platform::NSUserActivityTypeBrowsingWeb,
                                            std::string("https://web.test/a?utm_source=w")};
    KLVMeasurement::handleStoredURLAfterAppLaunchWithNotification(
        {{platform::UIApplicationLaunchOptionsUserActivityDictionaryKey,
          Dictionary{{platform::UIApplicationLaunchOptionsUserActivityKey, activity.toObject()}}},
         {platform::UIApplicationLaunchOptionsURLKey, "tessaline://b"}});
    EXPECT_EQ(KLVUserDefaults::sharedUserDefaults().objectForKey(kKLVDeepLinkKey),
              Object("https://web.test/a?utm_source=w"));
    KLVMeasurement::handleStoredURLAfterAppLaunchWithNotification(
        {{platform::UIApplicationLaunchOptionsURLKey, "tessaline://b"}});
    EXPECT_EQ(KLVUserDefaults::sharedUserDefaults().objectForKey(kKLVDeepLinkKey),
              Object("tessaline://b"));
}

// ---- Deferred deep link -----------------------------------------------------------------------

TEST_F(AttributionTest, DeferredDeepLinkPreconditionsInOrder) {
    start(false, {{"NEXORY_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", true}});
    const auto allowed = [&] {
        bool answer = false;
        onWorker([&](KLVMeasurement& s) { answer = s.shouldAllowRequestDeferredDeepLink(); });
        return answer;
    };
    EXPECT_FALSE(allowed());  // no advertising identifier
    EXPECT_EQ(logCount(23196), 1u);
    persisted()->setDeferredDeepLinkRetryCount(5);
    EXPECT_FALSE(allowed());
    EXPECT_EQ(logCount(23195), 1u);
    EXPECT_EQ(persisted()->deferredDeepLinkRetrievalComplete(), Object(std::int64_t{1}));
    EXPECT_FALSE(allowed());
    EXPECT_EQ(logCount(23194), 1u);
    configure({{"measurement.ddl.enabled", "0"}});
    clearLogLines();
    EXPECT_FALSE(allowed());
    EXPECT_EQ(logCount(23194), 0u);  // the switch comes first
}

TEST_F(AttributionTest, DeferredDeepLinkIsFetchedDeliveredAndRecorded) {
    auto delegate = std::make_shared<AppDelegate>();
    platform::UIApplication::shared().launch(delegate);
    start(true, {{"NEXORY_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", true}});
    onWorker([](KLVMeasurement& s) { EXPECT_TRUE(s.shouldAllowRequestDeferredDeepLink()); });
    server_.answer(
        "GET", "/pagead/conversion/app/deeplink",
        {200,
         {},
         R"({"deeplink":"tessaline://open?utm_source=ads","nclid":"N1","timestamp":"17"})"});
    exchange([](KLVMeasurement& s) { s.requestDeferredDeepLink(); });
    const auto request = server_.requests().back();
    const auto query = klv_dictionaryWithHttpArgumentsString(request.query);
    EXPECT_EQ(query.at("rdid"), Object(kAdID));
    EXPECT_EQ(query.at("id_type"), Object("idfa"));
    EXPECT_EQ(query.at("bundleid"), Object("com.example.tessaline"));
    EXPECT_EQ(query.at("retry"), Object("0"));
    EXPECT_EQ(query.at("sdk_version"),
              Object(std::to_string(KLVIdentity::brackenfoldLibraryVersion())));
    EXPECT_EQ(query.at("dma"), Object("1"));
    EXPECT_EQ(query.at("gcs"), Object("G1--"));
    EXPECT_EQ(persisted()->deferredDeepLinkRetrievalComplete(), Object(std::int64_t{0}));

    platform::runUntilIdle();
    ASSERT_EQ(delegate->opened.size(), 1u);
    EXPECT_EQ(delegate->opened[0].first, "tessaline://open?utm_source=ads");
    EXPECT_EQ(delegate->opened[0].second, (Dictionary{{"timestamp", "17"}}));
    drain();
    const auto events = stored();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(text(events[0].second), "_cis=ddp&nclid=N1&source=ads");
}

TEST_F(AttributionTest, DeferredDeepLinkFailuresAndABusyNetwork) {
    platform::UIApplication::shared().launch(std::make_shared<platform::UIApplicationDelegate>());
    start(true);
    struct Case {
        testkit::ScriptedAnswer answer;
        std::int64_t code;
        std::int64_t retries;
    };
    const Case cases[] = {
        {{500, {}, ""}, 23199, 1},
        {{200, {}, "not json"}, 23202, 1},
        {{200, {}, ""}, 0, 1},
        {{200, {}, R"({"deeplink":"tessaline://open?utm_source=a"})"}, 23204, 1},
    };
    for (const auto& c : cases)
        server_.answer("GET", "/pagead/conversion/app/deeplink", c.answer);
    for (const auto& c : cases) {
        clearLogLines();
        exchange([](KLVMeasurement& s) { s.requestDeferredDeepLink(); });
        platform::runUntilIdle();
        drain();
        if (c.code) {
            EXPECT_EQ(logCount(c.code), 1u) << c.code;
        }
        EXPECT_EQ(persisted()->deferredDeepLinkRetryCount(), c.retries) << c.code;
    }
    EXPECT_TRUE(stored().empty());
    // Busy: nothing sent, nothing counted.
    const auto sent = server_.requests().size();
    onWorker([](KLVMeasurement& s) {
        s.setIsNetworkRequestPending(true);
        s.requestDeferredDeepLink();
        s.setIsNetworkRequestPending(false);
    });
    EXPECT_EQ(logCount(23268), 1u);
    EXPECT_EQ(server_.requests().size(), sent);
    EXPECT_EQ(persisted()->deferredDeepLinkRetryCount(), 1);
}

// ---- Conversion values of the ad network ------------------------------------------------------

struct Update {
    std::int64_t fine;
    std::string coarse;
    bool lock;
};

class SKANTest : public AttributionTest {
  protected:
    void SetUp() override {
        AttributionTest::SetUp();
        platform::SKAdNetwork::setConversionValueUpdater(
            [this](std::int64_t fine, const std::string& coarse, bool lock,
                   platform::SKAdNetworkCompletion completion) {
                updates_.push_back({fine, coarse, lock});
                completion(error_);
            });
        start();
        configure({{"measurement.skan.update_conversion_value_enabled", "1"}});
        persisted()->setFirstOpenTimestampMilliseconds(static_cast<std::int64_t>(kNow * 1000));
    }
    static Response answer(std::optional<std::int32_t> fine, std::optional<std::int32_t> coarse,
                           std::optional<std::int64_t> expiry, std::optional<std::int64_t> event) {
        Response r;
        NANOSetInt32(r, Response::status, 1);
        if (fine) NANOSetInt32(r, Response::fine_value, *fine);
        if (coarse) NANOSetInt32(r, Response::coarse_value, *coarse);
        if (expiry) NANOSetInt64(r, Response::expiry_time_millis, *expiry);
        if (event) NANOSetInt64(r, Response::evaluation_event_time_millis, *event);
        return r;
    }
    std::int32_t retries() {
        std::int32_t n = 0;
        onWorker([&](KLVMeasurement& s) { n = s.attribution().SKANRetryCount; });
        return n;
    }
    std::vector<Update> updates_;
    std::optional<platform::Error> error_;
};

TEST_F(SKANTest, AnAnswerIsAppliedAndRecorded) {
    persisted()->setLastUploadedEventTimestampMillis(5000);
    const std::int64_t later = static_cast<std::int64_t>(kNow * 1000) + 3600000;
    auto r = answer(42, 3, later, 6000);
    NANOSetString(r, Response::message, "label");
    NANOSetBool(r, Response::lock_window, true);
    NANOSetInt64(r, Response::update_backoff_millis, 7000);
    const auto bytes = r.protoBuffer().value();
    server_.answer("POST", "/skan", {200, {}, std::string(bytes.begin(), bytes.end()), 0, true});
    exchange([](KLVMeasurement& s) { s.fetchSKANCV(); });
    drain();

    const auto request = server_.requests().back();
    EXPECT_EQ(*request.header("Accept-Encoding"), "gzip");
    const auto sent = KLVPBSkAdNetworkConversionValueRequest::initWithBuffer(
        std::vector<std::uint8_t>(request.body.begin(), request.body.end()));
    ASSERT_TRUE(sent);
    using Request = KLVPBSkAdNetworkConversionValueRequest;
    EXPECT_EQ(NANOGetString(*sent, Request::app_id), kAppID);
    EXPECT_EQ(NANOGetString(*sent, Request::skan_version), "4.0");
    EXPECT_EQ(NANOGetInt64(*sent, Request::last_uploaded_event_timestamp_millis), 5000);
    EXPECT_TRUE(NANOGetString(*sent, Request::app_instance_id));

    ASSERT_EQ(updates_.size(), 1u);
    EXPECT_EQ(std::tie(updates_[0].fine, updates_[0].coarse, updates_[0].lock),
              std::make_tuple(42, "high", true));
    EXPECT_EQ(persisted()->SKANEvaluationEventTimeMillis(), 6000);
    EXPECT_EQ(persisted()->SKANEvaluationUpdateBackoffMillis(), 7000);
    const auto events = stored();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, "_skan");
    EXPECT_EQ(text(events[0].second), "_skanc=3&_skane=6000&_skanf=42&_skanl=1&_skanm=label");
}

TEST_F(SKANTest, AnswersThatDoNotParseStopWithoutARetry) {
    Response nothing;
    NANOSetInt32(nothing, Response::status, 2);
    const auto plain = nothing.protoBuffer().value();
    struct Case {
        testkit::ScriptedAnswer answer;
        std::int64_t code;  // 0: none
        std::int32_t retries;
    };
    const Case cases[] = {
        {{200, {}, std::string(2 * 1024 * 1024, 'a'), 0, true}, 23243, 0},  // inflates past the cap
        {{200, {}, ""}, 23242, 0},
        {{200, {}, "\xff\xff\xff"}, 23243, 0},
        {{200, {}, std::string(plain.begin(), plain.end())}, 0, 0},
        {{500, {}, ""}, 23241, 1},
    };
    for (const auto& c : cases)
        server_.answer("POST", "/skan", c.answer);
    for (const auto& c : cases) {
        clearLogLines();
        onWorker([](KLVMeasurement& s) { s.attribution().SKANRetryCount = 0; });
        exchange([](KLVMeasurement& s) { s.fetchSKANCV(); });
        EXPECT_EQ(logCount(c.code), c.code ? 1u : 0u) << c.code;
        EXPECT_EQ(retries(), c.retries) << c.code;
    }
    EXPECT_EQ(server_.requests().size(), std::size(cases));
}

TEST_F(SKANTest, EachValidationStepRetriesOrStops) {
    persisted()->setLastUploadedEventTimestampMillis(5000);
    const std::int64_t future = static_cast<std::int64_t>(kNow * 1000) + 1000;
    const std::int64_t past = static_cast<std::int64_t>(kNow * 1000) - 1000;
    struct Case {
        Response response;
        std::int64_t code;
        std::int32_t retries;
    };
    const Case cases[] = {
        {answer(1, 1, future, std::nullopt), 23244, 1},
        {answer(std::nullopt, std::nullopt, future, 6000), 23251, 0},
        {answer(64, 1, future, 6000), 23245, 0},
        {answer(1, 1, std::nullopt, 6000), 23255, 1},
        {answer(1, 1, past, 6000), 23246, 1},
        {answer(1, 1, future, 4000), 23247, 1},
    };
    for (const auto& c : cases) {
        clearLogLines();
        onWorker([&](KLVMeasurement& s) {
            s.attribution().SKANRetryCount = 0;
            s.updateSKANPostbackConversionValueFromResponse(c.response);
        });
        EXPECT_EQ(logCount(c.code), 1u) << c.code;
        EXPECT_EQ(retries(), c.retries) << c.code;
    }
    EXPECT_TRUE(updates_.empty());
    // A platform error other than "already updated" records nothing.
    error_ = platform::Error{platform::SKANErrorDomain, 3, "no", {}};
    onWorker([&](KLVMeasurement& s) {
        s.updateSKANPostbackConversionValueFromResponse(answer(1, 1, future, 6000));
    });
    drain();
    EXPECT_EQ(logCount(23249), 1u);
    error_ = platform::Error{platform::SKANErrorDomain, 10, "already", {}};
    onWorker([&](KLVMeasurement& s) {
        s.updateSKANPostbackConversionValueFromResponse(answer(1, 1, future, 6000));
    });
    drain();
    EXPECT_EQ(stored().size(), 1u);
}

TEST_F(SKANTest, RetryLimitsWindowsAndOperatingSystem) {
    EXPECT_EQ(KLVMeasurement::convertCoarseConversionValueFromProtoValue(3), "high");
    EXPECT_EQ(KLVMeasurement::convertCoarseConversionValueFromProtoValue(2), "medium");
    for (const int low : {0, 1, 4}) {
        EXPECT_EQ(KLVMeasurement::convertCoarseConversionValueFromProtoValue(low), "low");
    }
    const std::pair<const char*, const char*> versions[] = {{"16.1", "4.0"}, {"16.0", "3.0"},
                                                            {"14.5", "2.2"}, {"14.0", "2.1"},
                                                            {"13.7", "1.0"}, {"12.4", "0"}};
    for (const auto& [os, skan] : versions) {
        platform::WDLAppEnvironmentUtil::setPhoneOSVersion(os);
        EXPECT_EQ(KLVMeasurement::SKANVersion(), skan) << os;
    }
    platform::WDLAppEnvironmentUtil::setPhoneOSVersion("17.0");

    // Four retries inside the first window, the fifth failure stops.
    onWorker([](KLVMeasurement& s) {
        for (int i = 0; i < 5; ++i)
            s.maybeScheduleSKANCVFetchRetry();
    });
    EXPECT_EQ(logCount(23250), 1u);
    // Inside a stored back-off the second failure already stops.
    clearLogLines();
    persisted()->setSKANEvaluationEventTimeMillis(static_cast<std::int64_t>(kNow * 1000));
    persisted()->setSKANEvaluationUpdateBackoffMillis(60000);
    onWorker([](KLVMeasurement& s) {
        s.attribution().SKANRetryCount = 0;
        s.maybeScheduleSKANCVFetchRetry();
        EXPECT_TRUE(s.attribution().SKANRetryAlarm->scheduledTimestamp());
        s.maybeScheduleSKANCVFetchRetry();
    });
    EXPECT_EQ(logCount(23250), 1u);

    const auto wanted = [&] {
        bool answer = false;
        onWorker([&](KLVMeasurement& s) { answer = s.shouldFetchSKANConversionValue(); });
        return answer;
    };
    EXPECT_TRUE(wanted());
    platform::WDLAppEnvironmentUtil::setPhoneOSVersion("16.0");
    EXPECT_FALSE(wanted());
    platform::WDLAppEnvironmentUtil::setPhoneOSVersion("17.0");
    persisted()->setFirstOpenTimestampMilliseconds(static_cast<std::int64_t>(kNow * 1000) -
                                                   3024000001);
    EXPECT_FALSE(wanted());
    persisted()->setFirstOpenTimestampMilliseconds(static_cast<std::int64_t>(kNow * 1000));
    platform::SKAdNetwork::setConversionValueUpdater(nullptr);
    EXPECT_FALSE(wanted());
}

TEST_F(SKANTest, OfflineFetchWaitsForTheNetworkAndAnUploadSchedulesOne) {
    platform::Reachability::shared().setReachable(false);
    onWorker([](KLVMeasurement& s) { s.fetchSKANCV(); });
    EXPECT_TRUE(server_.requests().empty());
    onWorker([](KLVMeasurement& s) { EXPECT_TRUE(s.attribution().fetchSKANWhenNetworkConnected); });
    platform::Reachability::shared().setReachable(true);
    server_.answer("POST", "/skan", {304, {}, ""});
    exchange([](KLVMeasurement& s) { s.maybeFetchSKANCVAfterReachabilityChange(); });
    EXPECT_EQ(server_.requests().size(), 1u);

    // After an upload the fetch waits for the first window's delay, on the clock.
    onWorker([](KLVMeasurement& s) { s.scheduleSKANCVFetchAfterDataUpload(); });
    onWorker([](KLVMeasurement& s) {
        EXPECT_EQ(s.attribution().SKANDelayAlarm->scheduledTimestamp()->secondsSince1970,
                  kNow + 20);
    });
    clock_.advance(20);
    exchange([](KLVMeasurement&) {});
    EXPECT_EQ(server_.requests().size(), 2u);
}

// ---- On-device conversion ---------------------------------------------------------------------

class FakeClient : public KLVPrivateSetMembershipClient {
  public:
    FakeClient(std::string input, std::int64_t type) : input_(std::move(input)), type_(type) {}
    std::optional<std::string> PSMRequestURLWithRetryCount(std::int32_t retryCount) override {
        return "https://" + std::string(kAttributionHost) + "/psm?in=" + input_ +
               "&r=" + std::to_string(retryCount);
    }
    std::int64_t inputType() const override { return type_; }
    std::string parsedPSMValueFromResponse(const platform::Data& data) override {
        return std::string(data.begin(), data.end());
    }

  private:
    std::string input_;
    std::int64_t type_;
};

class PSMTest : public AttributionTest {
  protected:
    void SetUp() override {
        AttributionTest::SetUp();
        KLVPrivateSetMembershipClientClass c;
        c.initWithEmailAddress = [](const std::string& e, const std::string&) {
            return std::make_shared<FakeClient>(e, kKLVPSMInputTypeEmailAddress);
        };
        c.initWithPhoneNumber = [](const std::string& p, const std::string&) {
            return std::make_shared<FakeClient>(p, kKLVPSMInputTypePhoneNumber);
        };
        KLVSetPrivateSetMembershipClientClass(c);
        start();
        // First open at 10:00:30 of the clock's day.
        persisted()->setFirstOpenTimestampMilliseconds(static_cast<std::int64_t>(kNow) * 1000 +
                                                       30000);
    }
    void userData(const Dictionary& data) {
        exchange([&](KLVMeasurement& s) { s.setUserDataOnWorkerQueue(data); });
    }
    Dictionary lastQuery() {
        return klv_dictionaryWithHttpArgumentsString(server_.requests().back().query);
    }
};

TEST_F(PSMTest, EmailFirstCountersFirstOpenMinuteAndTheRunLimit) {
    server_.answer("GET", "/psm", {200, {}, ""});
    userData({{"phone_number", "+100"}, {"email_address", "a@b.test"}});
    EXPECT_EQ(logCount(23225), 1u);
    EXPECT_EQ(lastQuery().at("in"), Object("a@b.test"));
    EXPECT_EQ(lastQuery().at("psm_count"), Object("0"));
    const std::int64_t minute = (static_cast<std::int64_t>(kNow) + 30) / 60 * 60 + 60;
    EXPECT_EQ(lastQuery().at("timestamp_first_open"), Object(std::to_string(minute)));
    EXPECT_EQ(property("_psmcount")->value(), KLVValue::initWithInt64(1));
    EXPECT_EQ(logCount(23230), 1u);

    userData({{"phone_number", "+100"}});
    EXPECT_EQ(lastQuery().at("psm_phone_count"), Object("0"));
    EXPECT_EQ(property("_psmcountph")->value(), KLVValue::initWithInt64(1));
    userData({{"email_address", "a@b.test"}});
    EXPECT_EQ(lastQuery().at("psm_count"), Object("1"));
    const auto sent = server_.requests().size();
    userData({{"email_address", "a@b.test"}});
    EXPECT_EQ(logCount(23236), 1u);
    EXPECT_EQ(server_.requests().size(), sent);
}

TEST_F(PSMTest, AMatchIsStoredAndReportedInRealTime) {
    server_.answer("GET", "/psm", {200, {}, "m1"});
    userData({{"email_address", "a@b.test"}});
    EXPECT_EQ(property("_psmvalue")->value(), KLVValue::initWithString("m1"));
    const auto events = stored();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, "_fx");
    EXPECT_EQ(text(events[0].second), "_fxs=psm&_r=1");
    userData({{"email_address", "a@b.test"}});
    EXPECT_EQ(logCount(23237), 1u);

    // Ninety days later the match and its counters go.
    clock_.advance(7776000);
    onWorker([](KLVMeasurement& s) { s.maybeDeleteExpiredPSMValueOnWorkerQueue(); });
    EXPECT_FALSE(property("_psmvalue"));
    EXPECT_FALSE(property("_psmcount"));
}

TEST_F(PSMTest, FailuresRetryWithDoublingIntervalsUpToTheLimit) {
    server_.answer("GET", "/psm", {500, {}, ""});
    userData({{"email_address", "a@b.test"}});
    EXPECT_EQ(logCount(23228), 1u);
    onWorker([](KLVMeasurement& s) {
        EXPECT_EQ(s.attribution().PSMRetryAlarm->scheduledTimestamp()->secondsSince1970,
                  kNow + 300);
        for (const double interval : {600.0, 1200.0, 2400.0}) {
            s.maybeSchedulePSMRetry();
            EXPECT_EQ(s.attribution().PSMRetryAlarm->scheduledTimestamp()->secondsSince1970,
                      kNow + interval);
        }
        s.maybeSchedulePSMRetry();
    });
    EXPECT_EQ(logCount(23231), 1u);
}

TEST_F(PSMTest, PreconditionsWithoutAClientOrOutsideTheFirstOpenWindow) {
    persisted()->setFirstOpenTimestampMilliseconds(static_cast<std::int64_t>(kNow - 61 * 86400) *
                                                   1000);
    userData({{"email_address", "a@b.test"}});
    EXPECT_EQ(logCount(23261), 1u);
    userData({{"email_address", ""}});
    EXPECT_EQ(logCount(23234), 1u);
    KLVSetPrivateSetMembershipClientClass(std::nullopt);
    userData({{"email_address", "a@b.test"}});
    EXPECT_EQ(logCount(23233), 1u);
    EXPECT_TRUE(server_.requests().empty());
}

// ---- Platform identity ------------------------------------------------------------------------

TEST(PlatformIdentitySupport, PresentAndAbsentServices) {
    using Answers = std::tuple<bool, std::int64_t, bool, bool, std::optional<std::string>>;
    const auto answers = [](KLVPlatformIdentitySupport support) {
        return Answers{support.hasAppDataConsentStatus(), support.appDataConsentStatus(),
                       support.hasLimitedAdTracking(), support.limitedAdTracking(),
                       support.resettableDeviceID()};
    };
    EXPECT_EQ(answers({}), Answers(false, -1, false, false, std::nullopt));
    // A tracking service without its status operation; the all-zero identifier passed on.
    platform::TrackingServices::setTrackingManager(platform::ATTrackingManager{});
    platform::TrackingServices::setIdentifierManagerClass(platform::ASIdentifierManagerClass{[] {
        return std::make_shared<platform::ASIdentifierManager>(platform::ASIdentifierManager{
            [] { return false; }, [] { return std::string(kKLVZeroAdvertisingIdentifier); }});
    }});
    EXPECT_EQ(answers({}), Answers(true, -1, true, true, kKLVZeroAdvertisingIdentifier));
    platform::resetSharedInstances();
}

}  // namespace
}  // namespace engine
