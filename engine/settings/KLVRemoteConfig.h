#pragma once

// The engine's view of the configuration the measurement service downloads for its app: one
// MeasurementConfig message. A new message is checked against the app, stored in the measurement
// database and spread into caches: the typed settings of KLVRemoteConfigSettings.h, the
// per-event configurations, the data controls, the consent defaults, delegations, regional
// defaults and core platform services, and the event-editing program handed to the rule runtime.
// Every other component reads the configuration through this object only.
//
// The measurement service makes one instance for its app ID; KLVRemoteConfig::current() answers
// it, or the shared default instance, which never holds a configuration (every getter answers its
// default). The configuration is stored through KLVRemoteConfigStorage (the database).
//
// Threads: updates, parses and database reads run on the worker queue; getters run on any queue.
// Each cache is rebuilt aside and swapped in under the object's lock, so a reader sees either the
// old or the new contents, never a cache being emptied; everything handed out is a copy.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/KLVScheduler.h"
#include "engine/messages/KLVPBMessages.h"
#include "engine/settings/KLVEManager.h"
#include "engine/settings/KLVPEventEditing.h"
#include "engine/settings/KLVRemoteConfigSettings.h"
#include "engine/settings/KLVRemoteConfigStorage.h"
#include "platform/foundation/Object.h"

namespace engine {

// Platform name the measurement service sends when it fetches the configuration.
inline constexpr char kKLVRemoteConfigPlatform[] = "ios";
// Name under which the settings register with the experiments manager.
inline constexpr char kKLVExperimentSDKName[] = "brackenfold";
inline constexpr char kKLVRegionalDefaultsEnabledFlag[] = "regional_defaults_enabled";
inline constexpr char kKLVSessionStitchingTokenFlag[] = "session_stitching_token_feature_enabled";

class KLVRemoteConfig : public KLVEClientDelegate,
                        public KLVESDKPropertyProviderDelegate,
                        public std::enable_shared_from_this<KLVRemoteConfig> {
  public:
    using Number = platform::Object;
    using NumberConversion = std::function<Number(const Number&)>;

    // The shared instance without app ID, database or configuration.
    static std::shared_ptr<KLVRemoteConfig> defaultInstance();
    // The running measurement service's settings, or the default instance when there is no
    // service or it has no settings yet; never null, never logs, takes no lock.
    static std::shared_ptr<KLVRemoteConfig> current();
    // Null, after logging, for an empty app ID (29000) or no database (29001); else the
    // designated form without a configuration.
    static std::shared_ptr<KLVRemoteConfig> initWithAppID(
        std::string_view appID, std::shared_ptr<KLVRemoteConfigStorage> database,
        std::shared_ptr<KLVEManager> experimentManager);
    // Registers with the experiments manager when one is given, then takes `measurementConfig`
    // (through updateMeasurementConfig) or, without one, the configuration stored in the
    // database. The database is held weakly.
    static std::shared_ptr<KLVRemoteConfig> initWithAppID(
        std::string_view appID, std::shared_ptr<KLVRemoteConfigStorage> database,
        const std::optional<KLVPBMeasurementConfig>& measurementConfig,
        std::shared_ptr<KLVEManager> experimentManager);
    // Settings without app ID, database or configuration, like the default instance.
    KLVRemoteConfig();
    ~KLVRemoteConfig() override;
    KLVRemoteConfig(const KLVRemoteConfig&) = delete;
    KLVRemoteConfig& operator=(const KLVRemoteConfig&) = delete;

    bool isDefaultInstance() const { return isDefaultInstance_; }
    const std::string& appID() const { return appID_; }

    // --- Configuration -------------------------------------------------------------------------

    // Checks (app IDs), stores and parses a new configuration; false, logged, when refused or
    // not stored, leaving the configuration in force.
    bool updateMeasurementConfig(const std::optional<KLVPBMeasurementConfig>& config);
    // Back to no configuration: every cache emptied, the DMA region flag set, the experiments
    // manager reset. The stored row and the event-editing program stay.
    void reset();
    // The stored configuration; nothing (logged) on the default instance, without one or on a
    // failed read.
    std::optional<KLVPBMeasurementConfig> measurementConfigFromDatabase();

    // The configuration's version; -1 without a configuration or version.
    std::int64_t version() const;
    // Grows whenever the settings in force change (a configuration applied, a reset, new
    // experiment flags): a reader that kept values derived from them may use them again while
    // this stays the same.
    std::uint64_t changeCount() const { return changeCount_.load(std::memory_order_acquire); }
    std::optional<std::string> uploadSubdomain() const;
    // Seconds since 1970 of the stored configuration; 0 on the default instance (logged), when
    // none is stored or the read fails (logged).
    double lastRemoteConfigUpdateTimestamp();
    // The configuration is at least "measurement.config.cache_time" old (either way of the
    // clock); NO on the default instance (logged).
    bool isExpired();

    // https://<configuration host>/config/app/<app
    // ID>?platform=..&runtime_version=..&zkt_version=.. Nothing for an empty platform (logged,
    // 29010) or without a configured host.
    std::optional<std::string> remoteConfigURLWithPlatform(std::string_view platform,
                                                           std::int64_t SDKVersion,
                                                           std::int64_t runtimeVersion) const;
    // https://[<subdomain>.]<measurement host>/a, the alternative host while tracking is
    // authorised; nothing without a configured host. A subdomain of other characters than
    // letters, digits, "." and "-" is left out.
    std::optional<std::string> uploadURL() const;

    // --- Per-event configuration ---------------------------------------------------------------

    // The configuration of an event by its internal name; nothing for an empty name (logged).
    std::optional<KLVPBEventConfig> eventConfigWithName(std::string_view name) const;
    // An event with its own configuration is blocked exactly when that says so; others follow
    // blocklistPublic() or blocklistInternal() by their name.
    bool isEventBlocklisted(std::string_view name) const;
    bool isEventCustomConversion(std::string_view name) const;
    bool eventHasSamplingRate(std::string_view name) const;
    // The configured rate when it lies in 2 to 65535; 1 otherwise.
    std::int32_t samplingRateForEvent(std::string_view name) const;

    // --- Consent, data controls, event editing -------------------------------------------------

    std::vector<std::string> dataControls() const;
    platform::Dictionary consentDefaults() const;
    platform::Dictionary consentDelegations() const;
    platform::Dictionary regionalDefaults() const;
    std::set<std::string> corePlatformServices() const;
    bool isDMARegion() const;
    // The loaded event-editing runtime; null when none (events then pass unedited).
    std::shared_ptr<KLVPEventEditing> eventEditing() const;

    // --- Experiments ---------------------------------------------------------------------------

    // Activates a snapshot the client reported; false when none is new or activation failed.
    bool activateNewSnapshot();
    void updateCachedExperimentFlags();
    platform::Array experimentIDs() const;

    void clientDidReceiveNewSnapshot(KLVEClient& client) override;
    void client(KLVEClient& client, const platform::Error* didReceiveFetchError) override;
    // Only while the measurement service exists and is enabled.
    bool shouldFetchExperimentsForClient(KLVEClient& client) override;

    // --- Typed settings ------------------------------------------------------------------------

#define KLV_SETTING_TYPE_Interval double
#define KLV_SETTING_TYPE_Int std::int32_t
#define KLV_SETTING_TYPE_Int64 std::int64_t
#define KLV_SETTING_TYPE_Switch bool
#define KLV_SETTING_TYPE_IntervalInt std::int32_t
#define KLV_DECLARE_SETTING_GETTER(getter, key, kind, def, min, max, rule) \
    KLV_SETTING_TYPE_##kind getter() const;
    KLV_REMOTE_CONFIG_SETTINGS(KLV_DECLARE_SETTING_GETTER)
#undef KLV_DECLARE_SETTING_GETTER

    // maxPublicEventParameterValueLength() when above 256, else 256.
    std::int32_t maxInternalEventParameterValueLength() const;

    // The typed cache accessors the getters are made of. The first read of a key after a parse
    // converts its text (nothing, not a number, or outside a given bound: the default) and
    // caches the number; later reads answer the cached number.
    Number numberFromCacheWithKey(std::string_view key, const Number& defaultValue,
                                  const Number& maxValue, const Number& minValue,
                                  const NumberConversion& block = {}) const;
    double timeIntervalInSecondsFromCacheWithKey(std::string_view key, double defaultValue,
                                                 double maxValue, double minValue) const;
    std::int32_t intValueFromCacheWithKey(std::string_view key, std::int32_t defaultValue,
                                          std::int32_t maxValue, std::int32_t minValue) const;
    std::int64_t int64ValueFromCacheWithKey(std::string_view key, std::int64_t defaultValue,
                                            std::int64_t maxValue, std::int64_t minValue) const;
    std::int64_t int64ValueFromCacheWithKey(std::string_view key, std::int64_t defaultValue) const;
    bool boolValueFromCacheWithKey(std::string_view key, bool defaultValue) const;

    // A setting text as a number, locale-free: an optional sign, digits and an optional
    // fraction ("-12", "0.5"); nothing for any other text (blanks, exponents, commas, ".5").
    static std::optional<Number> numberFromString(std::string_view text);
    // The cached object of a key as text (what the rule runtime's settings module answers).
    std::optional<std::string> cachedSettingText(std::string_view key) const;

  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    KLVRemoteConfig(Key, std::string appID, std::shared_ptr<KLVRemoteConfigStorage> database,
                    std::shared_ptr<KLVEManager> experimentManager);

    // What is in force: the configuration and what was parsed from it. A caller that applies a
    // configuration together with other data (its audiences) puts the earlier one back when the
    // whole could not be stored.
    struct InForce;
    InForce inForce() const;
    void restoreInForce(InForce inForce);

  private:
    using SettingsCache = std::map<std::string, platform::Object, std::less<>>;
    using EventConfigCache = std::map<std::string, KLVPBEventConfig, std::less<>>;

    // What one parse rebuilds after the event-editing step.
    struct ConsentCaches {
        platform::Dictionary defaults;
        platform::Dictionary delegations;
        std::set<std::string> corePlatformServices;
        bool isDMARegion = true;
        platform::Dictionary regionalDefaults;
    };

    void registerWithExperimentManager();
    void loadInitialConfiguration(const std::optional<KLVPBMeasurementConfig>& config);
    // What one configuration puts in force, built without any lock.
    struct ParsedConfig {
        SettingsCache settings;
        EventConfigCache eventConfigs;
        // Nothing: keep the current runtime (no programs, or no rule runtime in this process);
        // null: the programs failed to load (the runtime is dropped, the rest left out).
        std::optional<std::shared_ptr<KLVPEventEditing>> eventEditing;
        std::vector<std::string> dataControls;
        std::optional<ConsentCaches> consent;
        SettingsCache psmSettings;
        // False when the programs failed: only the settings and event configurations apply.
        bool complete = false;
    };
    // Nothing for a configuration without settings or of another app.
    std::optional<ParsedConfig> parseRemoteConfigFromMeasurementConfig(
        const KLVPBMeasurementConfig& config);
    // Under the update lock.
    void applyParsedConfig(ParsedConfig parsed);
    std::optional<std::shared_ptr<KLVPEventEditing>> loadEventEditingPrograms(
        const std::vector<KLVPBProgram>& programs);
    void registerModuleCreators(KLVPEventEditing& eventEditing);
    std::optional<KLVPBEventConfig> cachedEventConfig(std::string_view name) const;
    // Under the cache lock.
    Number numberFromCacheLocked(std::string_view key, const Number& defaultValue,
                                 const Number& maxValue, const Number& minValue,
                                 const NumberConversion& block) const;

    const bool isDefaultInstance_;
    const std::string appID_;
    const std::weak_ptr<KLVRemoteConfigStorage> database_;
    // The store is the worker queue's: debug builds stop at a call from elsewhere.
    KLVSequenceChecker storageSequence_;
    const std::shared_ptr<KLVEManager> experimentManager_;
    std::shared_ptr<KLVEClient> experimentClient_;

    // Serialises putting a configuration in force with resets (the store write and the parse run
    // before it is taken).
    std::mutex updateMutex_;

    // Guards every cache below. Getters convert and re-cache settings under it.
    mutable std::mutex cacheMutex_;
    // The one way to change what the caches say: holds the cache lock and raises the change
    // count as it lets go, after the change, so that a reader keeping what it derived from the
    // settings sees the count move whichever writer changed them.
    class CacheChange {
      public:
        explicit CacheChange(KLVRemoteConfig& settings)
            : changeCount_(settings.changeCount_), lock_(settings.cacheMutex_) {}
        ~CacheChange() { changeCount_.fetch_add(1, std::memory_order_acq_rel); }
        CacheChange(const CacheChange&) = delete;
        CacheChange& operator=(const CacheChange&) = delete;

      private:
        std::atomic<std::uint64_t>& changeCount_;
        std::lock_guard<std::mutex> lock_;
    };
    mutable SettingsCache settings_;
    EventConfigCache eventConfigs_;
    std::vector<std::string> dataControls_;
    ConsentCaches consent_;
    SettingsCache experimentFlags_;
    std::optional<KLVPBMeasurementConfig> remoteConfigProto_;
    std::shared_ptr<KLVPEventEditing> eventEditing_;

    std::mutex snapshotMutex_;
    bool hasNewSnapshot_ = false;
    std::atomic<std::uint64_t> changeCount_{0};

  public:
    struct InForce {
        SettingsCache settings;
        EventConfigCache eventConfigs;
        std::vector<std::string> dataControls;
        ConsentCaches consent;
        std::optional<KLVPBMeasurementConfig> config;
        std::shared_ptr<KLVPEventEditing> eventEditing;
    };
};

}  // namespace engine
