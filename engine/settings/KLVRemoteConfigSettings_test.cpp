#include "engine/settings/KLVRemoteConfigSettings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

#include "engine/base/EngineTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "engine/settings/SettingsTestSupport.h"
#include "platform/foundation/Format.h"

namespace engine {
namespace {

using testing::makeConfig;
using testing::SettingList;

constexpr char kAppID[] = "1:123:ios:abc";

enum class Kind { Interval, Int, Int64, Switch, IntervalInt };

// Every setting as its documentation lists it: getter, key, kind, default, minimum, maximum.
struct Row {
    const char* getter;
    std::function<double(const KLVRemoteConfig&)> read;
    const char* key;
    Kind kind;
    double defaultValue;
    double minimum;
    double maximum;
};

#define GETTER(name) #name, [](const KLVRemoteConfig& c) { return static_cast<double>(c.name()); }

const Row kRows[] = {
    {GETTER(uploadingInterval), "measurement.upload.interval", Kind::Interval, 3600, 15, 86400},
    {GETTER(uploadingInitialDelayInterval), "measurement.upload.initial_upload_delay_time",
     Kind::Interval, 15, 1, 86400},
    {GETTER(uploadingDebugModeInterval), "measurement.upload.debug_upload_interval", Kind::Interval,
     1, 1, 15},
    {GETTER(uploadingRealTimeInterval), "measurement.upload.realtime_upload_interval",
     Kind::Interval, 10, 10, 15},
    {GETTER(uploadingRetryCount), "measurement.upload.retry_count", Kind::Int, 6, 1, 24},
    {GETTER(uploadingRetryInterval), "measurement.upload.retry_time", Kind::Interval, 1800, 60,
     86400},
    {GETTER(uploadingBackoffInterval), "measurement.upload.backoff_period", Kind::Interval, 43200,
     3600, 604800},
    {GETTER(uploadMaxBundlesLimit), "measurement.upload.max_bundles", Kind::Int64, 100, 1, 10000},
    {GETTER(uploadMaxEventsPerBundle), "measurement.upload.max_events_per_bundle", Kind::Int64,
     1000, 1, 1000000},
    {GETTER(uploadMaxSizeLimitBytes), "measurement.upload.max_batch_size", Kind::Int64, 65536, 0,
     10485760},
    {GETTER(maxBundlesCreatedPerIteration), "measurement.upload.max_bundles_created_per_iteration",
     Kind::IntervalInt, 100, 1, 10000},
    {GETTER(maxQueueTime), "measurement.upload.max_queue_time", Kind::Interval, 2419200, 604800,
     7862400},
    {GETTER(databaseDeleteStaleBundlesInterval), "measurement.upload.stale_data_deletion_interval",
     Kind::Interval, 86400, 3600, 604800},
    {GETTER(maxEventsStored), "measurement.store.max_stored_events_per_app", Kind::Int, 100000, 0,
     1000000},
    {GETTER(maxEventsPerDay), "measurement.upload.max_events_per_day", Kind::Int, 100000, 0,
     1000000},
    {GETTER(maxPublicEventsPerDay), "measurement.upload.max_public_events_per_day", Kind::Int,
     50000, 0, 1000000},
    {GETTER(maxConversionsPerDay), "measurement.upload.max_conversions_per_day", Kind::Int, 10000,
     0, 1000000},
    {GETTER(maxErrorEventsPerDay), "measurement.upload.max_error_events_per_day", Kind::Int, 1000,
     0, 1000000},
    {GETTER(maxRealtimeEventCountPerDay), "measurement.upload.max_realtime_events_per_day",
     Kind::Int, 10, 0, 10},
    {GETTER(maxEventNameCardinality), "measurement.upload.max_event_name_cardinality", Kind::Int,
     2000, 500, 2000},
    {GETTER(maxPublicEventParams), "measurement.upload.max_public_event_params", Kind::Int, 100, 25,
     100},
    {GETTER(maxPublicUserProperties), "measurement.upload.max_public_user_properties", Kind::Int,
     100, 25, 100},
    {GETTER(maxPublicEventParameterValueLength),
     "measurement.upload.max_event_parameter_value_length", Kind::Int, 500, 100, 500},
    {GETTER(maxItemScopedCustomParameters), "measurement.upload.max_item_scoped_custom_parameters",
     Kind::Int, 27, 10, 35},
    {GETTER(itemScopedCustomParameterEnabled), "measurement.item_scoped_custom_parameter_enabled",
     Kind::Switch, 1, 0, 1},
    {GETTER(blocklistPublic), "measurement.upload.blacklist_public", Kind::Switch, 0, 0, 1},
    {GETTER(blocklistInternal), "measurement.upload.blacklist_internal", Kind::Switch, 0, 0, 1},
    {GETTER(isEventSamplingEnabled), "measurement.event_sampling_enabled", Kind::Switch, 0, 0, 1},
    {GETTER(checksumEnabled), "measurement.quality.checksum", Kind::Switch, 0, 0, 1},
    {GETTER(maxTrackedCurrencies), "measurement.lifetimevalue.max_currency_tracked", Kind::Int, 4,
     1, 100},
    {GETTER(analyticsAccountTimeZoneOffsetMinutes), "measurement.account.time_zone_offset_minutes",
     Kind::Int, 0, -900, 900},
    {GETTER(sessionDefaultTimeoutInterval), "measurement.session.default_timeout_interval",
     Kind::Interval, 1800, 0, 86400},
    {GETTER(sessionDefaultMinimumInterval), "measurement.session.default_minimum_interval",
     Kind::Interval, 10, 0, 86400},
    {GETTER(sessionEventUserEngagementInterval),
     "measurement.session.event_user_engagement_interval", Kind::Interval, 3600, 0, 86400},
    {GETTER(efficientEngagementReportingEnabled),
     "measurement.collection.efficient_engagement_reporting_enabled", Kind::Switch, 0, 0, 1},
    {GETTER(redundantEngagementRemovalEnabled),
     "measurement.collection.redundant_engagement_removal_enabled", Kind::Switch, 0, 0, 1},
    {GETTER(appBackgroundedEventEnabled), "measurement.lifecycle.app_backgrounded_tracking",
     Kind::Switch, 0, 0, 1},
    {GETTER(appInBackgroundParameterEnabled), "measurement.lifecycle.app_in_background_parameter",
     Kind::Switch, 1, 0, 1},
    {GETTER(isSessionIDEnabled), "measurement.api.session_id", Kind::Switch, 1, 0, 1},
    {GETTER(sessionStitchingTokenFeatureEnabled), "measurement.session_stitching_token_enabled",
     Kind::Switch, 0, 0, 1},
    {GETTER(maxAudienceCount), "measurement.audience.max_count", Kind::Int, 100, 0, 500},
    {GETTER(maxFiltersPerAudience), "measurement.audience.filter_max_count_per_audience", Kind::Int,
     10, 0, 100},
    {GETTER(maxFilterResultCount), "measurement.audience.filter_result_max_count", Kind::Int, 200,
     0, 2000},
    {GETTER(maxParametersPerFilter), "measurement.audience.parameter_max_count_filter", Kind::Int,
     25, 0, 250},
    {GETTER(networkTimeout), "measurement.network.network_timeout", Kind::Interval, 60, 30, 3600},
    {GETTER(isNetworkBackgroundSessionEnabled), "measurement.network.background_session_enabled",
     Kind::Switch, 0, 0, 1},
    {GETTER(monitoringSamplePeriod), "measurement.monitoring.sample_period_millis", Kind::Interval,
     86400, 0, 604800},
    {GETTER(adIDCacheTime), "measurement.ad_id_cache_time", Kind::Interval, 1, 0, 86400},
    {GETTER(gateIDFAOnATTMASEnabled), "measurement.attmas_gate", Kind::Switch, 0, 0, 1},
    {GETTER(attributionCacheTTLInterval), "measurement.attribution.cache.ttl", Kind::Interval,
     604800, 86400, 2592000},
    {GETTER(remoteConfigCacheTimeInterval), "measurement.config.cache_time", Kind::Interval, 3600,
     60, 86400},
    {GETTER(isDeferredDeepLinkEnabled), "measurement.ddl.enabled", Kind::Switch, 1, 0, 1},
    {GETTER(maxDeferredDeepLinkRetryCount), "measurement.ddl.retry_count", Kind::Int, 5, 0, 10},
    {GETTER(tcfFeatureEnabled), "measurement.tcf_enabled", Kind::Switch, 1, 0, 1},
    {GETTER(DMAConsentEnabled), "measurement.upload.dma_consent_enabled", Kind::Switch, 1, 0, 1},
    {GETTER(dcuEventFeatureEnabled), "measurement.dma.dcu_event_enabled", Kind::Switch, 1, 0, 1},
    {GETTER(maxRealtimeDCUEventCountPerDay), "measurement.dma.dcu_event_max_realtime_daily_count",
     Kind::Int, 1, 0, 10},
    {GETTER(regionalDefaultsEnabled), "measurement.regional_defaults_enabled", Kind::Switch, 1, 0,
     1},
    {GETTER(PSMFeatureEnabled), "measurement.psm_enabled", Kind::Switch, 1, 0, 1},
    {GETTER(maxPSMStartCount), "measurement.psm_start_count", Kind::Int, 3, 0, 10},
    {GETTER(maxPSMRetryCount), "measurement.psm_retry_count", Kind::Int, 5, 0, 10},
    {GETTER(PSMRetryInterval), "measurement.psm_retry_interval", Kind::Interval, 300, 30, 1800},
    {GETTER(hashPrefixBitLengthEmail), "measurement.psm_prefix_email", Kind::Int, 14, 6, 20},
    {GETTER(hashPrefixBitLengthPhone), "measurement.psm_prefix_phone", Kind::Int, 11, 6, 18},
    {GETTER(maxSignInDelayInDays), "measurement.psm_signin_delay", Kind::Int, 60, 7, 90},
    {GETTER(SKANUpdateConversionValueEnabled), "measurement.skan.update_conversion_value_enabled",
     Kind::Switch, 0, 0, 1},
    {GETTER(SKANInitialCVFetchDelay), "measurement.skan.initial_cv_fetch_delay_sec", Kind::Interval,
     120, 30, 3600},
    {GETTER(SKANCVFetchRetryInterval), "measurement.skan.cv_fetch_retry_interval_sec",
     Kind::Interval, 120, 30, 3600},
    {GETTER(SKANCVFetchRetryLimit), "measurement.skan.cv_fetch_retry_limit", Kind::Int, 4, 1, 10},
    {GETTER(SKANFirstWindowCVFetchDelay),
     "measurement.skan.first_window.initial_cv_fetch_delay_sec", Kind::Interval, 20, 1, 3600},
    {GETTER(SKANFirstWindowCVFetchRetryInterval),
     "measurement.skan.first_window.cv_fetch_retry_interval_sec", Kind::Interval, 120, 30, 3600},
    {GETTER(SKANFirstWindowCVFetchRetryLimit), "measurement.skan.first_window.cv_fetch_retry_limit",
     Kind::Int, 4, 1, 10},
    {GETTER(SKANFirstWindowUploadInterval), "measurement.skan.first_window.upload_interval_sec",
     Kind::Interval, 1800, 15, 86400},
};

#undef GETTER

std::string numberText(double value) {
    return platform::formatString("%@", value);
}

// What each case sends, and what the getter must answer.
struct Variant {
    const char* name;
    std::function<std::string(const Row&)> text;
    std::function<double(const Row&)> expected;
};

double middle(const Row& row) {
    const double mid = (row.minimum + row.maximum) / 2;
    return row.kind == Kind::Interval ? mid : std::floor(mid);
}

const Variant kVariants[] = {
    {"absent", nullptr, [](const Row& r) { return r.defaultValue; }},
    {"in range",
     [](const Row& r) -> std::string {
         switch (r.kind) {
             case Kind::Interval:
                 return numberText(middle(r) * 1000);
             case Kind::Switch:
                 return r.defaultValue != 0 ? "0" : "1";
             case Kind::IntervalInt:
                 return "50000";
             default:
                 return numberText(middle(r));
         }
     },
     [](const Row& r) -> double {
         switch (r.kind) {
             case Kind::Switch:
                 return r.defaultValue != 0 ? 0 : 1;
             case Kind::IntervalInt:
                 return 50;
             default:
                 return middle(r);
         }
     }},
    {"below",
     [](const Row& r) -> std::string {
         switch (r.kind) {
             case Kind::Interval:
                 return numberText((r.minimum - 1) * 1000);
             case Kind::IntervalInt:
                 return numberText(r.minimum * 1000 - 1);
             default:
                 return numberText(r.minimum - 1);
         }
     },
     [](const Row& r) { return r.defaultValue; }},
    {"above",
     [](const Row& r) -> std::string {
         switch (r.kind) {
             case Kind::Interval:
             case Kind::IntervalInt:
                 return numberText((r.maximum + 1) * 1000);
             default:
                 return numberText(r.maximum + 1);
         }
     },
     [](const Row& r) { return r.defaultValue; }},
    {"unparsable", [](const Row&) -> std::string { return "true"; },
     [](const Row& r) { return r.defaultValue; }},
};

class KLVRemoteConfigSettingsTest : public testing::SettingsTest {
  protected:
    // Settings that have just taken `settings`.
    std::shared_ptr<KLVRemoteConfig> settingsWith(const SettingList& settings) {
        auto config = KLVRemoteConfig::initWithAppID(kAppID, storage_, nullptr);
        EXPECT_TRUE(config->updateMeasurementConfig(makeConfig(kAppID, settings)));
        return config;
    }
};

TEST_F(KLVRemoteConfigSettingsTest, TheTableHasEverySetting) {
    ASSERT_EQ(kKLVSettingsCount, 73u);
    ASSERT_EQ(std::size(kRows), kKLVSettingsCount);
    for (std::size_t i = 0; i < kKLVSettingsCount; ++i) {
        EXPECT_STREQ(kKLVSettingsTable[i].getter, kRows[i].getter);
        EXPECT_STREQ(kKLVSettingsTable[i].key, kRows[i].key);
    }
}

TEST_F(KLVRemoteConfigSettingsTest, EverySettingDefaultInRangeBelowAboveUnparsable) {
    for (const auto& variant : kVariants) {
        SettingList settings;
        if (variant.text) {
            for (const auto& row : kRows)
                settings.emplace_back(row.key, variant.text(row));
        }
        const auto config = settingsWith(settings);
        for (const auto& row : kRows) {
            EXPECT_DOUBLE_EQ(row.read(*config), variant.expected(row))
                << row.getter << " " << variant.name
                << (variant.text ? " text " + variant.text(row) : std::string());
        }
    }
}

TEST_F(KLVRemoteConfigSettingsTest, DefaultInstanceAnswersDefaults) {
    const auto config = KLVRemoteConfig::defaultInstance();
    for (const auto& row : kRows) {
        EXPECT_DOUBLE_EQ(row.read(*config), row.defaultValue) << row.getter;
    }
}

TEST_F(KLVRemoteConfigSettingsTest, EdgeValues) {
    const struct {
        const char* key;
        const char* text;
        std::function<double(const KLVRemoteConfig&)> read;
        double expected;
    } cases[] = {
        {"measurement.account.time_zone_offset_minutes", "-900",
         [](auto& c) { return c.analyticsAccountTimeZoneOffsetMinutes(); }, -900},
        {"measurement.account.time_zone_offset_minutes", "900",
         [](auto& c) { return c.analyticsAccountTimeZoneOffsetMinutes(); }, 900},
        {"measurement.account.time_zone_offset_minutes", "-901",
         [](auto& c) { return c.analyticsAccountTimeZoneOffsetMinutes(); }, 0},
        {"measurement.upload.max_realtime_events_per_day", "11",
         [](auto& c) { return c.maxRealtimeEventCountPerDay(); }, 10},
        {"measurement.upload.max_realtime_events_per_day", "0",
         [](auto& c) { return c.maxRealtimeEventCountPerDay(); }, 0},
        {"measurement.upload.max_batch_size", "0",
         [](auto& c) { return static_cast<double>(c.uploadMaxSizeLimitBytes()); }, 0},
        {"measurement.upload.max_batch_size", "10485761",
         [](auto& c) { return static_cast<double>(c.uploadMaxSizeLimitBytes()); }, 65536},
        {"measurement.api.session_id", "1.0", [](auto& c) { return c.isSessionIDEnabled(); }, 1},
        {"measurement.api.session_id", "0.5", [](auto& c) { return c.isSessionIDEnabled(); }, 0},
        {"measurement.api.session_id", "2", [](auto& c) { return c.isSessionIDEnabled(); }, 1},
        {"measurement.quality.checksum", "1", [](auto& c) { return c.checksumEnabled(); }, 1},
        {"measurement.quality.checksum", "YES", [](auto& c) { return c.checksumEnabled(); }, 0},
        {"measurement.upload.retry_count", "23.9", [](auto& c) { return c.uploadingRetryCount(); },
         23},
        {"measurement.upload.retry_count", "24.5", [](auto& c) { return c.uploadingRetryCount(); },
         6},
        {"measurement.upload.retry_count", "30", [](auto& c) { return c.uploadingRetryCount(); },
         6},
        {"measurement.upload.interval", "90000", [](auto& c) { return c.uploadingInterval(); }, 90},
        {"measurement.upload.interval", "90000.9", [](auto& c) { return c.uploadingInterval(); },
         90},
        {"measurement.upload.interval", "10000", [](auto& c) { return c.uploadingInterval(); },
         3600},
        {"measurement.skan.initial_cv_fetch_delay_sec", "60000",
         [](auto& c) { return c.SKANInitialCVFetchDelay(); }, 60},
        {"measurement.skan.initial_cv_fetch_delay_sec", "60",
         [](auto& c) { return c.SKANInitialCVFetchDelay(); }, 120},
        {"measurement.upload.max_bundles_created_per_iteration", "50000",
         [](auto& c) { return c.maxBundlesCreatedPerIteration(); }, 50},
        {"measurement.upload.max_bundles_created_per_iteration", "100",
         [](auto& c) { return c.maxBundlesCreatedPerIteration(); }, 100},
        {"measurement.upload.max_bundles_created_per_iteration", "1500",
         [](auto& c) { return c.maxBundlesCreatedPerIteration(); }, 1},
        {"measurement.upload.max_event_parameter_value_length", "100",
         [](auto& c) { return c.maxInternalEventParameterValueLength(); }, 256},
        {"measurement.upload.max_event_parameter_value_length", "300",
         [](auto& c) { return c.maxInternalEventParameterValueLength(); }, 300},
        {"measurement.upload.max_event_parameter_value_length", "x",
         [](auto& c) { return c.maxInternalEventParameterValueLength(); }, 500},
        {"measurement.session.default_timeout_interval", "-0",
         [](auto& c) { return c.sessionDefaultTimeoutInterval(); }, 0},
    };
    for (const auto& c : cases) {
        const auto config = settingsWith({{c.key, c.text}});
        EXPECT_DOUBLE_EQ(c.read(*config), c.expected) << c.key << " " << c.text;
    }
}

TEST_F(KLVRemoteConfigSettingsTest, TextsParseLocaleFree) {
    const struct {
        const char* text;
        std::optional<platform::Object> number;
    } cases[] = {
        {"42", platform::Object(42)},
        {"+42", platform::Object(42)},
        {"-7", platform::Object(-7)},
        {"0.5", platform::Object(0.5)},
        {"-0.25", platform::Object(-0.25)},
        {"007", platform::Object(7)},
        {"99999999999999999999", platform::Object(1e20)},
        {"", std::nullopt},
        {"1,5", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"5.", std::nullopt},
        {".5", std::nullopt},
        {"1e3", std::nullopt},
        {"0x10", std::nullopt},
        {"+", std::nullopt},
        {"--1", std::nullopt},
        {"true", std::nullopt},
        {"nan", std::nullopt},
        {"inf", std::nullopt},
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
    KLVMeasurementBase::monitor().setDebugModeEnabled(true);
    EXPECT_EQ(config->maxPSMStartCount(), 10);
    KLVMeasurementBase::monitor().setDebugModeEnabled(false);
}

TEST_F(KLVRemoteConfigSettingsTest, TypedAccessorsRefuseAnEmptyKey) {
    const auto config = settingsWith({});
    EXPECT_TRUE(config->numberFromCacheWithKey("", platform::Object(5), {}, {}).isNull());
    EXPECT_EQ(config->intValueFromCacheWithKey("", 5, 10, 0), 5);
    EXPECT_EQ(config->int64ValueFromCacheWithKey("measurement.unused", 7), 1);
    EXPECT_EQ(config->int64ValueFromCacheWithKey("measurement.unknown", 7), 7);
}

}  // namespace
}  // namespace engine
