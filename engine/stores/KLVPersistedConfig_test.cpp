#include "engine/stores/KLVPersistedConfig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include "engine/stores/KLVFileLocations.h"
#include "engine/stores/KLVUserDefaults.h"
#include "engine/base/EngineTestSupport.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "testkit/ManualClock.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using platform::Object;

class KLVPersistedConfigTest : public testkit::TempHomeTest {
  protected:
    static std::shared_ptr<KLVPersistedConfig> open() {
        return KLVPersistedConfig::initWithSuiteName(kKLVPersistedConfigName);
    }
    static fs::path filePath() { return KLVMeasurementPlistPath(kKLVPersistedConfigName); }
    static Object onDisk() { return platform::readPropertyListFile(filePath()).value_or(Object()); }

    testkit::ScopedManualClock clock_;
    LogCapture log_;
};

// Writes one typed value and checks it comes back, with its type, after the file is reopened.
struct RoundTrip {
    const char* key;
    std::function<void(KLVPersistedConfig&)> write;
    std::function<void(KLVPersistedConfig&)> check;
};

TEST_F(KLVPersistedConfigTest, EveryKeyReadsBackWithItsTypeAfterAReload) {
    const platform::Dictionary parameters = {{"currency", "EUR"}, {"n", 2}};
    const RoundTrip cases[] = {
#define KLV_DOUBLE_CASE(getter, setter, key)               \
    {key, [](KLVPersistedConfig& c) { c.setter(1234.5); }, \
     [](KLVPersistedConfig& c) { EXPECT_EQ(c.getter(), 1234.5); }},
#define KLV_INT64_CASE(getter, setter, key)                        \
    {key, [](KLVPersistedConfig& c) { c.setter(-9'000'000'000); }, \
     [](KLVPersistedConfig& c) { EXPECT_EQ(c.getter(), -9'000'000'000); }},
#define KLV_STRING_CASE(getter, setter, key)                               \
    {key, [](KLVPersistedConfig& c) { c.setter(std::string(key) + "!"); }, \
     [](KLVPersistedConfig& c) { EXPECT_EQ(c.getter(), std::string(key) + "!"); }},
#define KLV_BOOL_CASE(getter, setter, key)               \
    {key, [](KLVPersistedConfig& c) { c.setter(true); }, \
     [](KLVPersistedConfig& c) { EXPECT_TRUE(c.getter()); }},
#define KLV_OBJECT_CASE(getter, setter, key)                     \
    {key, [](KLVPersistedConfig& c) { c.setter(Object(2.25)); }, \
     [](KLVPersistedConfig& c) { EXPECT_EQ(c.getter(), Object(2.25)); }},
        KLV_PERSISTED_DOUBLES(KLV_DOUBLE_CASE) KLV_PERSISTED_INT64S(KLV_INT64_CASE)
            KLV_PERSISTED_STRINGS(KLV_STRING_CASE) KLV_PERSISTED_BOOLS(
                KLV_BOOL_CASE) KLV_PERSISTED_OBJECTS(KLV_OBJECT_CASE)
#undef KLV_DOUBLE_CASE
#undef KLV_INT64_CASE
#undef KLV_STRING_CASE
#undef KLV_BOOL_CASE
#undef KLV_OBJECT_CASE
                {"is_search_ad_campaign",
                 [](KLVPersistedConfig& c) { c.setSearchAdCampaignValue(true); },
                 [](KLVPersistedConfig& c) { EXPECT_EQ(c.searchAdCampaignValue(), Object(true)); }},
        {"previous_first_open_count", [](KLVPersistedConfig& c) { c.setPreviousFirstOpenCount(3); },
         [](KLVPersistedConfig& c) { EXPECT_EQ(c.previousFirstOpenCount(), Object(3)); }},
        {"last_modified_since_key",
         [](KLVPersistedConfig& c) {
             c.setConfigServerLastModifiedString("Tue, 14 Nov 2023 22:13:20 GMT");
         },
         [](KLVPersistedConfig& c) {
             EXPECT_EQ(c.configServerLastModifiedString(), Object("Tue, 14 Nov 2023 22:13:20 GMT"));
         }},
        {"ad_campaign_info_buffer",
         [](KLVPersistedConfig& c) {
             c.setAdCampaignInfoBuffer(platform::Data{8, 1});
         },
         [](KLVPersistedConfig& c) {
             EXPECT_EQ(c.adCampaignInfoBuffer(), Object(platform::Data{8, 1}));
         }},
        {"default_event_parameters",
         [&](KLVPersistedConfig& c) { c.setDefaultEventParameters(parameters); },
         [&](KLVPersistedConfig& c) { EXPECT_EQ(c.defaultEventParameters(), parameters); }},
    };
    {
        auto config = open();
        for (const auto& c : cases)
            c.write(*config);
        config->synchronizeToDisk();
    }
    const Object file = onDisk();
    auto reloaded = open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_FALSE(file[KLVPersistedConfigKey(c.key)].isNull());
        c.check(*reloaded);
    }
    EXPECT_EQ(file.count(), std::size(cases));
}

TEST_F(KLVPersistedConfigTest, MissingOrWronglyTypedValuesReadNeutral) {
    auto config = open();
    config->setString("12", KLVPersistedConfigKey("session_number"));
    config->setInt64(5, KLVPersistedConfigKey("app_instance_id"));
    config->setDouble(std::nan(""), KLVPersistedConfigKey("search_ad_number_of_retries"));
    EXPECT_EQ(config->sessionNumber(), 0);
    EXPECT_EQ(config->appInstanceID(), std::nullopt);
    EXPECT_EQ(config->searchAdRetryCount(), 0);
    EXPECT_EQ(config->lastBackoffTimestamp(), 0.0);
    EXPECT_FALSE(config->unmatchedFirstOpenWithoutIDFA());
    EXPECT_TRUE(config->loadTimestampValue().isNull());
    EXPECT_EQ(config->defaultEventParameters(), std::nullopt);
    EXPECT_EQ(config->int64ForKey(""), 0);
}

TEST_F(KLVPersistedConfigTest, SetterRules) {
    auto config = open();
    config->setSearchAdCampaignValue("yes");
    EXPECT_TRUE(config->searchAdCampaignValue().isNull());

    config->setAppInstanceID("ABC");
    config->setAppInstanceID(std::nullopt);
    EXPECT_EQ(config->appInstanceID(), std::nullopt);

    config->setInt64(5, KLVPersistedConfigKey("set_last_advertising_id_reset"));
    EXPECT_TRUE(config->shouldSetLastAdvertisingIDResetUserProperty());

    config->setDefaultEventParameters(platform::Dictionary{{"bad", Object::array({nullptr})}});
    EXPECT_EQ(config->defaultEventParameters(), std::nullopt);
    EXPECT_EQ(log_.count(27002), 1u);
}

TEST_F(KLVPersistedConfigTest, ChangeReachesTheFileAfterOneSecondOrAtSynchronize) {
    auto config = open();
    config->setSessionNumber(4);
    clock_.advance(0.9);
    EXPECT_TRUE(onDisk().isNull());
    clock_.advance(0.1);
    EXPECT_EQ(onDisk()[KLVPersistedConfigKey("session_number")], Object(4));

    config->setSessionNumber(5);
    config->synchronizeToDisk();
    EXPECT_EQ(onDisk()[KLVPersistedConfigKey("session_number")], Object(5));
    EXPECT_EQ(clock_->pendingTimerCount(), 0u);
}

TEST_F(KLVPersistedConfigTest, MeasurementSwitchIsOnDiskAtOnce) {
    auto config = open();
    config->setMeasurementEnabledState(2);
    EXPECT_EQ(config->measurementEnabledState(), 2);
    const fs::path standard =
        platform::preferencesDirectory() / (platform::UserDefaults::standardSuiteName() + ".plist");
    EXPECT_EQ(platform::readPropertyListFile(standard).value_or(
                  Object())[KLVPersistedConfigKey("measurement_enabled_state")],
              Object(2));
    EXPECT_TRUE(onDisk().isNull());  // not in the persisted configuration's own file

    config->clearValues();
    EXPECT_EQ(config->measurementEnabledState(), 2);
}

TEST_F(KLVPersistedConfigTest, MidnightOffsetIsDrawnOnceAndSurvivesReloads) {
    double first = 0;
    {
        auto config = open();
        first = config->midnightOffset();
        EXPECT_GE(first, 0.0);
        EXPECT_LT(first, 86400.0);
        EXPECT_EQ(std::round(first * 1000), first * 1000);
        EXPECT_EQ(config->midnightOffset(), first);
    }
    EXPECT_EQ(open()->midnightOffset(), first);
}

TEST_F(KLVPersistedConfigTest, WithoutAStoreTheMidnightOffsetStaysForTheRun) {
    std::ofstream(platform::applicationSupportDirectory() / "Nexory") << "blocks the directory";
    auto config = open();
    ASSERT_TRUE(config);
    const double offset = config->midnightOffset();
    EXPECT_EQ(config->midnightOffset(), offset);
    config->setSessionNumber(3);  // dropped
    EXPECT_EQ(config->sessionNumber(), 0);
}

TEST_F(KLVPersistedConfigTest, OlderFileMovesIntoPlaceOnce) {
    const fs::path old = KLVPreferencesFilePath(kKLVPersistedConfigName);
    fs::create_directories(old.parent_path());
    ASSERT_TRUE(platform::writePropertyListFile(
        old, Object::dict({{KLVPersistedConfigKey("session_number"), 8}}),
        platform::PropertyListFormat::XML));
    EXPECT_EQ(open()->sessionNumber(), 8);
    EXPECT_FALSE(fs::exists(old));

    // A stale copy at the old place later loses to the file in place.
    ASSERT_TRUE(platform::writePropertyListFile(
        old, Object::dict({{KLVPersistedConfigKey("session_number"), 1}}),
        platform::PropertyListFormat::Binary));
    EXPECT_EQ(open()->sessionNumber(), 8);
    EXPECT_FALSE(fs::exists(old));
}

TEST_F(KLVPersistedConfigTest, ClearValuesEmptiesTheFile) {
    auto config = open();
    config->setAppVersion("1.0");
    config->clearValues();
    EXPECT_EQ(config->appVersion(), std::nullopt);
    config->synchronizeToDisk();
    EXPECT_EQ(onDisk(), Object(platform::Dictionary{}));
}

TEST_F(KLVPersistedConfigTest, SharedInstanceAndEmptyName) {
    EXPECT_FALSE(KLVPersistedConfig::initWithSuiteName(""));
    auto shared = KLVPersistedConfig::sharedInstance();
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared, KLVPersistedConfig::sharedInstance());
    EXPECT_EQ(shared->name(), "com.nexory.zkt.measurement");
}

}  // namespace
}  // namespace engine
