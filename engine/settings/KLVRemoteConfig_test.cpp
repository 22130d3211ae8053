#include "engine/settings/KLVRemoteConfig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include <map>
#include <memory>

#include "engine/base/EngineTestSupport.h"
#include "engine/environment/KLVDataCollectionOrigin.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;
using ::testing::ElementsAre;
using testing::FakeMeasurementService;
using ::testing::HasSubstr;
using testing::makeConfig;
using testing::makeEventConfig;

constexpr char kConfigAppID[] = "1:123:ios:abc";

// --- Stand-ins for the experiments component and the rule runtime -----------------------------

class FakeClient : public KLVEClient {
  public:
    bool activateLatestSnapshot(platform::Error* error) override {
        ++activations;
        if (duringActivation) duringActivation();
        if (!activationError) return true;
        if (error) *error = *activationError;
        return false;
    }
    Object objectForKeyedSubscript(std::string_view flagName) const override {
        const auto it = flags.find(flagName);
        return it == flags.end() ? Object() : it->second;
    }
    void setDelegate(std::weak_ptr<KLVEClientDelegate> newDelegate) override {
        delegate = std::move(newDelegate);
    }

    int activations = 0;
    std::function<void()> duringActivation;
    std::optional<platform::Error> activationError;
    Dictionary flags;
    std::weak_ptr<KLVEClientDelegate> delegate;
};

class FakeManager : public KLVEManager {
  public:
    std::shared_ptr<KLVEClient> registerSDKProperty(const KLVESDKProperty& property,
                                                    const Dictionary&) override {
        registered.emplace(property);
        return client;
    }
    void reset() override {}
    platform::Array experimentIDs() const override { return {101, 202}; }

    std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();
    std::optional<KLVESDKProperty> registered;
};

class FakeEditing : public KLVPEventEditing {
  public:
    void setModuleCreator(KLVPModuleCreator creator, const std::string& name) override {
        names.push_back(name);
        creators.emplace(name, std::move(creator));
    }
    bool loadProgram(const KLVPBProgram&, platform::Error* error) override {
        ++loads;
        if (onLoad) onLoad();
        if (!failure) return true;
        if (error) *error = *failure;
        return false;
    }
    bool handleEvent(const KLVPEvent&, platform::Error*) override { return true; }
    bool hasEdits() const override { return false; }
    bool hasCreatedEvents() const override { return false; }
    const KLVPEventContext& eventContext() const override { return context; }

    struct Context : KLVPEventContext {
        const KLVPEvent& inputEvent() const override { return event; }
        const KLVPEvent& outputEvent() const override { return event; }
        const std::vector<KLVPEvent>& eventsToLog() const override { return events; }
        KLVPEvent event;
        std::vector<KLVPEvent> events;
    } context;
    std::vector<std::string> names;
    std::map<std::string, KLVPModuleCreator> creators;
    std::optional<platform::Error> failure;
    std::function<void()> onLoad;
    int loads = 0;
};

KLVPBMeasurementConfig withPrograms(KLVPBMeasurementConfig config, std::size_t count) {
    NANOSetArray(config, KLVPBMeasurementConfig::dynamic_event_editing,
                 std::vector<KLVPBProgram>(count));
    return config;
}

KLVPBMeasurementConfig withDataControls(KLVPBMeasurementConfig config,
                                        const std::vector<std::string>& names) {
    std::vector<KLVPBDataControl> controls;
    for (const auto& name : names) {
        KLVPBDataControl control;
        NANOSetString(control, KLVPBDataControl::name, name);
        controls.push_back(control);
    }
    controls.emplace_back();  // one without a name, skipped
    NANOSetArray(config, KLVPBMeasurementConfig::data_controls, controls);
    return config;
}

KLVPBConsentDefaultEntry defaultEntry(std::int32_t type, std::int32_t status) {
    KLVPBConsentDefaultEntry entry;
    NANOSetInt32(entry, KLVPBConsentDefaultEntry::type, type);
    NANOSetInt32(entry, KLVPBConsentDefaultEntry::status, status);
    return entry;
}

KLVPBMeasurementConfig withConsentConfig(KLVPBMeasurementConfig config, bool dmaRegion) {
    KLVPBConsentConfig consent;
    NANOSetArray(consent, KLVPBConsentConfig::defaults,
                 std::vector{defaultEntry(1, 1), defaultEntry(3, 2), defaultEntry(9, 1),
                             defaultEntry(2, 7)});
    KLVPBConsentDelegationEntry delegation;
    NANOSetInt32(delegation, KLVPBConsentDelegationEntry::type, 3);
    NANOSetInt32(delegation, KLVPBConsentDelegationEntry::delegate_type, 1);
    NANOSetArray(consent, KLVPBConsentConfig::delegations, std::vector{delegation});
    KLVPBCorePlatformServiceEntry service;
    NANOSetString(service, KLVPBCorePlatformServiceEntry::name, "search");
    NANOSetArray(consent, KLVPBConsentConfig::core_platform_services, std::vector{service});
    if (dmaRegion) NANOSetBool(consent, KLVPBConsentConfig::dma_region, true);
    NANOSetArray(consent, KLVPBConsentConfig::enforced_defaults, std::vector{defaultEntry(4, 2)});
    NANOSetMessage(config, KLVPBMeasurementConfig::consent_config, consent);
    return config;
}

class KLVRemoteConfigTest : public testing::SettingsTest {
  protected:
    std::shared_ptr<KLVRemoteConfig> makeSettings(std::shared_ptr<KLVEManager> manager = nullptr) {
        return KLVRemoteConfig::initWithAppID(kConfigAppID, storage_, std::move(manager));
    }

    void useHosts(const Dictionary& hosts) { testing::useMainBundle(dataRoot() / "bundle", hosts); }

    testkit::ScopedManualClock clock_;
};

// --- Creation, update and storage -----------------------------------------------------------

TEST_F(KLVRemoteConfigTest, CreationNeedsAppIDAndDatabase) {
    EXPECT_EQ(KLVRemoteConfig::initWithAppID("", storage_, nullptr), nullptr);
    EXPECT_EQ(KLVRemoteConfig::initWithAppID(kConfigAppID, nullptr, nullptr), nullptr);
    EXPECT_THAT(logLines(), ElementsAre(HasSubstr("[I-ACS029000] Cannot init remote configuration "
                                                  "without valid Nexory App ID"),
                                        HasSubstr("[I-ACS029001] Cannot init remote configuration "
                                                  "without valid database")));
    const auto settings = makeSettings();
    ASSERT_TRUE(settings);
    EXPECT_FALSE(settings->isDefaultInstance());
    EXPECT_EQ(settings->version(), -1);
}

TEST_F(KLVRemoteConfigTest, AcceptedConfigurationIsStoredAndReloaded) {
    const auto settings = makeSettings();
    ASSERT_TRUE(settings->updateMeasurementConfig(
        makeConfig(kConfigAppID, {{"measurement.upload.retry_count", "9"}}, 42)));
    EXPECT_EQ(settings->version(), 42);
    EXPECT_EQ(settings->uploadingRetryCount(), 9);
    EXPECT_DOUBLE_EQ(settings->lastRemoteConfigUpdateTimestamp(), clock_->now());

    // A new instance (the next start) begins with the stored configuration.
    const auto restarted = makeSettings();
    EXPECT_EQ(restarted->version(), 42);
    EXPECT_EQ(restarted->uploadingRetryCount(), 9);
}

TEST_F(KLVRemoteConfigTest, ForeignAppIDIsRefusedAndNothingStored) {
    const auto settings = makeSettings();
    EXPECT_FALSE(settings->updateMeasurementConfig(
        makeConfig("1:999:ios:other", {{"measurement.upload.retry_count", "9"}}, 7)));
    EXPECT_FALSE(settings->updateMeasurementConfig(std::nullopt));
    EXPECT_EQ(settings->version(), -1);
    EXPECT_EQ(settings->uploadingRetryCount(), 6);
    EXPECT_EQ(storage_->queryMeasurementConfigWithError(nullptr), std::nullopt);
    EXPECT_DOUBLE_EQ(settings->lastRemoteConfigUpdateTimestamp(), 0);
}

TEST_F(KLVRemoteConfigTest, AdvertisingOriginAlsoNeedsTheVintuAppID) {
    KLVDataCollectionOrigin::setOrigin("vu");
    const auto settings = makeSettings();
    auto message = makeConfig(kConfigAppID, {{"measurement.upload.retry_count", "9"}});
    EXPECT_FALSE(settings->updateMeasurementConfig(message));
    NANOSetString(message, KLVPBMeasurementConfig::vintu_app_id, kConfigAppID);
    EXPECT_TRUE(settings->updateMeasurementConfig(message));
    EXPECT_EQ(settings->uploadingRetryCount(), 9);
}

TEST_F(KLVRemoteConfigTest, ConfigurationWithoutSettingsIsNotParsed) {
    const auto settings = makeSettings();
    ASSERT_TRUE(settings->updateMeasurementConfig(withDataControls(
        makeConfig(kConfigAppID, {{"measurement.upload.retry_count", "9"}}), {"a"})));
    KLVPBMeasurementConfig empty;
    NANOSetString(empty, KLVPBMeasurementConfig::app_id, kConfigAppID);
    NANOSetInt64(empty, KLVPBMeasurementConfig::version, 8);
    ASSERT_TRUE(settings->updateMeasurementConfig(withDataControls(empty, {"b"})));
    // In force and stored, but its (missing) contents change no cache.
    EXPECT_EQ(settings->version(), 8);
    EXPECT_EQ(settings->uploadingRetryCount(), 9);
    EXPECT_THAT(settings->dataControls(), ElementsAre("a"));
}

TEST_F(KLVRemoteConfigTest, ExpiryCountsEitherWayOfTheClock) {
    const auto settings = makeSettings();
    EXPECT_TRUE(settings->isExpired());  // nothing stored yet
    ASSERT_TRUE(settings->updateMeasurementConfig(
        makeConfig(kConfigAppID, {{"measurement.config.cache_time", "600000"}})));
    EXPECT_FALSE(settings->isExpired());
    clock_.advance(599);
    EXPECT_FALSE(settings->isExpired());
    clock_.advance(1);
    EXPECT_TRUE(settings->isExpired());
    clock_->setNow(clock_->now() - 1200);  // set back: 600 s before the update
    EXPECT_TRUE(settings->isExpired());
}

// --- Per-event configuration ----------------------------------------------------------------

TEST_F(KLVRemoteConfigTest, EventConfigurationsByInternalName) {
    auto message = makeConfig(kConfigAppID, {{"measurement.upload.blacklist_public", "1"}});
    NANOSetArray(message, KLVPBMeasurementConfig::event_config,
                 std::vector{makeEventConfig("session_start", true, true, 5),
                             makeEventConfig("purchase", false),
                             makeEventConfig("_internal", std::nullopt, std::nullopt, 3),
                             makeEventConfig("", true)});
    const auto settings = makeSettings();
    ASSERT_TRUE(settings->updateMeasurementConfig(message));

    EXPECT_TRUE(settings->eventConfigWithName("_s"));
    EXPECT_FALSE(settings->eventConfigWithName("session_start"));

    const struct {
        const char* name;
        bool blocklisted;
        bool customConversion;
        bool hasRate;
    } cases[] = {
        {"_s", true, true, true},             // its own configuration blocks it
        {"purchase", false, false, false},    // its own configuration overrides the public switch
        {"_internal", false, false, true},    // own configuration without the flag
        {"add_to_cart", true, false, false},  // no configuration: the public switch
        {"_other", false, false, false},      // no configuration: the internal switch
    };
    for (const auto& c : cases) {
        EXPECT_EQ(settings->isEventBlocklisted(c.name), c.blocklisted) << c.name;
        EXPECT_EQ(settings->isEventCustomConversion(c.name), c.customConversion) << c.name;
        EXPECT_EQ(settings->eventHasSamplingRate(c.name), c.hasRate) << c.name;
    }
}

TEST_F(KLVRemoteConfigTest, SamplingRates) {
    // Rates outside 1...65535 mean no sampling.
    auto message = makeConfig(kConfigAppID);
    NANOSetArray(message, KLVPBMeasurementConfig::event_config,
                 std::vector{makeEventConfig("a", std::nullopt, std::nullopt, 0),
                             makeEventConfig("b", std::nullopt, std::nullopt, 65535),
                             makeEventConfig("c", std::nullopt, std::nullopt, 65536)});
    const auto settings = makeSettings();
    ASSERT_TRUE(settings->updateMeasurementConfig(message));
    EXPECT_EQ(settings->samplingRateForEvent("a"), 1);
    EXPECT_EQ(settings->samplingRateForEvent("b"), 65535);
    EXPECT_EQ(settings->samplingRateForEvent("c"), 1);
}

// --- Consent, data controls and event editing ----------------------------------------------

TEST_F(KLVRemoteConfigTest, ConsentConfiguration) {
    const auto settings = makeSettings();
    EXPECT_TRUE(settings->isDMARegion());
    ASSERT_TRUE(
        settings->updateMeasurementConfig(withConsentConfig(makeConfig(kConfigAppID), false)));
    EXPECT_EQ(settings->consentDefaults(),
              (Dictionary{{"ad_storage", "granted"}, {"ad_user_data", "denied"}}));
    EXPECT_EQ(settings->consentDelegations(), (Dictionary{{"ad_user_data", "ad_storage"}}));
    EXPECT_EQ(settings->regionalDefaults(), (Dictionary{{"ad_personalization", "denied"}}));
    EXPECT_EQ(settings->corePlatformServices(), std::set<std::string>{"search"});
    EXPECT_FALSE(settings->isDMARegion());

    // Without a consent configuration the earlier one stays.
    ASSERT_TRUE(settings->updateMeasurementConfig(makeConfig(kConfigAppID)));
    EXPECT_EQ(settings->consentDelegations(), (Dictionary{{"ad_user_data", "ad_storage"}}));
}

TEST_F(KLVRemoteConfigTest, EventEditingProgramLoadsWithThreeModules) {
    std::vector<std::shared_ptr<FakeEditing>> made;
    KLVPEventEditing::setFactory([&made] {
        made.push_back(std::make_shared<FakeEditing>());
        return made.back();
    });
    useHosts({{"CFBundleIdentifier", "com.example.tessaline"}});
    const auto settings = makeSettings();
    ASSERT_TRUE(settings->updateMeasurementConfig(
        withPrograms(makeConfig(kConfigAppID, {{"measurement.upload.interval", "90000"}}), 2)));
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(settings->eventEditing(), made[0]);
    EXPECT_EQ(made[0]->loads, 1);
    EXPECT_THAT(made[0]->names,
                ElementsAre("internal.remoteConfig", "internal.appMetadata", "internal.logger"));

    const auto store = std::get<KLVPKeyValueStore>(made[0]->creators["internal.remoteConfig"]());
    EXPECT_EQ(store.getValueBlock("measurement.upload.interval"), "90000");
    EXPECT_EQ(settings->uploadingInterval(), 90);
    EXPECT_EQ(store.getValueBlock("measurement.upload.interval"), "90");

    EXPECT_EQ(std::get<KLVPObjectProvider>(made[0]->creators["internal.appMetadata"]()).block(),
              (Dictionary{{"platform", "ios"},
                          {"package_name", "com.example.tessaline"},
                          {"zkt_version", 110100}}));

    // A configuration without programs keeps the loaded one.
    ASSERT_TRUE(settings->updateMeasurementConfig(makeConfig(kConfigAppID)));
    EXPECT_EQ(settings->eventEditing(), made[0]);
}

// Programs are compiled outside the update lock: a runtime that calls back into the settings while
// loading (here a reset) does not deadlock, and the configuration still goes in force after it.
TEST_F(KLVRemoteConfigTest, ProgramLoadingMayCallBackIntoTheSettings) {
    std::shared_ptr<KLVRemoteConfig> settings;
    KLVPEventEditing::setFactory([&settings] {
        auto editing = std::make_shared<FakeEditing>();
        editing->onLoad = [&settings] { settings->reset(); };
        return editing;
    });
    settings = makeSettings();
    ASSERT_TRUE(settings->updateMeasurementConfig(
        withPrograms(makeConfig(kConfigAppID, {{"measurement.upload.retry_count", "9"}}), 1)));
    EXPECT_TRUE(settings->eventEditing());
    EXPECT_EQ(settings->uploadingRetryCount(), 9);
}

TEST_F(KLVRemoteConfigTest, FailedProgramEndsTheParseAfterSettingsAndEvents) {
    bool fail = false;
    KLVPEventEditing::setFactory([&fail] {
        auto editing = std::make_shared<FakeEditing>();
        if (fail) editing->failure = platform::Error{"editing", 5, "control value", {}};
        return editing;
    });
    const auto settings = makeSettings();
    ASSERT_TRUE(settings->updateMeasurementConfig(withConsentConfig(
        withDataControls(withPrograms(makeConfig(kConfigAppID), 1), {"kept"}), false)));
    ASSERT_TRUE(settings->eventEditing());

    fail = true;
    auto message = withDataControls(
        withPrograms(makeConfig(kConfigAppID, {{"measurement.upload.retry_count", "9"}}), 1),
        {"new"});
    NANOSetArray(message, KLVPBMeasurementConfig::event_config,
                 std::vector{makeEventConfig("purchase", true)});
    ASSERT_TRUE(settings->updateMeasurementConfig(message));
    EXPECT_EQ(settings->eventEditing(), nullptr);
    EXPECT_EQ(settings->uploadingRetryCount(), 9);
    EXPECT_TRUE(settings->isEventBlocklisted("purchase"));
    EXPECT_THAT(settings->dataControls(), ElementsAre("kept"));
    EXPECT_FALSE(settings->isDMARegion());
    EXPECT_THAT(
        logLines(),
        ::testing::Contains(HasSubstr("[I-ACS029026] Failed to initiate event editing instance")));
}

// --- Experiments ----------------------------------------------------------------------------

TEST_F(KLVRemoteConfigTest, RegistersWithTheExperimentsManager) {
    auto manager = std::make_shared<FakeManager>();
    manager->client->activationError = platform::Error{"exp", 1, "stale", {}};
    const auto settings = makeSettings(manager);
    ASSERT_TRUE(manager->registered);
    EXPECT_EQ(manager->registered->name(), "brackenfold");
    EXPECT_EQ(manager->registered->version(), 110100);
    EXPECT_EQ(manager->client->delegate.lock(), settings);
    EXPECT_EQ(manager->client->activations, 1);
    EXPECT_EQ(settings->experimentIDs(), (platform::Array{101, 202}));
    EXPECT_FALSE(settings->shouldFetchExperimentsForClient(*manager->client));
}

TEST_F(KLVRemoteConfigTest, ExperimentFlagsOverrideTheirSwitches) {
    auto manager = std::make_shared<FakeManager>();
    manager->client->flags = {{"regional_defaults_enabled", false}};
    const auto settings = makeSettings(manager);
    ASSERT_TRUE(settings->updateMeasurementConfig(
        makeConfig(kConfigAppID, {{"measurement.regional_defaults_enabled", "1"},
                                  {"measurement.session_stitching_token_enabled", "0"}})));
    EXPECT_FALSE(settings->regionalDefaultsEnabled());
    EXPECT_FALSE(settings->sessionStitchingTokenFeatureEnabled());

    // The stitching flag is read live; the regional flag only at a snapshot activation.
    manager->client->flags = {{"regional_defaults_enabled", "YES"},
                              {"session_stitching_token_feature_enabled", 1}};
    EXPECT_TRUE(settings->sessionStitchingTokenFeatureEnabled());
    EXPECT_FALSE(settings->regionalDefaultsEnabled());
    EXPECT_FALSE(settings->activateNewSnapshot());  // nothing new yet

    settings->clientDidReceiveNewSnapshot(*manager->client);
    EXPECT_TRUE(settings->activateNewSnapshot());
    EXPECT_TRUE(settings->regionalDefaultsEnabled());
    EXPECT_FALSE(settings->activateNewSnapshot());

    // A snapshot announced while another activates is activated by the next call, not lost.
    settings->clientDidReceiveNewSnapshot(*manager->client);
    manager->client->duringActivation = [&] {
        settings->clientDidReceiveNewSnapshot(*manager->client);
        manager->client->duringActivation = nullptr;
    };
    EXPECT_TRUE(settings->activateNewSnapshot());
    EXPECT_TRUE(settings->activateNewSnapshot());
    EXPECT_FALSE(settings->activateNewSnapshot());

    // A flag that disappears gives the setting back.
    manager->client->flags.clear();
    settings->updateCachedExperimentFlags();
    EXPECT_TRUE(settings->regionalDefaultsEnabled());
}

// Before the service, and while its start has made no settings yet, the defaults answer, without
// the warning sharedInstance() gives before creation.
TEST_F(KLVRemoteConfigTest, CurrentIsTheDefaultsUntilTheServiceHasSettings) {
    EXPECT_EQ(KLVRemoteConfig::current(), KLVRemoteConfig::defaultInstance());
    FakeMeasurementService::install(std::make_shared<FakeMeasurementService>(nullptr));
    EXPECT_EQ(KLVRemoteConfig::current(), KLVRemoteConfig::defaultInstance());
    EXPECT_THAT(logLines(), ::testing::IsEmpty());
}

// Experiments are fetched while the service is enabled; current() is the service's settings.
TEST_F(KLVRemoteConfigTest, ExperimentsAreFetchedWhileTheServiceIsEnabled) {
    auto manager = std::make_shared<FakeManager>();
    const auto settings = makeSettings(manager);
    FakeMeasurementService::install(std::make_shared<FakeMeasurementService>(settings));
    EXPECT_TRUE(settings->shouldFetchExperimentsForClient(*manager->client));
    EXPECT_EQ(KLVRemoteConfig::current(), settings);
}

// --- URLs -------------------------------------------------------------------------------------

const Dictionary kHosts{{kKLVConfigHostInfoPlistKey, "config.measurement.test"},
                        {kKLVUploadHostInfoPlistKey, "upload.measurement.test"},
                        {kKLVAlternativeUploadHostInfoPlistKey, "alt.measurement.test:8443"}};

TEST_F(KLVRemoteConfigTest, ConfigurationURL) {
    useHosts(kHosts);
    const auto settings = makeSettings();
    EXPECT_EQ(settings->remoteConfigURLWithPlatform("ios", 110100, 3),
              "https://config.measurement.test/config/app/1:123:ios:abc"
              "?platform=ios&runtime_version=3&zkt_version=110100");
    EXPECT_EQ(settings->remoteConfigURLWithPlatform("", 110100, 3), std::nullopt);
}

TEST_F(KLVRemoteConfigTest, NoURLWithoutAValidHost) {
    const Dictionary cases[] = {
        {},
        {{kKLVConfigHostInfoPlistKey, "https://x.test"}, {kKLVUploadHostInfoPlistKey, "x.test/a"}},
        {{kKLVConfigHostInfoPlistKey, "x.test:0"}, {kKLVUploadHostInfoPlistKey, "x .test"}},
    };
    const auto settings = makeSettings();
    for (const auto& hosts : cases) {
        useHosts(hosts);
        EXPECT_EQ(settings->remoteConfigURLWithPlatform("ios", 1, 1), std::nullopt);
        EXPECT_EQ(settings->uploadURL(), std::nullopt);
    }
}

TEST_F(KLVRemoteConfigTest, UploadURLIgnoresASubdomainThatWouldChangeTheServer) {
    useHosts(kHosts);
    const auto settings = makeSettings();
    EXPECT_EQ(settings->uploadURL(), "https://upload.measurement.test/a");
    for (const char* subdomain : {"eu", "evil.test/x#", "user@evil.test#"}) {
        auto message = makeConfig(kConfigAppID);
        NANOSetString(message, KLVPBMeasurementConfig::upload_subdomain, subdomain);
        ASSERT_TRUE(settings->updateMeasurementConfig(message));
        EXPECT_EQ(settings->uploadSubdomain(), subdomain);
        EXPECT_EQ(settings->uploadURL(), std::string(subdomain) == "eu"
                                             ? "https://eu.upload.measurement.test/a"
                                             : "https://upload.measurement.test/a")
            << subdomain;
    }
}

TEST_F(KLVRemoteConfigTest, UploadURLUsesTheAlternativeHostWhileTrackingIsAuthorised) {
    useHosts(kHosts);
    KLVDefaultIdentitySupport::setPlatformIdentitySupport(
        std::make_shared<testing::FakeProvider>());
    EXPECT_EQ(makeSettings()->uploadURL(), "https://alt.measurement.test:8443/a");
}

}  // namespace
}  // namespace engine
