#include "engine/measurement/KLVMeasurement.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "engine/base/EngineTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/identity/KLVIdentifiers.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVLaunchConditions.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "engine/settings/SettingsTestSupport.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/UIApplication.h"

namespace engine {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class KLVMeasurementTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        holdExperimentFetch();
    }
};

TEST_F(KLVMeasurementTest, EmptyAppIDLogsOnceAndCreatesNothingForGood) {
    KLVMeasurement::initializeSharedInstanceWithAppID("", true, false, std::nullopt);
    KLVMeasurement::initializeSharedInstanceWithAppID("1:1:ios:1", true, false, std::nullopt);
    EXPECT_FALSE(KLVMeasurement::hasSharedInstance());
    EXPECT_EQ(KLVMeasurement::sharedInstance(), nullptr);
    EXPECT_EQ(KLVMeasurement::remoteConfig(), KLVRemoteConfig::defaultInstance());
    EXPECT_EQ(logCount(23170), 1u);
    EXPECT_THAT(logLine(23170), HasSubstr("Cannot start Measurement. App ID is empty."));
}

TEST_F(KLVMeasurementTest, CreatedOnceStartsItsComponentsOnEnable) {
    KLVMeasurement::initializeSharedInstanceWithAppID("1:1:ios:1", true, false,
                                                      std::vector<std::string>{"_cmp"});
    KLVMeasurement::initializeSharedInstanceWithAppID("1:2:ios:2", false, true, std::nullopt);
    const auto service = KLVMeasurement::sharedInstance();
    ASSERT_TRUE(service);
    service->scheduler()->workerQueue()->sync([] {});
    EXPECT_EQ(service->appID(), "1:1:ios:1");
    EXPECT_THAT(*service->safelistedEvents(), ElementsAre("_cmp"));
    EXPECT_TRUE(service->isEnabled());
    EXPECT_TRUE(service->didInitializeComponents());
    ASSERT_TRUE(service->database());
    EXPECT_NE(KLVMeasurement::remoteConfig(), KLVRemoteConfig::defaultInstance());
    EXPECT_THAT(logLine(23007), HasSubstr("Analytics v.11.1.0 started"));
    EXPECT_THAT(logLine(23008), HasSubstr("-TRWAnalyticsDebugEnabled"));
    EXPECT_TRUE(logCount(23012) == 1u);
}

TEST_F(KLVMeasurementTest, EnabledStateAtCreation) {
    struct Case {
        std::int64_t persistedState;
        bool enabled;
        bool deactivated;
        bool expected;
    };
    const Case cases[] = {
        {0, true, false, true},  {0, false, false, false}, {1, false, false, true},
        {2, true, false, false}, {1, true, true, false},   {7, true, false, true},
    };
    for (const auto& c : cases) {
        KLVPersistedConfig::sharedInstance()->setMeasurementEnabledState(c.persistedState);
        RecordingMeasurement::Options options;
        options.enabled = c.enabled;
        options.deactivated = c.deactivated;
        const auto service = std::make_shared<RecordingMeasurement>(options);
        EXPECT_EQ(service->wasEnabledDuringInitialization(), c.expected)
            << c.persistedState << " " << c.enabled << " " << c.deactivated;
    }
}

TEST_F(KLVMeasurementTest, EnablingADeactivatedServiceChangesNothing) {
    RecordingMeasurement::Options options;
    options.deactivated = true;
    const auto service = RecordingMeasurement::install(options);
    service->setEnabled(true);
    service->drain();
    EXPECT_FALSE(service->isEnabled());
    EXPECT_FALSE(service->didInitializeComponents());
    EXPECT_EQ(logCount(23206), 1u);
}

TEST_F(KLVMeasurementTest, DatabaseOpenedAtMostTwicePerStartAttempt) {
    RecordingMeasurement::Options options;
    options.failingDatabaseOpens = 3;
    const auto service = RecordingMeasurement::install(options);
    EXPECT_EQ(service->databaseOpens(), 2);
    EXPECT_FALSE(service->isEnabled());
    EXPECT_EQ(logCount(23011), 1u);
    // The next enable retries: one more failure, then a database.
    service->setEnabled(true);
    service->drain();
    EXPECT_EQ(service->databaseOpens(), 4);
    EXPECT_TRUE(service->isEnabled());
    EXPECT_TRUE(service->didInitializeComponents());
}

// One install per test: the process's service is made once.
void expectWipeAtStart(bool succeeds) {
    KLVAnalyticsStore::setResetRetryCount(2);
    RecordingMeasurement::Options options;
    options.wipeSucceeds = succeeds;
    const auto service = RecordingMeasurement::install(options);
    ASSERT_TRUE(service);
    EXPECT_EQ(service->wipes(), 1);
    EXPECT_EQ(KLVAnalyticsStore::resetRetryCount(), succeeds ? 0 : 3);
    EXPECT_TRUE(service->isEnabled());
}

TEST_F(KLVMeasurementTest, FailedWipeKeepsTheRetryCount) {
    expectWipeAtStart(false);
    EXPECT_EQ(logCount(23208), 1u);
}

TEST_F(KLVMeasurementTest, SuccessfulWipeClearsTheRetryCount) {
    expectWipeAtStart(true);
    EXPECT_EQ(logCount(23208), 0u);
    EXPECT_EQ(logCount(23171), 1u);
}

TEST_F(KLVMeasurementTest, WipeRules) {
    using S = std::optional<std::string>;
    struct Case {
        std::int64_t retries;
        S a, z, v, p, q;
        bool expected;
    };
    const S n;
    const Case cases[] = {
        {3, "A", "Z", n, "Z", n, true},    // 1. retrying
        {10, "A", "Z", n, "Z", n, false},  // 1. past the retries: rule 2
        {0, "A", "Z", n, "Y", n, true},    // 2. platform app ID changed
        {0, "A", "Z", n, "Z", "Q", false},
        {0, "A", "Z", n, n, "Q", true},    // 3.
        {0, "A", "Z", "V", n, "Q", true},  // 4. advertising app ID changed
        {0, "A", "Z", "Q", n, "Q", false},
        {0, "A", n, "V", "P", n, true},  // 5.
        {0, n, n, "V", "P", n, false},
        {0, "A", n, n, n, "Q", true},  // 6.
        {0, "Q", n, n, n, "Q", false},
        {0, "A", "", "", "", "", false},  // 7. empty counts as not set
    };
    for (const auto& c : cases) {
        KLVAnalyticsStore::setResetRetryCount(c.retries);
        EXPECT_EQ(KLVMeasurement::shouldWipeDataWithAppID(c.a, c.z, c.v, c.p, c.q), c.expected)
            << c.retries << " " << c.a.value_or("-") << c.z.value_or("-") << c.v.value_or("-")
            << c.p.value_or("-") << c.q.value_or("-");
    }
}

TEST_F(KLVMeasurementTest, StartUpConsentChoice) {
    const platform::Dictionary granted = {{"ad_storage", "granted"}};
    const platform::Dictionary denied = {{"ad_storage", "denied"}};
    const platform::Dictionary plist = {{"analytics_storage", "denied"}};
    struct Case {
        const char* what;
        std::optional<platform::Dictionary> tcf, thirdParty, start;
        bool plist;
        std::int64_t currentSource;
        std::int64_t expectedSource;
        std::optional<platform::Dictionary> expectedSettings;
    };
    const Case cases[] = {
        {"TCF wins without third party", granted, std::nullopt, denied, true, 100, 5, granted},
        {"third party beats TCF", granted, denied, std::nullopt, false, 100, 10, denied},
        {"TCF kept while TCF is current", granted, denied, std::nullopt, false, 5, 5, granted},
        {"Info.plist defaults", std::nullopt, std::nullopt, denied, true, 100, 20, plist},
        {"start options", std::nullopt, std::nullopt, denied, false, 100, 40, denied},
        {"first party cleared", std::nullopt, denied, denied, false, 30, 100, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::useMainBundle(
            dataRoot() / c.what,
            c.plist ? platform::Dictionary{{kKLVInfoPlistDefaultAllowAnalyticsStorage, false}}
                    : platform::Dictionary{});
        KLVAnalyticsStore::clearConsent();
        if (c.tcf) KLVAnalyticsStore::persistConsentSettings(*c.tcf, 5);
        if (c.thirdParty) KLVAnalyticsStore::persistConsentSettings(*c.thirdParty, 10);
        if (c.start) KLVAnalyticsStore::setConsentSettings1PStart(*c.start);
        KLVConsentSettingsUtil::setConsentSource(c.currentSource);
        const auto service =
            std::make_shared<RecordingMeasurement>(RecordingMeasurement::Options{});
        service->setProspectiveConsentSettings();
        EXPECT_EQ(KLVConsentSettingsUtil::consentSource(), c.expectedSource);
        EXPECT_EQ(KLVConsentSettingsUtil::consentSettings(), c.expectedSettings);
        if (c.expectedSettings && c.expectedSource != 100) {
            EXPECT_EQ(KLVAnalyticsStore::persistedConsentSource(), c.expectedSource);
        }
    }
}

TEST_F(KLVMeasurementTest, AppIDsPersistedByOrigin) {
    KLVIdentifiers::sharedInstance().setOrigin("vu");
    const auto service = RecordingMeasurement::install();
    ASSERT_TRUE(service->didInitializeComponents());
    EXPECT_EQ(service->persistedConfig()->appIDFromVintu(), "1:1001:ios:abc");
    EXPECT_EQ(service->persistedConfig()->appIDFromZKT(), std::nullopt);
}

// A construction that waits on another thread asking for the service must not deadlock.
class WaitingMeasurement : public RecordingMeasurement {
  public:
    explicit WaitingMeasurement(const Options& options) : RecordingMeasurement(options) {
        std::thread asker([this] {
            sawService_ = KLVMeasurement::hasSharedInstance();
            sawSettings_ = KLVMeasurement::remoteConfig() != nullptr;
        });
        asker.join();
    }
    bool sawService_ = true;
    bool sawSettings_ = false;
};

TEST_F(KLVMeasurementTest, ConstructionWaitingOnAThreadThatAsksForTheServiceFinishes) {
    const auto service = RecordingMeasurement::install<WaitingMeasurement>();
    ASSERT_TRUE(service);
    EXPECT_FALSE(service->sawService_);
    EXPECT_TRUE(service->sawSettings_);
    EXPECT_TRUE(KLVMeasurement::hasSharedInstance());
}

TEST_F(KLVMeasurementTest, CallChecksAndNeutralAnswers) {
    const auto service = RecordingMeasurement::install();
    service->setUserAttribute(std::nullopt);
    service->removeUserAttribute(std::nullopt);
    service->userPropertiesIncludingInternal(true, nullptr);
    service->maxUserPropertiesForOrigin("", [](std::int64_t) {});
    service->maxUserPropertiesForOrigin("app", nullptr);
    service->userAttributeWithName("x", nullptr);
    for (const std::int64_t code : {23079, 23074, 23090, 23093, 23094, 23088}) {
        EXPECT_EQ(logCount(code), 1u) << code;
    }
    std::optional<platform::Error> error;
    service->sessionIDWithCompletion(
        [&](std::int64_t, std::optional<platform::Error> e) { error = std::move(e); });
    EXPECT_FALSE(service->resetAnalyticsDataWithAppInstanceID(""));
    EXPECT_EQ(logCount(23167), 1u);
    EXPECT_TRUE(service->resetAnalyticsDataWithAppInstanceID("ABC"));
    service->drain();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 13);
    // No session has started since the install: the session counts as expired.
    EXPECT_EQ(error->description, "Session expired");
    // Called from the worker queue, an opened URL is refused (a silent line: the health record
    // shows the first since it was last read).
    healthRecord();
    service->scheduler()->workerQueue()->sync(
        [&] { service->handleNonFirstOpenEventURL("https://example.com/a", 1); });
    EXPECT_THAT(healthRecord(),
                HasSubstr("Do not call handleNonFirstOpenOpenURL on the measurement worker queue"));
}

TEST_F(KLVMeasurementTest, DeepLinkFromUserActivity) {
    const platform::NSUserActivity browsing{platform::NSUserActivityTypeBrowsingWeb,
                                            "https://example.com/p?q=1"};
    const platform::NSUserActivity other{"com.example.reading", "https://example.com"};
    EXPECT_EQ(KLVMeasurement::deepLinkFromUserActivity(&browsing), "https://example.com/p?q=1");
    EXPECT_EQ(KLVMeasurement::deepLinkFromUserActivity(&other), std::nullopt);
    EXPECT_EQ(KLVMeasurement::deepLinkFromUserActivity(nullptr), std::nullopt);
    EXPECT_EQ(logCount(23006), 1u);
}

TEST_F(KLVMeasurementTest, LaunchConditions) {
    struct Case {
        std::optional<std::string> prewarm;
        bool expected;
    };
    for (const Case& c : {Case{std::nullopt, false}, Case{"1", true}, Case{"YES", true},
                          Case{"0", false}, Case{"", false}}) {
        platform::ProcessInfo::Environment environment;
        if (c.prewarm) environment["ActivePrewarm"] = *c.prewarm;
        platform::ProcessInfo::processInfo().setEnvironment(environment);
        EXPECT_EQ(KLVIsActivePrewarm(), c.expected) << c.prewarm.value_or("unset");
    }
    testing::useMainBundle(dataRoot() / "plain", {});
    EXPECT_FALSE(KLVHasSceneManifest());
    testing::useMainBundle(dataRoot() / "scenes",
                           {{"UIApplicationSceneManifest", platform::Dictionary{}}});
    EXPECT_TRUE(KLVHasSceneManifest());
    // Inactive until the application first becomes active.
    EXPECT_FALSE(KLVIsAppActive());
    platform::NotificationCenter::defaultCenter().postNotificationName(
        platform::UIApplicationDidBecomeActiveNotification);
    EXPECT_TRUE(KLVIsAppActive());
}

}  // namespace
}  // namespace engine
