#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/adsupport/SKAdNetwork.h"

namespace engine {
namespace {

using ::testing::ElementsAre;

// Stores internal properties straight into the database (the user-property half proper comes
// with its own concern) and writes a plain "_s" for each session start.
class LifeCycleMeasurement : public RecordingMeasurement {
  public:
    using RecordingMeasurement::RecordingMeasurement;
    void reportFirstOpenOnWorkerQueue() override { KLVMeasurement::reportFirstOpenOnWorkerQueue(); }
    void setPersonalizedAdsUserPropertyOnWorkerQueue() override {
        KLVMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue();
    }
    std::optional<platform::Object> shouldDisableAdPersonalization() override { return npa; }
    std::optional<platform::Object> npa;
    // The receipt's answer depends on the machine (some count as simulators); fixed here.
    bool isVersionSameAsOriginalVersion() override { return false; }

    void setUserAttributeOnWorkerQueue(const KLVUserAttribute& attribute) override {
        EXPECT_TRUE(database()->updateUserAttribute(attribute));
    }
    void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool) override {
        if (auto event = KLVEvent::initWithOrigin("auto", false, "_s", timestamp, 0,
                                                  platform::Dictionary{})) {
            handleInternalEventOnWorkerQueue(std::move(*event));
        }
    }
};

class LifeCycleTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        platform::SKAdNetwork::resetRegistrationCount();
        KLVSetInternalEventLogger([this](const std::string& origin, const std::string& name,
                                         const platform::Dictionary& parameters) {
            internal_.push_back(origin + " " + name + " " +
                                platform::Object(parameters).description());
        });
    }
    void TearDown() override {
        KLVSetInternalEventLogger({});
        EngineTest::TearDown();
    }
    template <typename Block>
    void onWorker(Block block) {
        service_->scheduler()->workerQueue()->sync([&] { block(*service_); });
    }
    std::vector<std::pair<std::string, KLVParameters>> stored() {
        std::vector<std::pair<std::string, KLVParameters>> out;
        for (const auto& raw : storedRawEvents(*service_))
            out.emplace_back(raw.rawEvent().name(), raw.rawEvent().parameters());
        return out;
    }
    std::vector<std::string> storedNames() {
        std::vector<std::string> names;
        for (const auto& [name, parameters] : stored())
            names.push_back(name);
        return names;
    }
    std::optional<KLVUserAttribute> property(const std::string& name) {
        std::optional<KLVUserAttribute> found;
        onWorker([&](KLVMeasurement& s) { found = s.database()->userAttributeWithName(name); });
        return found;
    }

    std::shared_ptr<LifeCycleMeasurement> service_;
    std::vector<std::string> internal_;
};

TEST(LifeCycleRounding, MovesUpToTheNextFullHour) {
    const std::pair<std::int64_t, std::int64_t> cases[] = {
        {36000000, 39600000},  // 10:00:00.000 exactly
        {36000001, 39600000}, {39599999, 39600000}, {0, 3600000}, {-1, 3600000},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(KLVMeasurement::timestampMillisRoundedUpToNextHour(in), out) << in;
}

TEST_F(LifeCycleTest, FirstOpenOfAReinstallAndTheNextStart) {
    KLVAnalyticsStore::setLoadTimestamp(36000.0);
    // The keychain keeps the count across the reinstallation.
    KLVMeasurement::setPreviousFirstOpenCount(platform::Object(std::int64_t{2}));
    service_ = RecordingMeasurement::install<LifeCycleMeasurement>();
    ASSERT_TRUE(service_ && service_->database());

    const auto events = stored();
    ASSERT_THAT(storedNames(), ElementsAre("_f", "_s", "_e"));
    const auto& f = events[0].second;
    EXPECT_EQ(f.at("_pfo"), KLVValue::initWithInt64(2));
    EXPECT_EQ(f.at("_uwa"), KLVValue::initWithInt64(0));
    EXPECT_FALSE(f.contains("_dac"));  // collection was on from the start
    EXPECT_EQ(events[2].second.at("_et"), KLVValue::initWithInt64(1));
    EXPECT_EQ(property("_fi")->value(), KLVValue::initWithInt64(1));
    const auto fot = property("_fot");
    ASSERT_EQ(fot.value().value(), KLVValue::initWithInt64(39600000));
    EXPECT_EQ(fot->lastSetTimestamp(), 36000.0);
    const auto persisted = KLVPersistedConfig::sharedInstance();
    EXPECT_EQ(persisted->firstOpenTimestampMilliseconds(), 36000000);
    EXPECT_TRUE(persisted->loadTimestampValue().isNull());
    EXPECT_EQ(platform::SKAdNetwork::registrationCount(), 1);

    // The next start: only a session, and a zero count is raised to 1.
    KLVMeasurement::setPreviousFirstOpenCount(platform::Object(std::int64_t{0}));
    onWorker([](KLVMeasurement& s) { s.reportFirstOpenOnWorkerQueue(); });
    EXPECT_THAT(storedNames(), ElementsAre("_f", "_s", "_e", "_s"));
    EXPECT_EQ(KLVMeasurement::previousFirstOpenCount(), platform::Object(std::int64_t{1}));
    EXPECT_EQ(platform::SKAdNetwork::registrationCount(), 1);
}

TEST_F(LifeCycleTest, FreshInstallWithCollectionEnabledAtFirstStartOptedOutOfAdNetworks) {
    allowDebugLines();
    testing::useMainBundle(dataRoot() / "bundle",
                           {{"NEXORY_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED", false}});
    // Stored by an earlier enable: collection was on when first started, nothing was deferred.
    KLVAnalyticsStore::setDeferredAnalyticsCollection(platform::Object(std::int64_t{0}));
    ASSERT_TRUE(service_ = RecordingMeasurement::install<LifeCycleMeasurement>());
    const auto events = stored();
    ASSERT_EQ(events.at(0).first, "_f");
    EXPECT_EQ(events[0].second.at("_pfo"), KLVValue::initWithInt64(0));
    EXPECT_EQ(events[0].second.at("_uwa"), KLVValue::initWithInt64(1));
    EXPECT_FALSE(events[0].second.contains("_dac"));
    EXPECT_TRUE(KLVAnalyticsStore::deferredAnalyticsCollection().isNull());
    EXPECT_EQ(property("_fi")->value(), KLVValue::initWithInt64(0));
    EXPECT_EQ(platform::SKAdNetwork::registrationCount(), 0);
    EXPECT_EQ(logCount(23217), 1u);
}

TEST_F(LifeCycleTest, FirstOpenHeldBackUntilCollectionIsEnabledIsMarkedDeferred) {
    RecordingMeasurement::Options options;
    options.enabled = false;
    ASSERT_TRUE(service_ = RecordingMeasurement::install<LifeCycleMeasurement>(options));
    EXPECT_FALSE(service_->didInitializeComponents());
    EXPECT_EQ(KLVAnalyticsStore::deferredAnalyticsCollection(), platform::Object(std::int64_t{1}));

    service_->setEnabled(true);
    service_->drain();
    const auto events = stored();
    ASSERT_EQ(events.at(0).first, "_f");
    EXPECT_EQ(events[0].second.at("_dac"), KLVValue::initWithInt64(1));
    EXPECT_TRUE(KLVAnalyticsStore::deferredAnalyticsCollection().isNull());
}

TEST_F(LifeCycleTest, AppAndOSUpdates) {
    testing::useMainBundle(dataRoot() / "bundle", {{"CFBundleShortVersionString", "2.0"}});
    ASSERT_TRUE(service_ = RecordingMeasurement::install<LifeCycleMeasurement>());
    const auto persisted = KLVPersistedConfig::sharedInstance();
    const auto appVersion = service_->identity()->appVersion();
    const std::string osVersion = persisted->osVersion().value_or("");
    ASSERT_TRUE(appVersion);
    using Version = std::optional<std::string>;
    // What, stored app version, stored OS version, events reported.
    const std::tuple<const char*, Version, Version, std::vector<std::string>> cases[] = {
        {"unchanged", appVersion, osVersion, {}},
        {"first start stores silently", std::nullopt, std::nullopt, {}},
        {"app update", std::string("0.9"), osVersion, {R"(auto _au {"_pv": "0.9"})"}},
        {"OS update", appVersion, std::string("1.0"), {R"(auto _ou {"_po": "1.0"})"}},
    };
    for (const auto& [what, storedApp, storedOS, expected] : cases) {
        persisted->setAppVersion(storedApp);
        persisted->setOSVersion(storedOS);
        internal_.clear();
        onWorker([](KLVMeasurement& s) {
            s.reportAppUpdateOnWorkerQueue();
            s.reportOSUpdateOnWorkerQueue();
        });
        EXPECT_EQ(internal_, expected) << what;
        EXPECT_EQ(persisted->appVersion(), appVersion) << what;
        EXPECT_EQ(persisted->osVersion(), osVersion) << what;
    }
}

TEST_F(LifeCycleTest, NonPersonalizedAdsProperty) {
    ASSERT_TRUE(service_ = RecordingMeasurement::install<LifeCycleMeasurement>());
    using platform::Object;
    struct Case {
        const char* what;
        std::optional<std::int64_t> stored;
        std::optional<Object> decision;
        std::optional<std::int64_t> expected;
        std::size_t removals;  // 23180 lines
    };
    const Case cases[] = {
        {"no decision, nothing stored", std::nullopt, std::nullopt, std::nullopt, 0},
        {"first decision stored", std::nullopt, Object(std::int64_t{1}), 1, 0},
        {"changed decision replaces", 1, Object(std::int64_t{0}), 0, 0},
        {"same decision kept", 1, Object(std::int64_t{1}), 1, 0},
        {"decision gone removes", 1, std::nullopt, std::nullopt, 1},
    };
    for (const auto& c : cases) {
        onWorker([&](KLVMeasurement& s) {
            EXPECT_TRUE(s.database()->deleteUserAttributeWithName("_npa"));
            if (c.stored) {
                EXPECT_TRUE(s.database()->updateUserAttribute(*KLVUserAttribute::initWithOrigin(
                    "auto", "_npa", KLVValue::initWithInt64(*c.stored), 5)));
            }
        });
        service_->npa = c.decision;
        clearLogLines();
        onWorker([](KLVMeasurement& s) { s.setPersonalizedAdsUserPropertyOnWorkerQueue(); });
        const auto npa = property("_npa");
        EXPECT_EQ(npa ? std::optional(npa->value().int64Value()) : std::nullopt, c.expected)
            << c.what;
        EXPECT_EQ(logCount(23180), c.removals) << c.what;
        // Only a change is written, at the time of writing.
        if (npa && c.stored == c.expected) {
            EXPECT_EQ(npa->lastSetTimestamp(), 5) << c.what;
        }
    }
}

TEST_F(LifeCycleTest, AdPersonalizationDecision) {
    using platform::Object;
    // What, the app's setting, the plist flag, the answer.
    const std::tuple<const char*, Object, std::optional<Object>, std::optional<std::int64_t>>
        cases[] = {
            {"no decision", Object(), std::nullopt, std::nullopt},
            {"app disallowed", Object(std::int64_t{0}), Object(true), 1},
            {"app allowed beats the plist", Object(std::int64_t{1}), Object(false), 0},
            {"plist disallows", Object(), Object(false), 1},
            {"plist of another type", Object(), Object("no"), 0},
        };
    ASSERT_TRUE(service_ = RecordingMeasurement::install<LifeCycleMeasurement>());
    int folder = 0;
    for (const auto& [what, allowPersonalizedAds, plistFlag, expected] : cases) {
        platform::Dictionary info;
        if (plistFlag)
            info["NEXORY_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS"] = *plistFlag;
        testing::useMainBundle(dataRoot() / ("bundle" + std::to_string(folder++)), info);
        KLVPersistedConfig::sharedInstance()->setAllowPersonalizedAds(allowPersonalizedAds);
        const auto answer = service_->KLVMeasurement::shouldDisableAdPersonalization();
        EXPECT_EQ(answer ? answer->numberAsInteger() : std::nullopt, expected) << what;
    }
}

}  // namespace
}  // namespace engine
