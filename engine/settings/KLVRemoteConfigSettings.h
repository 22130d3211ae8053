#pragma once

// The engine's server-driven settings as one table: each row is a getter of KLVRemoteConfig, the
// setting's key in the downloaded configuration, its kind, default, minimum and maximum (bounds
// inclusive; intervals in seconds). The server sends every setting as text; a getter converts it
// on its first read after a parse. A text that does not parse, or whose number lies outside the
// bounds, gives the default; a number is never clamped to a bound.
//
// Kinds:
//   Interval     milliseconds on the wire, seconds (double) to the caller: the text's integer
//                part divided by 1000, then tested against the bounds
//   Int          32-bit integer; a fraction within the bounds is dropped after the test
//   Int64        64-bit integer, the same way
//   Switch       the number 1 (true) or 0 (false); any other text gives the default
//   IntervalInt  read as an interval, then truncated to a 32-bit integer
// Rule: Plain getters are the row itself; Own getters add a rule of their own on top of the row
// (see KLVRemoteConfig.h).

#include <cstddef>
#include <iterator>

namespace engine {

// X(getter, key, kind, default, minimum, maximum, rule)
#define KLV_REMOTE_CONFIG_SETTINGS(X)                                                              \
    /* Upload, bundling and daily limits */                                                        \
    X(uploadingInterval, "measurement.upload.interval", Interval, 3600, 15, 86400, Plain)          \
    X(uploadingInitialDelayInterval, "measurement.upload.initial_upload_delay_time", Interval, 15, \
      1, 86400, Plain)                                                                             \
    X(uploadingDebugModeInterval, "measurement.upload.debug_upload_interval", Interval, 1, 1, 15,  \
      Plain)                                                                                       \
    X(uploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", Interval, 10, 10,  \
      15, Plain)                                                                                   \
    X(uploadingRetryCount, "measurement.upload.retry_count", Int, 6, 1, 24, Plain)                 \
    X(uploadingRetryInterval, "measurement.upload.retry_time", Interval, 1800, 60, 86400, Plain)   \
    X(uploadingBackoffInterval, "measurement.upload.backoff_period", Interval, 43200, 3600,        \
      604800, Plain)                                                                               \
    X(uploadMaxBundlesLimit, "measurement.upload.max_bundles", Int64, 100, 1, 10000, Plain)        \
    X(uploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", Int64, 1000, 1,        \
      1000000, Plain)                                                                              \
    X(uploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", Int64, 65536, 0, 10485760,     \
      Plain)                                                                                       \
    X(maxBundlesCreatedPerIteration, "measurement.upload.max_bundles_created_per_iteration",       \
      IntervalInt, 100, 1, 10000, Plain)                                                           \
    X(maxQueueTime, "measurement.upload.max_queue_time", Interval, 2419200, 604800, 7862400,       \
      Plain)                                                                                       \
    X(databaseDeleteStaleBundlesInterval, "measurement.upload.stale_data_deletion_interval",       \
      Interval, 86400, 3600, 604800, Plain)                                                        \
    X(maxEventsStored, "measurement.store.max_stored_events_per_app", Int, 100000, 0, 1000000,     \
      Plain)                                                                                       \
    X(maxEventsPerDay, "measurement.upload.max_events_per_day", Int, 100000, 0, 1000000, Plain)    \
    X(maxPublicEventsPerDay, "measurement.upload.max_public_events_per_day", Int, 50000, 0,        \
      1000000, Plain)                                                                              \
    X(maxConversionsPerDay, "measurement.upload.max_conversions_per_day", Int, 10000, 0, 1000000,  \
      Plain)                                                                                       \
    X(maxErrorEventsPerDay, "measurement.upload.max_error_events_per_day", Int, 1000, 0, 1000000,  \
      Plain)                                                                                       \
    X(maxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day", Int, 10, 0,   \
      10, Plain)                                                                                   \
    X(maxEventNameCardinality, "measurement.upload.max_event_name_cardinality", Int, 2000, 500,    \
      2000, Plain)                                                                                 \
    X(maxPublicEventParams, "measurement.upload.max_public_event_params", Int, 100, 25, 100,       \
      Plain)                                                                                       \
    X(maxPublicUserProperties, "measurement.upload.max_public_user_properties", Int, 100, 25, 100, \
      Plain)                                                                                       \
    X(maxPublicEventParameterValueLength, "measurement.upload.max_event_parameter_value_length",   \
      Int, 500, 100, 500, Plain)                                                                   \
    X(maxItemScopedCustomParameters, "measurement.upload.max_item_scoped_custom_parameters", Int,  \
      27, 10, 35, Plain)                                                                           \
    X(itemScopedCustomParameterEnabled, "measurement.item_scoped_custom_parameter_enabled",        \
      Switch, 1, 0, 1, Plain)                                                                      \
    X(blocklistPublic, "measurement.upload.blacklist_public", Switch, 0, 0, 1, Plain)              \
    X(blocklistInternal, "measurement.upload.blacklist_internal", Switch, 0, 0, 1, Plain)          \
    X(isEventSamplingEnabled, "measurement.event_sampling_enabled", Switch, 0, 0, 1, Plain)        \
    X(checksumEnabled, "measurement.quality.checksum", Switch, 0, 0, 1, Plain)                     \
    X(maxTrackedCurrencies, "measurement.lifetimevalue.max_currency_tracked", Int, 4, 1, 100,      \
      Plain)                                                                                       \
    X(analyticsAccountTimeZoneOffsetMinutes, "measurement.account.time_zone_offset_minutes", Int,  \
      0, -900, 900, Plain)                                                                         \
    /* Sessions, engagement and life cycle */                                                      \
    X(sessionDefaultTimeoutInterval, "measurement.session.default_timeout_interval", Interval,     \
      1800, 0, 86400, Plain)                                                                       \
    X(sessionDefaultMinimumInterval, "measurement.session.default_minimum_interval", Interval, 10, \
      0, 86400, Plain)                                                                             \
    X(sessionEventUserEngagementInterval, "measurement.session.event_user_engagement_interval",    \
      Interval, 3600, 0, 86400, Plain)                                                             \
    X(efficientEngagementReportingEnabled,                                                         \
      "measurement.collection.efficient_engagement_reporting_enabled", Switch, 0, 0, 1, Plain)     \
    X(redundantEngagementRemovalEnabled,                                                           \
      "measurement.collection.redundant_engagement_removal_enabled", Switch, 0, 0, 1, Plain)       \
    X(appBackgroundedEventEnabled, "measurement.lifecycle.app_backgrounded_tracking", Switch, 0,   \
      0, 1, Plain)                                                                                 \
    X(appInBackgroundParameterEnabled, "measurement.lifecycle.app_in_background_parameter",        \
      Switch, 1, 0, 1, Plain)                                                                      \
    X(isSessionIDEnabled, "measurement.api.session_id", Switch, 1, 0, 1, Plain)                    \
    X(sessionStitchingTokenFeatureEnabled, "measurement.session_stitching_token_enabled", Switch,  \
      0, 0, 1, Own)                                                                                \
    /* Audiences */                                                                                \
    X(maxAudienceCount, "measurement.audience.max_count", Int, 100, 0, 500, Plain)                 \
    X(maxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", Int, 10, 0,     \
      100, Plain)                                                                                  \
    X(maxFilterResultCount, "measurement.audience.filter_result_max_count", Int, 200, 0, 2000,     \
      Plain)                                                                                       \
    X(maxParametersPerFilter, "measurement.audience.parameter_max_count_filter", Int, 25, 0, 250,  \
      Plain)                                                                                       \
    /* Network, identifiers and attribution */                                                     \
    X(networkTimeout, "measurement.network.network_timeout", Interval, 60, 30, 3600, Plain)        \
    X(isNetworkBackgroundSessionEnabled, "measurement.network.background_session_enabled", Switch, \
      0, 0, 1, Plain)                                                                              \
    X(monitoringSamplePeriod, "measurement.monitoring.sample_period_millis", Interval, 86400, 0,   \
      604800, Plain)                                                                               \
    X(adIDCacheTime, "measurement.ad_id_cache_time", Interval, 1, 0, 86400, Plain)                 \
    X(gateIDFAOnATTMASEnabled, "measurement.attmas_gate", Switch, 0, 0, 1, Plain)                  \
    X(attributionCacheTTLInterval, "measurement.attribution.cache.ttl", Interval, 604800, 86400,   \
      2592000, Plain)                                                                              \
    X(remoteConfigCacheTimeInterval, "measurement.config.cache_time", Interval, 3600, 60, 86400,   \
      Plain)                                                                                       \
    X(isDeferredDeepLinkEnabled, "measurement.ddl.enabled", Switch, 1, 0, 1, Plain)                \
    X(maxDeferredDeepLinkRetryCount, "measurement.ddl.retry_count", Int, 5, 0, 10, Plain)          \
    /* Consent, TCF and DMA */                                                                     \
    X(tcfFeatureEnabled, "measurement.tcf_enabled", Switch, 1, 0, 1, Plain)                        \
    X(DMAConsentEnabled, "measurement.upload.dma_consent_enabled", Switch, 1, 0, 1, Plain)         \
    X(dcuEventFeatureEnabled, "measurement.dma.dcu_event_enabled", Switch, 1, 0, 1, Plain)         \
    X(maxRealtimeDCUEventCountPerDay, "measurement.dma.dcu_event_max_realtime_daily_count", Int,   \
      1, 0, 10, Plain)                                                                             \
    X(regionalDefaultsEnabled, "measurement.regional_defaults_enabled", Switch, 1, 0, 1, Own)      \
    /* Private set membership */                                                                   \
    X(PSMFeatureEnabled, "measurement.psm_enabled", Switch, 1, 0, 1, Plain)                        \
    X(maxPSMStartCount, "measurement.psm_start_count", Int, 3, 0, 10, Own)                         \
    X(maxPSMRetryCount, "measurement.psm_retry_count", Int, 5, 0, 10, Plain)                       \
    X(PSMRetryInterval, "measurement.psm_retry_interval", Interval, 300, 30, 1800, Plain)          \
    X(hashPrefixBitLengthEmail, "measurement.psm_prefix_email", Int, 14, 6, 20, Plain)             \
    X(hashPrefixBitLengthPhone, "measurement.psm_prefix_phone", Int, 11, 6, 18, Plain)             \
    X(maxSignInDelayInDays, "measurement.psm_signin_delay", Int, 60, 7, 90, Plain)                 \
    /* SKAdNetwork conversion values */                                                            \
    X(SKANUpdateConversionValueEnabled, "measurement.skan.update_conversion_value_enabled",        \
      Switch, 0, 0, 1, Plain)                                                                      \
    X(SKANInitialCVFetchDelay, "measurement.skan.initial_cv_fetch_delay_sec", Interval, 120, 30,   \
      3600, Plain)                                                                                 \
    X(SKANCVFetchRetryInterval, "measurement.skan.cv_fetch_retry_interval_sec", Interval, 120, 30, \
      3600, Plain)                                                                                 \
    X(SKANCVFetchRetryLimit, "measurement.skan.cv_fetch_retry_limit", Int, 4, 1, 10, Plain)        \
    X(SKANFirstWindowCVFetchDelay, "measurement.skan.first_window.initial_cv_fetch_delay_sec",     \
      Interval, 20, 1, 3600, Plain)                                                                \
    X(SKANFirstWindowCVFetchRetryInterval,                                                         \
      "measurement.skan.first_window.cv_fetch_retry_interval_sec", Interval, 120, 30, 3600, Plain) \
    X(SKANFirstWindowCVFetchRetryLimit, "measurement.skan.first_window.cv_fetch_retry_limit", Int, \
      4, 1, 10, Plain)                                                                             \
    X(SKANFirstWindowUploadInterval, "measurement.skan.first_window.upload_interval_sec",          \
      Interval, 1800, 15, 86400, Plain)

enum class KLVSettingKind { Interval, Int, Int64, Switch, IntervalInt };

struct KLVSettingDescriptor {
    const char* getter;
    const char* key;
    KLVSettingKind kind;
    double defaultValue;
    double minimum;
    double maximum;
};

// One descriptor per setting, named after its getter: KLVSettings::uploadingInterval.
namespace KLVSettings {
#define KLV_SETTING_DESCRIPTOR(getter, key, kind, def, min, max, rule) \
    inline constexpr KLVSettingDescriptor getter{#getter, key, KLVSettingKind::kind, def, min, max};
KLV_REMOTE_CONFIG_SETTINGS(KLV_SETTING_DESCRIPTOR)
#undef KLV_SETTING_DESCRIPTOR
}  // namespace KLVSettings

// Every setting, in table order.
inline constexpr KLVSettingDescriptor kKLVSettingsTable[] = {
#define KLV_SETTING_ENTRY(getter, key, kind, def, min, max, rule) KLVSettings::getter,
    KLV_REMOTE_CONFIG_SETTINGS(KLV_SETTING_ENTRY)
#undef KLV_SETTING_ENTRY
};

inline constexpr std::size_t kKLVSettingsCount = std::size(kKLVSettingsTable);

}  // namespace engine
