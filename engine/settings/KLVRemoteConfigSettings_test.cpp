#include "engine/settings/KLVRemoteConfigSettings.h"

#include <gtest/gtest.h>

#include <memory>

#include "engine/base/EngineTestSupport.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"

namespace engine {
namespace {

using testing::makeConfig;
using testing::SettingList;

constexpr char kAppID[] = "1:123:ios:abc";

class KLVRemoteConfigSettingsTest : public testing::SettingsTest {
  protected:
    // Settings that have just taken `settings`.
    std::shared_ptr<KLVRemoteConfig> settingsWith(const SettingList& settings) {
        auto config = KLVRemoteConfig::initWithAppID(kAppID, storage_, nullptr);
        EXPECT_TRUE(config->updateMeasurementConfig(makeConfig(kAppID, settings)));
        return config;
    }
};

#define READ(name) [](const KLVRemoteConfig& c) { return static_cast<double>(c.name()); }

// A few settings transcribed from their documentation, at least one of each kind of conversion:
// absent (nullptr), at and beyond the bounds, unparsable. Out of bounds gives the default, never
// the bound.
TEST_F(KLVRemoteConfigSettingsTest, OneSettingOfEachKind) {
    ASSERT_EQ(kKLVSettingsCount, 73u);
    const struct {
        const char* key;
        double (*read)(const KLVRemoteConfig&);
        const char* text;
        double expected;
    } cases[] = {
        // An interval: milliseconds in, seconds out, bounds 15 s .. 1 day.
        {"measurement.upload.interval", READ(uploadingInterval), nullptr, 3600},
        {"measurement.upload.interval", READ(uploadingInterval), "15000", 15},
        {"measurement.upload.interval", READ(uploadingInterval), "90000.9", 90},
        {"measurement.upload.interval", READ(uploadingInterval), "86400000", 86400},
        {"measurement.upload.interval", READ(uploadingInterval), "86401000", 3600},
        {"measurement.upload.interval", READ(uploadingInterval), "true", 3600},
        {"measurement.session.default_timeout_interval", READ(sessionDefaultTimeoutInterval), "-0",
         0},
        // An integer, 1 .. 24; fractions are cut after the bounds check.
        {"measurement.upload.retry_count", READ(uploadingRetryCount), nullptr, 6},
        {"measurement.upload.retry_count", READ(uploadingRetryCount), "23.9", 23},
        {"measurement.upload.retry_count", READ(uploadingRetryCount), "24.5", 6},
        {"measurement.account.time_zone_offset_minutes",
         READ(analyticsAccountTimeZoneOffsetMinutes), "-901", 0},
        // A 64-bit integer, 0 .. 10 MiB.
        {"measurement.upload.max_batch_size", READ(uploadMaxSizeLimitBytes), "10485760", 10485760},
        {"measurement.upload.max_batch_size", READ(uploadMaxSizeLimitBytes), "10485761", 65536},
        // A switch: 0 or 1 after truncation.
        {"measurement.api.session_id", READ(isSessionIDEnabled), nullptr, 1},
        {"measurement.api.session_id", READ(isSessionIDEnabled), "0.5", 0},
        {"measurement.api.session_id", READ(isSessionIDEnabled), "2", 1},
        // Milliseconds in, whole seconds out, 1 .. 10000 s.
        {"measurement.upload.max_bundles_created_per_iteration",
         READ(maxBundlesCreatedPerIteration), "50000", 50},
        {"measurement.upload.max_bundles_created_per_iteration",
         READ(maxBundlesCreatedPerIteration), "999", 100},
        // Derived: internal parameter values are never shorter than 256.
        {"measurement.upload.max_event_parameter_value_length",
         READ(maxInternalEventParameterValueLength), "100", 256},
        {"measurement.upload.max_event_parameter_value_length",
         READ(maxInternalEventParameterValueLength), "300", 300},
    };
    const auto defaults = KLVRemoteConfig::defaultInstance();
    for (const auto& c : cases) {
        const auto config = c.text ? settingsWith({{c.key, c.text}}) : settingsWith({});
        EXPECT_DOUBLE_EQ(c.read(*config), c.expected) << c.key << " " << (c.text ? c.text : "-");
        if (!c.text) {
            EXPECT_DOUBLE_EQ(c.read(*defaults), c.expected) << c.key;
        }
    }
}

#undef READ

TEST_F(KLVRemoteConfigSettingsTest, TextsParseLocaleFree) {
    const struct {
        const char* text;
        std::optional<platform::Object> number;
    } cases[] = {
        {"42", platform::Object(42)},
        {"0.5", platform::Object(0.5)},
        {"99999999999999999999", platform::Object(1e20)},
        {" 5", std::nullopt},
        {"5.", std::nullopt},
        {"1e3", std::nullopt},
        {"0x10", std::nullopt},
        {"\xd9\xa3", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLVRemoteConfig::numberFromString(c.text), c.number) << c.text;
    }
}

TEST_F(KLVRemoteConfigSettingsTest, FirstReadFixesTheNumberUntilTheNextParse) {
    const auto config = settingsWith(
        {{"measurement.upload.retry_count", "30"}, {"measurement.upload.interval", "90000"}});
    EXPECT_EQ(config->cachedSettingText("measurement.upload.interval"), "90000");
    EXPECT_EQ(config->cachedSettingText("measurement.upload.retry_time"), std::nullopt);

    EXPECT_EQ(config->uploadingRetryCount(), 6);
    EXPECT_EQ(config->uploadingRetryCount(), 6);
    EXPECT_EQ(config->uploadingInterval(), 90);
    EXPECT_EQ(config->uploadingRetryInterval(), 1800);
    // The rule runtime sees the converted numbers, and the defaults once read.
    EXPECT_EQ(config->cachedSettingText("measurement.upload.retry_count"), "6");
    EXPECT_EQ(config->cachedSettingText("measurement.upload.interval"), "90");
    EXPECT_EQ(config->cachedSettingText("measurement.upload.retry_time"), "1800");

    ASSERT_TRUE(config->updateMeasurementConfig(
        makeConfig(kAppID, {{"measurement.upload.retry_count", "12"}})));
    EXPECT_EQ(config->uploadingRetryCount(), 12);
    EXPECT_EQ(config->uploadingInterval(), 3600);
}

TEST_F(KLVRemoteConfigSettingsTest, LaterSettingWinsAndPsmSettingIsNotBoundsTested) {
    auto message = makeConfig(kAppID, {{"measurement.psm_prefix_email", "8"},
                                       {"measurement.psm_prefix_email", "9"},
                                       {"measurement.psm_prefix_phone", "12"},
                                       {"measurement.psm_signin_delay", "30"}});
    KLVPBPsmSetting psm;
    NANOSetInt32(psm, KLVPBPsmSetting::prefix_email, 99);
    NANOSetInt32(psm, KLVPBPsmSetting::signin_delay, 3);
    NANOSetMessage(message, KLVPBMeasurementConfig::psm_setting, psm);

    auto config = KLVRemoteConfig::initWithAppID(kAppID, storage_, nullptr);
    ASSERT_TRUE(config->updateMeasurementConfig(message));
    EXPECT_EQ(config->hashPrefixBitLengthEmail(), 99);
    EXPECT_EQ(config->hashPrefixBitLengthPhone(), 12);
    EXPECT_EQ(config->maxSignInDelayInDays(), 3);

    const auto second = settingsWith(
        {{"measurement.psm_prefix_email", "8"}, {"measurement.psm_prefix_email", "9"}});
    EXPECT_EQ(second->hashPrefixBitLengthEmail(), 9);
}

TEST_F(KLVRemoteConfigSettingsTest, DebugModeRaisesThePsmStartCount) {
    const auto config = settingsWith({{"measurement.psm_start_count", "2"}});
    EXPECT_EQ(config->maxPSMStartCount(), 2);
    monitor().setDebugModeEnabled(true);
    EXPECT_EQ(config->maxPSMStartCount(), 10);
    monitor().setDebugModeEnabled(false);
}

}  // namespace
}  // namespace engine
