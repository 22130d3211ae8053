#pragma once

// The engine's small persistent state outside the database: identifiers issued by the back end,
// upload and back-off times, the configuration download's validators, session numbering,
// first-open facts, deferred deep-link and search-ad bookkeeping, the default event parameters
// and the day-boundary offset. One shared object for the process, backed by one property-list
// file ("<name>.plist" in the engine's directory) through KLVPersistentDictionary. Every key is
// "/nexory/measurement/" followed by its name below.
//
// A change reaches the file about one second after it is made; synchronizeToDisk() writes it at
// once. The measurement switch alone lives in the shared engine user defaults and is written
// through on every change.
//
// Any thread may call. Typed reads and writes go straight to the store, which has a lock of its
// own, so that no caller (the main thread least of all) waits behind another's turn on a queue;
// the day-boundary offset is drawn once, and the store cleared, on the serial queue
// "KLVPersistedConfig". Missing or wrongly typed values read as 0, false or nothing.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "engine/stores/KLVConfigStore.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Object.h"

namespace engine {

inline constexpr char kKLVPersistedConfigName[] = "com.nexory.zkt.measurement";
inline constexpr char kKLVPersistedConfigQueueLabel[] = "KLVPersistedConfig";
// Where the store's file is written: reads on the store's own queue never wait for the disk.
inline constexpr char kKLVPersistedConfigDiskQueueLabel[] = "KLVPersistedConfig.disk";
inline constexpr char kKLVPersistedConfigKeyPrefix[] = "/nexory/measurement/";

// The typed values, as (getter, setter, key name). Doubles are seconds unless the name says
// milliseconds.
#define KLV_PERSISTED_DOUBLES(X)                                                                 \
    X(lastDeleteStaleBundlesTimestamp, setLastDeleteStaleBundlesTimestamp, "last_delete_stale")  \
    X(lastSearchAdLookUpTimestamp, setLastSearchAdLookUpTimestamp,                               \
      "search_ad_last_attempt_timestamp")                                                        \
    X(lastBackoffTimestamp, setLastBackoffTimestamp, "last_backoff")                             \
    X(lastSuccessfulUploadTimestamp, setLastSuccessfulUploadTimestamp, "last_successful_upload") \
    X(lastFailedUploadTimestamp, setLastFailedUploadTimestamp, "last_failed_upload")             \
    X(lastMonitorDataSampledTimestamp, setLastMonitorDataSampledTimestamp,                       \
      "last_monitor_data_sampled_timestamp")                                                     \
    X(lastSessionActivityClockTime, setLastSessionActivityClockTime, "last_engagement_end")

#define KLV_PERSISTED_INT64S(X)                                                           \
    X(searchAdRetryCount, setSearchAdRetryCount, "search_ad_number_of_retries")           \
    X(firstOpenTimestampMilliseconds, setFirstOpenTimestampMilliseconds,                  \
      "first_open_timestamp_ms")                                                          \
    X(deferredDeepLinkRetryCount, setDeferredDeepLinkRetryCount, "deep_link_retry_count") \
    X(sessionNumber, setSessionNumber, "session_number")                                  \
    X(lastUploadedEventTimestampMillis, setLastUploadedEventTimestampMillis,              \
      "last_uploaded_event_millis")                                                       \
    X(SKANEvaluationEventTimeMillis, setSKANEvaluationEventTimeMillis,                    \
      "skan_evaluation_event_time_millis")                                                \
    X(SKANEvaluationUpdateBackoffMillis, setSKANEvaluationUpdateBackoffMillis,            \
      "skan_evaluation_update_backoff_millis")

// Strings; setting nothing removes the key.
#define KLV_PERSISTED_STRINGS(X)                                                        \
    X(appInstanceID, setAppInstanceID, "app_instance_id")                               \
    X(appIDFromZKT, setAppIDFromZKT, "zkt_app_id")                                      \
    X(appIDFromVintu, setAppIDFromVintu, "vintu_app_id")                                \
    X(hashedResettableDeviceID, setHashedResettableDeviceID, "hashed_idfa")             \
    X(diversionKey, setDiversionKey, "diversion_key")                                   \
    X(appVersion, setAppVersion, "app_version")                                         \
    X(osVersion, setOSVersion, "os_version")                                            \
    X(configServerETag, setConfigServerETag, "config_etag")                             \
    X(tarnwellFeatureRollouts, setTarnwellFeatureRollouts, "tarnwell_feature_rollouts") \
    X(previousBundledConsentSignals, setPreviousBundledConsentSignals,                  \
      "previous_bundled_consent_signals")

// Booleans kept as the integers 0 and 1; any non-zero integer reads as true.
#define KLV_PERSISTED_BOOLS(X)                                                                     \
    X(shouldSetLastAdvertisingIDResetUserProperty, setShouldSetLastAdvertisingIDResetUserProperty, \
      "set_last_advertising_id_reset")                                                             \
    X(unmatchedFirstOpenWithoutIDFA, setUnmatchedFirstOpenWithoutIDFA, "unmatched_first_open")

// Objects returned as stored. These setters leave the file write to the store's own delay.
#define KLV_PERSISTED_OBJECTS(X)                                               \
    X(loadTimestampValue, setLoadTimestampValue, "load_timestamp")             \
    X(allowPersonalizedAds, setAllowPersonalizedAds, "allow_personalized_ads") \
    X(deferredDeepLinkRetrievalComplete, setDeferredDeepLinkRetrievalComplete, \
      "deep_link_retrieval_complete")

inline constexpr char kKLVSearchAdCampaignKeyName[] = "is_search_ad_campaign";
inline constexpr char kKLVMeasurementEnabledStateKeyName[] = "measurement_enabled_state";
inline constexpr char kKLVMidnightOffsetKeyName[] = "midnight_offset";
inline constexpr char kKLVConfigServerLastModifiedKeyName[] = "last_modified_since_key";
inline constexpr char kKLVPreviousFirstOpenCountKeyName[] = "previous_first_open_count";
inline constexpr char kKLVAdCampaignInfoBufferKeyName[] = "ad_campaign_info_buffer";
inline constexpr char kKLVDefaultEventParametersKeyName[] = "default_event_parameters";

// "/nexory/measurement/" + name.
std::string KLVPersistedConfigKey(std::string_view name);

class KLVPersistentDictionary;

class KLVPersistedConfig : public std::enable_shared_from_this<KLVPersistedConfig> {
  public:
    // The process-wide instance on "com.nexory.zkt.measurement"; null (logged, 27001) only if it
    // could not be made.
    static std::shared_ptr<KLVPersistedConfig> sharedInstance();
    // Moves an older copy of the file into place, then opens it. Null for an empty name. A file
    // that cannot be opened leaves the object without a store: reads are empty, writes dropped.
    static std::shared_ptr<KLVPersistedConfig> initWithSuiteName(std::string_view name);
    ~KLVPersistedConfig();
    KLVPersistedConfig(const KLVPersistedConfig&) = delete;
    KLVPersistedConfig& operator=(const KLVPersistedConfig&) = delete;

    const std::string& name() const { return name_; }

#define KLV_DECLARE_DOUBLE(getter, setter, key) \
    double getter() const;                      \
    void setter(double value);
#define KLV_DECLARE_INT64(getter, setter, key) \
    std::int64_t getter() const;               \
    void setter(std::int64_t value);
#define KLV_DECLARE_STRING(getter, setter, key) \
    std::optional<std::string> getter() const;  \
    void setter(const std::optional<std::string>& value);
#define KLV_DECLARE_BOOL(getter, setter, key) \
    bool getter() const;                      \
    void setter(bool value);
#define KLV_DECLARE_OBJECT(getter, setter, key) \
    platform::Object getter() const;            \
    void setter(const platform::Object& value);
    KLV_PERSISTED_DOUBLES(KLV_DECLARE_DOUBLE)
    KLV_PERSISTED_INT64S(KLV_DECLARE_INT64)
    KLV_PERSISTED_STRINGS(KLV_DECLARE_STRING)
    KLV_PERSISTED_BOOLS(KLV_DECLARE_BOOL)
    KLV_PERSISTED_OBJECTS(KLV_DECLARE_OBJECT)
#undef KLV_DECLARE_DOUBLE
#undef KLV_DECLARE_INT64
#undef KLV_DECLARE_STRING
#undef KLV_DECLARE_BOOL
#undef KLV_DECLARE_OBJECT

    // A number object, or null; the setter ignores anything that is not a number.
    platform::Object searchAdCampaignValue() const;
    void setSearchAdCampaignValue(const platform::Object& value);
    // A number object, or null (the setter's null removes it).
    platform::Object previousFirstOpenCount() const;
    void setPreviousFirstOpenCount(const platform::Object& value);
    // The stored object as it is.
    platform::Object configServerLastModifiedString() const;
    void setConfigServerLastModifiedString(const std::optional<std::string>& value);
    platform::Object adCampaignInfoBuffer() const;
    void setAdCampaignInfoBuffer(const platform::Object& value);
    std::optional<platform::Dictionary> defaultEventParameters() const;
    void setDefaultEventParameters(const std::optional<platform::Dictionary>& value);

    // 1 enabled, 2 disabled, 0 never set; kept in the shared engine user defaults and on disk
    // as soon as it is set.
    std::int64_t measurementEnabledState() const;
    void setMeasurementEnabledState(std::int64_t state);

    // Seconds in [0, 86400) with millisecond steps, drawn once per installation on first read.
    // Without a store it is drawn once for this object and kept, so that day numbers never jump
    // within a run.
    double midnightOffset();

    // Removes every stored value (the measurement switch stays).
    void clearValues();

    // Generic access by full key; an empty key reads as 0, false or nothing.
    bool boolForKey(std::string_view key) const;
    std::int64_t int64ForKey(std::string_view key) const;
    std::int64_t int64ForKey(std::string_view key, const KLVConfigStore& userDefault) const;
    double doubleForKey(std::string_view key) const;
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<platform::Dictionary> dictionaryForKey(std::string_view key) const;
    platform::Object numberForKey(std::string_view key) const;
    void setBool(bool value, std::string_view key);
    void setInt64(std::int64_t value, std::string_view key);
    void setDouble(double value, std::string_view key);
    void setString(const std::optional<std::string>& value, std::string_view key);
    // A dictionary holding a value without a property-list form is refused (logged, 27002).
    void setDictionary(const std::optional<platform::Dictionary>& value, std::string_view key);
    void setNumber(const platform::Object& value, std::string_view key);

    // Writes the store's pending changes 1 second after the latest write.
    void scheduleSynchronizeToDisk();
    void cancelScheduledSynchronize();
    // Writes the store's pending changes now, from any thread, and cancels the delayed write.
    void synchronizeToDisk();
    // As synchronizeToDisk(), on the store's disk queue, for callers that must not wait for the
    // disk (the app's main thread); `done` runs there afterwards.
    void synchronizeToDiskInBackground(std::function<void()> done = nullptr);

  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    KLVPersistedConfig(Key, std::string name, std::shared_ptr<KLVPersistentDictionary> store);

  private:
    platform::Object objectForKey(std::string_view key) const;
    // Writes to the store; `synchronize` schedules the delayed synchronize afterwards.
    void writeObject(const platform::Object& value, std::string_view key, bool synchronize);

    const std::string name_;
    const std::shared_ptr<KLVPersistentDictionary> userDefaults_;
    std::unique_ptr<platform::SerialQueue> serialQueue_;
    std::unique_ptr<platform::SerialQueue> diskQueue_;
    std::shared_ptr<platform::Cancelable> synchronizeBlock_;
    std::optional<double> volatileMidnightOffset_;
    mutable std::mutex lock_;
};

}  // namespace engine
