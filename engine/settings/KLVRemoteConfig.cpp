#include "engine/settings/KLVRemoteConfig.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "engine/base/KLVBoolValue.h"
#include "engine/base/KLVDictionaryQuery.h"
#include "engine/base/KLVEventNameMap.h"
#include "engine/base/KLVMeasurementBase.h"
#include "engine/base/KLVScheduler.h"
#include "engine/environment/KLVDataCollectionOrigin.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SharedInstance.h"

namespace engine {

using platform::Dictionary;
using platform::Object;

namespace {

// The origin of the advertising component, whose configuration must also carry its own app ID.
constexpr char kVintuOrigin[] = "vu";
constexpr std::int32_t kMinimumInternalParameterValueLength = 256;
constexpr std::int32_t kMinimumSamplingRate = 2;
constexpr std::int32_t kMaximumSamplingRate = 65535;
constexpr std::int32_t kDebugModePSMStartCount = 10;

// The shared default instance, dropped by a test reset.
struct DefaultInstanceSlot {
    std::shared_ptr<KLVRemoteConfig> instance = std::make_shared<KLVRemoteConfig>();
};

// The elements of a repeated message field; none when it cannot be read.
template <class T>
std::vector<T> messagesOf(NANOMessageRef message, std::int32_t field) {
    return NANOGetArray<T>(message, field).value_or(std::vector<T>{});
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Characters a path segment may carry as they are.
bool isPathSegmentCharacter(char c) {
    static constexpr std::string_view kAllowed = "-._~!$&'()*+,;=:@";
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) ||
           kAllowed.find(c) != std::string_view::npos;
}

std::string percentEncodedPathSegment(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        if (isPathSegmentCharacter(c)) {
            out.push_back(c);
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        out.push_back('%');
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0x0F]);
    }
    return out;
}

std::optional<double> asDouble(const Object& number) {
    return number.numberAsDouble();
}

// The server's milliseconds, by their integer part, as seconds.
Object millisecondsToSeconds(const Object& number) {
    const auto milliseconds = number.numberAsInteger();
    if (!milliseconds) return {};
    return Object(static_cast<double>(*milliseconds) / 1000.0);
}

// A cached number as a 32-bit integer, its fraction dropped; nothing when it does not fit.
std::optional<std::int32_t> int32Value(const Object& number) {
    const auto value = number.numberAsInteger();
    if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
        *value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*value);
}

bool hasError(const platform::Error& error) {
    return !error.domain.empty() || error.code != 0;
}

// Consent entries (type and status enums) as type name to status text; unnamed ones skipped.
Dictionary consentDefaultsFromEntries(const KLVPBConsentConfig& consentConfig, std::int32_t field) {
    Dictionary result;
    for (const auto& entry : messagesOf<KLVPBConsentDefaultEntry>(consentConfig, field)) {
        const auto type = KLVConsentTypeName(NANOGetInt32(entry, KLVPBConsentDefaultEntry::type));
        const auto status =
            KLVConsentStatusString(NANOGetInt32(entry, KLVPBConsentDefaultEntry::status));
        if (type && status) result.insert_or_assign(*type, *status);
    }
    return result;
}

Dictionary consentDelegationsFromConfig(const KLVPBConsentConfig& consentConfig) {
    Dictionary result;
    for (const auto& entry :
         messagesOf<KLVPBConsentDelegationEntry>(consentConfig, KLVPBConsentConfig::delegations)) {
        const auto type =
            KLVConsentTypeName(NANOGetInt32(entry, KLVPBConsentDelegationEntry::type));
        const auto delegate =
            KLVConsentTypeName(NANOGetInt32(entry, KLVPBConsentDelegationEntry::delegate_type));
        if (type && delegate) result.insert_or_assign(*type, *delegate);
    }
    return result;
}

std::set<std::string> corePlatformServicesFromConfig(const KLVPBConsentConfig& consentConfig) {
    std::set<std::string> result;
    for (const auto& entry : messagesOf<KLVPBCorePlatformServiceEntry>(
             consentConfig, KLVPBConsentConfig::core_platform_services)) {
        if (auto name = NANOGetString(entry, KLVPBCorePlatformServiceEntry::name)) {
            result.insert(std::move(*name));
        }
    }
    return result;
}

struct PsmField {
    std::int32_t field;
    const char* key;
};
constexpr PsmField kPsmFields[] = {
    {KLVPBPsmSetting::prefix_email, KLVSettings::hashPrefixBitLengthEmail.key},
    {KLVPBPsmSetting::prefix_phone, KLVSettings::hashPrefixBitLengthPhone.key},
    {KLVPBPsmSetting::signin_delay, KLVSettings::maxSignInDelayInDays.key},
};

// The app version the running measurement service's identity reports (the main bundle's
// "CFBundleShortVersionString", which the identity reads the same way), when it has one.
std::optional<std::string> serviceAppVersion() {
    const auto service = KLVMeasurementBase::currentInstance();
    if (!service || !service->identity()) return std::nullopt;
    const auto version =
        platform::Bundle::mainBundle().objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (!version.isString()) return std::nullopt;
    return version.asString();
}

Dictionary appMetadata() {
    Dictionary metadata{
        {"platform", kKLVRemoteConfigPlatform},
        {"package_name", platform::Bundle::mainBundle().bundleIdentifier()},
        {"zkt_version", kKLVBrackenfoldLibraryVersion},
    };
    if (auto version = serviceAppVersion()) metadata.insert_or_assign("app_version", *version);
    return metadata;
}

}  // namespace

// --- Creation ------------------------------------------------------------------------------

KLVRemoteConfig::KLVRemoteConfig() : KLVRemoteConfig(Key{}, {}, nullptr, nullptr) {}

KLVRemoteConfig::KLVRemoteConfig(Key, std::string appID,
                                 std::shared_ptr<KLVRemoteConfigStorage> database,
                                 std::shared_ptr<KLVEManager> experimentManager)
    : isDefaultInstance_(database == nullptr && appID.empty()),
      appID_(std::move(appID)),
      database_(database),
      experimentManager_(std::move(experimentManager)) {}

KLVRemoteConfig::~KLVRemoteConfig() = default;

std::shared_ptr<KLVRemoteConfig> KLVRemoteConfig::defaultInstance() {
    return platform::SharedInstance<DefaultInstanceSlot>::get().instance;
}

std::shared_ptr<KLVRemoteConfig> KLVRemoteConfig::current() {
    if (const auto service = KLVMeasurementBase::currentInstance()) {
        if (auto settings = service->remoteConfigInstance()) return settings;
    }
    return defaultInstance();
}

std::shared_ptr<KLVRemoteConfig> KLVRemoteConfig::initWithAppID(
    std::string_view appID, std::shared_ptr<KLVRemoteConfigStorage> database,
    std::shared_ptr<KLVEManager> experimentManager) {
    if (appID.empty()) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 29000,
                               "Cannot init remote configuration without valid Nexory App ID");
        return nullptr;
    }
    if (!database) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 29001,
                               "Cannot init remote configuration without valid database");
        return nullptr;
    }
    return initWithAppID(appID, std::move(database), std::nullopt, std::move(experimentManager));
}

std::shared_ptr<KLVRemoteConfig> KLVRemoteConfig::initWithAppID(
    std::string_view appID, std::shared_ptr<KLVRemoteConfigStorage> database,
    const std::optional<KLVPBMeasurementConfig>& measurementConfig,
    std::shared_ptr<KLVEManager> experimentManager) {
    auto config = std::make_shared<KLVRemoteConfig>(Key{}, std::string(appID), std::move(database),
                                                    std::move(experimentManager));
    config->registerWithExperimentManager();
    if (!config->isDefaultInstance_) config->loadInitialConfiguration(measurementConfig);
    return config;
}

void KLVRemoteConfig::registerWithExperimentManager() {
    if (!experimentManager_) return;
    auto property = KLVESDKProperty::initWithName(kKLVExperimentSDKName);
    property.setVersion(kKLVBrackenfoldLibraryVersion);
    property.setDelegate(weak_from_this());
    experimentClient_ = experimentManager_->registerSDKProperty(property, Dictionary{});
    if (!experimentClient_) return;
    experimentClient_->setDelegate(weak_from_this());

    platform::Error error;
    if (!experimentClient_->activateLatestSnapshot(&error) && hasError(error)) {
        monitor().logWithLevel(kKLVLogErrorSilent, 29023, "Cannot activate stale snapshot. Error",
                               error);
    }
    updateCachedExperimentFlags();
}

void KLVRemoteConfig::loadInitialConfiguration(
    const std::optional<KLVPBMeasurementConfig>& config) {
    if (config) {
        updateMeasurementConfig(config);
        return;
    }
    auto stored = measurementConfigFromDatabase();
    auto parsed = stored ? parseRemoteConfigFromMeasurementConfig(*stored) : std::nullopt;
    std::lock_guard update(updateMutex_);
    {
        CacheChange change(*this);
        remoteConfigProto_ = stored;
    }
    if (parsed) applyParsedConfig(std::move(*parsed));
}

// --- Accepting and parsing a configuration --------------------------------------------------

bool KLVRemoteConfig::updateMeasurementConfig(const std::optional<KLVPBMeasurementConfig>& config) {
    // Settings also live without a service and its worker queue: storageSequence_ guards the store.
    KLVScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
    if (isDefaultInstance_) {
        monitor().logWithLevel(kKLVLogErrorSilent, 29002,
                               "Cannot update the default measurement configuration");
        return false;
    }
    if (!config) {
        monitor().logWithLevel(kKLVLogWarningSilent, 29003,
                               "Cannot set empty measurement config to database");
        return false;
    }
    if (KLVDataCollectionOrigin::origin() == kVintuOrigin &&
        NANOGetString(*config, KLVPBMeasurementConfig::vintu_app_id) != appID_) {
        monitor().logWithLevel(kKLVLogErrorSilent, 29022,
                               "Cannot set measurement config when Vintu App ID does not match");
        return false;
    }
    if (NANOGetString(*config, KLVPBMeasurementConfig::app_id) != appID_) {
        monitor().logWithLevel(kKLVLogErrorSilent, 29004,
                               "Cannot set measurement config when Nexory App ID does not match");
        return false;
    }

    // The store write and the parse (which compiles the event-editing programs) run outside the
    // update lock; only putting the result in force is serialised with other updates and resets.
    storageSequence_.check("KLVRemoteConfigStorage");
    const auto database = database_.lock();
    platform::Error error;
    if (!database || !database->updateRemoteConfig(*config, &error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 29005,
                               "Cannot store config into the database",
                               database ? MonitorContext(error) : MonitorContext());
        return false;
    }
    auto parsed = parseRemoteConfigFromMeasurementConfig(*config);
    std::lock_guard update(updateMutex_);
    {
        CacheChange change(*this);
        remoteConfigProto_ = *config;
    }
    if (parsed) applyParsedConfig(std::move(*parsed));
    return true;
}

std::optional<KLVRemoteConfig::ParsedConfig>
KLVRemoteConfig::parseRemoteConfigFromMeasurementConfig(const KLVPBMeasurementConfig& config) {
    const auto settings = NANOGetArray<KLVPBSetting>(config, KLVPBMeasurementConfig::settings);
    if (!settings || settings->empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 29012,
                               "Cannot parse empty measurement config. Using default values");
        return std::nullopt;
    }
    if (NANOGetString(config, KLVPBMeasurementConfig::app_id) != appID_) return std::nullopt;

    ParsedConfig parsed;
    SettingsCache& newSettings = parsed.settings;
    for (const auto& setting : *settings) {
        const auto key = NANOGetString(setting, KLVPBSetting::name);
        auto value = NANOGetString(setting, KLVPBSetting::value);
        if (!key || key->empty() || !value) {
            monitor().logWithLevel(kKLVLogWarningSilent, 29019,
                                   "Cannot cache empty configuration value");
            continue;
        }
        newSettings.insert_or_assign(*key, Object(std::move(*value)));
    }

    EventConfigCache& newEventConfigs = parsed.eventConfigs;
    const auto& nameMap = KLVEventNameMap();
    for (auto& eventConfig :
         messagesOf<KLVPBEventConfig>(config, KLVPBMeasurementConfig::event_config)) {
        const auto name = NANOGetString(eventConfig, KLVPBEventConfig::name);
        if (!name || name->empty()) {
            monitor().logWithLevel(
                kKLVLogWarningSilent, 29013,
                "Cannot cache event configuration with an empty configuration name");
            continue;
        }
        const auto internal = nameMap.find(*name);
        newEventConfigs.insert_or_assign(internal != nameMap.end() ? internal->second : *name,
                                         std::move(eventConfig));
    }

    if (NANOHasField(config, KLVPBMeasurementConfig::version)) {
        monitor().logWithLevel(kKLVLogDebug, 29014, "Successfully parsed a configuration. Version",
                               NANOGetInt64(config, KLVPBMeasurementConfig::version));
    }

    const auto programs =
        messagesOf<KLVPBProgram>(config, KLVPBMeasurementConfig::dynamic_event_editing);
    if (!programs.empty()) {
        parsed.eventEditing = loadEventEditingPrograms(programs);
        // A program that fails to load drops the old one and leaves the rest of this
        // configuration out.
        if (parsed.eventEditing && !*parsed.eventEditing) return parsed;
    }

    std::vector<std::string>& newDataControls = parsed.dataControls;
    for (const auto& dataControl :
         messagesOf<KLVPBDataControl>(config, KLVPBMeasurementConfig::data_controls)) {
        if (auto name = NANOGetString(dataControl, KLVPBDataControl::name)) {
            newDataControls.push_back(std::move(*name));
        }
    }

    std::optional<ConsentCaches>& newConsent = parsed.consent;
    if (const auto consentConfig =
            NANOGetMessage<KLVPBConsentConfig>(config, KLVPBMeasurementConfig::consent_config)) {
        newConsent = ConsentCaches{
            consentDefaultsFromEntries(*consentConfig, KLVPBConsentConfig::defaults),
            consentDelegationsFromConfig(*consentConfig),
            corePlatformServicesFromConfig(*consentConfig),
            NANOGetBool(*consentConfig, KLVPBConsentConfig::dma_region),
            consentDefaultsFromEntries(*consentConfig, KLVPBConsentConfig::enforced_defaults),
        };
    }

    if (const auto psmSetting =
            NANOGetMessage<KLVPBPsmSetting>(config, KLVPBMeasurementConfig::psm_setting)) {
        for (const auto& field : kPsmFields) {
            if (NANOHasField(*psmSetting, field.field)) {
                parsed.psmSettings.insert_or_assign(field.key,
                                                    Object(NANOGetInt32(*psmSetting, field.field)));
            }
        }
    }
    parsed.complete = true;
    return parsed;
}

KLVRemoteConfig::InForce KLVRemoteConfig::inForce() const {
    std::lock_guard lock(cacheMutex_);
    return {settings_, eventConfigs_, dataControls_, consent_, remoteConfigProto_, eventEditing_};
}

void KLVRemoteConfig::restoreInForce(InForce inForce) {
    std::lock_guard update(updateMutex_);
    CacheChange change(*this);
    settings_.swap(inForce.settings);
    eventConfigs_.swap(inForce.eventConfigs);
    dataControls_.swap(inForce.dataControls);
    std::swap(consent_, inForce.consent);
    remoteConfigProto_.swap(inForce.config);
    eventEditing_.swap(inForce.eventEditing);
}

void KLVRemoteConfig::applyParsedConfig(ParsedConfig parsed) {
    CacheChange change(*this);
    settings_.swap(parsed.settings);
    eventConfigs_.swap(parsed.eventConfigs);
    if (parsed.eventEditing) eventEditing_ = std::move(*parsed.eventEditing);
    if (!parsed.complete) return;
    dataControls_.swap(parsed.dataControls);
    if (parsed.consent) std::swap(consent_, *parsed.consent);
    for (auto& [key, value] : parsed.psmSettings)
        settings_.insert_or_assign(key, std::move(value));
}

std::optional<std::shared_ptr<KLVPEventEditing>> KLVRemoteConfig::loadEventEditingPrograms(
    const std::vector<KLVPBProgram>& programs) {
    auto eventEditing = KLVPEventEditing::init();
    // Without a rule runtime in this process there is nothing to load the programs into; events
    // pass unedited and the rest of the configuration applies.
    if (!eventEditing) return std::nullopt;
    registerModuleCreators(*eventEditing);

    platform::Error error;
    if (!eventEditing->loadProgram(programs.front(), &error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 29026,
                               "Failed to initiate event editing instance");
        return std::shared_ptr<KLVPEventEditing>();
    }
    monitor().logWithLevel(kKLVLogDebug, 29027, "Loading Event Modification and Creation programs",
                           static_cast<std::int64_t>(programs.size()));
    return eventEditing;
}

void KLVRemoteConfig::registerModuleCreators(KLVPEventEditing& eventEditing) {
    // Weak: the runtime is owned by this object and keeps its creators.
    const std::weak_ptr<const KLVRemoteConfig> weakSelf = weak_from_this();
    eventEditing.setModuleCreator(
        [weakSelf]() -> KLVPModule {
            return KLVPKeyValueStore{
                "internal.remoteConfig",
                [weakSelf](const std::string& key) -> std::optional<std::string> {
                    const auto self = weakSelf.lock();
                    return self ? self->cachedSettingText(key) : std::nullopt;
                }};
        },
        "internal.remoteConfig");
    eventEditing.setModuleCreator(
        []() -> KLVPModule {
            return KLVPObjectProvider{"internal.appMetadata", appMetadata};
        },
        "internal.appMetadata");
    eventEditing.setModuleCreator(
        []() -> KLVPModule { return KLVPMessageLogger{std::make_shared<KLVPixieLogger>()}; },
        "internal.logger");
}

std::optional<KLVPBMeasurementConfig> KLVRemoteConfig::measurementConfigFromDatabase() {
    // Settings also live without a service and its worker queue: storageSequence_ guards the store.
    KLVScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
    if (isDefaultInstance_) {
        monitor().logWithLevel(kKLVLogErrorSilent, 29015,
                               "Cannot retrieve a measurement configuration from the database for "
                               "the default instance");
        return std::nullopt;
    }
    storageSequence_.check("KLVRemoteConfigStorage");
    const auto database = database_.lock();
    platform::Error error;
    auto config = database ? database->queryMeasurementConfigWithError(&error) : std::nullopt;
    if (config) return config;
    if (hasError(error)) {
        monitor().logWithLevel(kKLVLogErrorSilent, 29016,
                               "Cannot retrieve configuration data from database. Error", error);
    } else {
        monitor().logWithLevel(kKLVLogDebug, 29017,
                               "Configuration was not found in database. The configuration will "
                               "be fetched from the network when necessary");
    }
    return std::nullopt;
}

void KLVRemoteConfig::reset() {
    std::lock_guard update(updateMutex_);
    SettingsCache oldSettings;
    EventConfigCache oldEventConfigs;
    std::vector<std::string> oldDataControls;
    ConsentCaches oldConsent;
    SettingsCache oldFlags;
    std::optional<KLVPBMeasurementConfig> oldConfig;
    {
        CacheChange change(*this);
        settings_.swap(oldSettings);
        eventConfigs_.swap(oldEventConfigs);
        dataControls_.swap(oldDataControls);
        std::swap(consent_, oldConsent);
        experimentFlags_.swap(oldFlags);
        if (!isDefaultInstance_) remoteConfigProto_.swap(oldConfig);
    }
    if (experimentManager_) experimentManager_->reset();
}

// --- Age, version and URLs ------------------------------------------------------------------

std::int64_t KLVRemoteConfig::version() const {
    std::lock_guard lock(cacheMutex_);
    if (!remoteConfigProto_ ||
        !NANOHasField(*remoteConfigProto_, KLVPBMeasurementConfig::version)) {
        return -1;
    }
    return NANOGetInt64(*remoteConfigProto_, KLVPBMeasurementConfig::version);
}

std::optional<std::string> KLVRemoteConfig::uploadSubdomain() const {
    std::lock_guard lock(cacheMutex_);
    if (!remoteConfigProto_) return std::nullopt;
    return NANOGetString(*remoteConfigProto_, KLVPBMeasurementConfig::upload_subdomain);
}

double KLVRemoteConfig::lastRemoteConfigUpdateTimestamp() {
    if (isDefaultInstance_) {
        monitor().logWithLevel(
            kKLVLogErrorSilent, 29008,
            "Cannot fetch the last configuration update timestamp from the default instance");
        return 0;
    }
    storageSequence_.check("KLVRemoteConfigStorage");
    const auto database = database_.lock();
    if (!database) return 0;
    platform::Error error;
    const auto timestamp = database->lastRemoteConfigUpdateTimestamp(&error);
    if (!timestamp && hasError(error)) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 29009,
                               "Failed to query last configuration update timestamp. Error", error);
    }
    if (!timestamp) return 0;
    return timestamp->numberAsDouble().value_or(0);
}

bool KLVRemoteConfig::isExpired() {
    if (isDefaultInstance_) {
        monitor().logWithLevel(
            kKLVLogErrorSilent, 29007,
            "Cannot fetch the last update timestamp from the default configuration");
        return false;
    }
    const double age =
        std::fabs(platform::Clock::current().now() - lastRemoteConfigUpdateTimestamp());
    return age >= remoteConfigCacheTimeInterval();
}

std::optional<std::string> KLVRemoteConfig::remoteConfigURLWithPlatform(
    std::string_view platform, std::int64_t SDKVersion, std::int64_t runtimeVersion) const {
    if (platform.empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 29010,
                               "Cannot create a URL to fetch a configuration with empty platform");
        return std::nullopt;
    }
    const auto host = KLVServerHosts::current().configHost;
    if (!host) return std::nullopt;
    const Dictionary query{
        {"platform", platform}, {"runtime_version", runtimeVersion}, {"zkt_version", SDKVersion}};
    return "https://" + *host + "/config/app/" + percentEncodedPathSegment(appID_) + "?" +
           klv_queryString(query);
}

std::optional<std::string> KLVRemoteConfig::uploadURL() const {
    const auto hosts = KLVServerHosts::current();
    const bool authorized = KLVDefaultIdentitySupport::sharedInstance()->appDataConsentStatus() ==
                            static_cast<std::int64_t>(kKLVTrackingAuthorized);
    const auto& host = authorized ? hosts.alternativeUploadHost : hosts.uploadHost;
    if (!host) return std::nullopt;
    // The subdomain comes from the downloaded configuration: one that could carry a path,
    // user or port ("x.test/#") would move the upload to another server, so it is not used.
    const auto subdomain = uploadSubdomain();
    const bool useSubdomain = subdomain && KLVServerHosts::isValidSubdomain(*subdomain);
    const std::string prefix = useSubdomain ? *subdomain + "." : "";
    return "https://" + prefix + *host + "/a";
}

// --- Per-event configuration ----------------------------------------------------------------

std::optional<KLVPBEventConfig> KLVRemoteConfig::cachedEventConfig(std::string_view name) const {
    if (name.empty()) {
        monitor().logWithLevel(kKLVLogWarningSilent, 29006,
                               "Cannot find event config with empty event name");
        return std::nullopt;
    }
    std::lock_guard lock(cacheMutex_);
    const auto it = eventConfigs_.find(name);
    if (it == eventConfigs_.end()) return std::nullopt;
    return it->second;
}

std::optional<KLVPBEventConfig> KLVRemoteConfig::eventConfigWithName(std::string_view name) const {
    return cachedEventConfig(name);
}

bool KLVRemoteConfig::isEventBlocklisted(std::string_view name) const {
    if (const auto config = cachedEventConfig(name)) {
        return NANOGetBool(*config, KLVPBEventConfig::blocklisted);
    }
    return KLVIsPublicName(Object(name)) ? blocklistPublic() : blocklistInternal();
}

bool KLVRemoteConfig::isEventCustomConversion(std::string_view name) const {
    const auto config = cachedEventConfig(name);
    return config && NANOGetBool(*config, KLVPBEventConfig::custom_conversion);
}

bool KLVRemoteConfig::eventHasSamplingRate(std::string_view name) const {
    const auto config = cachedEventConfig(name);
    return config && NANOHasField(*config, KLVPBEventConfig::sampling_rate);
}

std::int32_t KLVRemoteConfig::samplingRateForEvent(std::string_view name) const {
    const auto config = cachedEventConfig(name);
    if (!config) return 1;
    const std::int32_t rate = NANOGetInt32(*config, KLVPBEventConfig::sampling_rate);
    return rate >= kMinimumSamplingRate && rate <= kMaximumSamplingRate ? rate : 1;
}

// --- Consent, data controls, event editing ----------------------------------------------------

std::vector<std::string> KLVRemoteConfig::dataControls() const {
    std::lock_guard lock(cacheMutex_);
    return dataControls_;
}

Dictionary KLVRemoteConfig::consentDefaults() const {
    std::lock_guard lock(cacheMutex_);
    return consent_.defaults;
}

Dictionary KLVRemoteConfig::consentDelegations() const {
    std::lock_guard lock(cacheMutex_);
    return consent_.delegations;
}

Dictionary KLVRemoteConfig::regionalDefaults() const {
    std::lock_guard lock(cacheMutex_);
    return consent_.regionalDefaults;
}

std::set<std::string> KLVRemoteConfig::corePlatformServices() const {
    std::lock_guard lock(cacheMutex_);
    return consent_.corePlatformServices;
}

bool KLVRemoteConfig::isDMARegion() const {
    std::lock_guard lock(cacheMutex_);
    return consent_.isDMARegion;
}

std::shared_ptr<KLVPEventEditing> KLVRemoteConfig::eventEditing() const {
    std::lock_guard lock(cacheMutex_);
    return eventEditing_;
}

// --- Experiments -----------------------------------------------------------------------------

bool KLVRemoteConfig::activateNewSnapshot() {
    // The flag is taken before the activation: a snapshot announced while this one activates
    // sets it again and is activated next time, instead of being cleared unseen.
    {
        std::lock_guard lock(snapshotMutex_);
        if (!std::exchange(hasNewSnapshot_, false)) return false;
    }
    platform::Error error;
    if (!experimentClient_ || !experimentClient_->activateLatestSnapshot(&error)) {
        if (experimentClient_) {
            monitor().logWithLevel(kKLVLogErrorSilent, 29024, "Cannot activate snapshot. Error",
                                   error);
        }
        // Still pending: a later call tries again.
        std::lock_guard lock(snapshotMutex_);
        hasNewSnapshot_ = true;
        return false;
    }
    updateCachedExperimentFlags();
    return true;
}

void KLVRemoteConfig::updateCachedExperimentFlags() {
    if (!experimentClient_) return;
    Object value = experimentClient_->objectForKeyedSubscript(kKLVRegionalDefaultsEnabledFlag);
    CacheChange change(*this);
    if (value.isNull()) {
        experimentFlags_.erase(kKLVRegionalDefaultsEnabledFlag);
    } else {
        experimentFlags_.insert_or_assign(kKLVRegionalDefaultsEnabledFlag, std::move(value));
    }
}

platform::Array KLVRemoteConfig::experimentIDs() const {
    return experimentManager_ ? experimentManager_->experimentIDs() : platform::Array{};
}

void KLVRemoteConfig::clientDidReceiveNewSnapshot(KLVEClient&) {
    std::lock_guard lock(snapshotMutex_);
    hasNewSnapshot_ = true;
}

void KLVRemoteConfig::client(KLVEClient&, const platform::Error* didReceiveFetchError) {
    if (!didReceiveFetchError) return;
    monitor().logWithLevel(kKLVLogErrorSilent, 29025, "Cannot fetch experiment. Error",
                           *didReceiveFetchError);
}

bool KLVRemoteConfig::shouldFetchExperimentsForClient(KLVEClient&) {
    if (!KLVMeasurementBase::hasSharedInstance()) return false;
    const auto service = KLVMeasurementBase::sharedInstance();
    return service && service->isEnabled();
}

// --- Typed settings ---------------------------------------------------------------------------

std::optional<KLVRemoteConfig::Number> KLVRemoteConfig::numberFromString(std::string_view text) {
    std::size_t i = 0;
    const bool hasSign = !text.empty() && (text[0] == '+' || text[0] == '-');
    if (hasSign) ++i;
    const std::size_t integerStart = i;
    while (i < text.size() && isDigit(text[i]))
        ++i;
    if (i == integerStart) return std::nullopt;
    bool hasFraction = false;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fractionStart = ++i;
        while (i < text.size() && isDigit(text[i]))
            ++i;
        if (i == fractionStart) return std::nullopt;
        hasFraction = true;
    }
    if (i != text.size()) return std::nullopt;

    // from_chars takes a minus sign but no plus sign.
    const std::string_view body = text[0] == '+' ? text.substr(1) : text;
    const char* const first = body.data();
    const char* const last = body.data() + body.size();
    if (!hasFraction) {
        std::int64_t integer = 0;
        const auto [end, ec] = std::from_chars(first, last, integer);
        if (ec == std::errc() && end == last) return Number(integer);
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || !std::isfinite(value)) return std::nullopt;
    return Number(value);
}

KLVRemoteConfig::Number KLVRemoteConfig::numberFromCacheWithKey(
    std::string_view key, const Number& defaultValue, const Number& maxValue,
    const Number& minValue, const NumberConversion& block) const {
    std::lock_guard lock(cacheMutex_);
    return numberFromCacheLocked(key, defaultValue, maxValue, minValue, block);
}

KLVRemoteConfig::Number KLVRemoteConfig::numberFromCacheLocked(
    std::string_view key, const Number& defaultValue, const Number& maxValue,
    const Number& minValue, const NumberConversion& block) const {
    if (key.empty()) {
        monitor().logWithLevel(kKLVLogDebug, 29020, "Cannot get setting with empty key from cache");
        return {};
    }
    const auto it = settings_.find(key);
    if (it == settings_.end()) {
        if (!defaultValue.isNull()) settings_.emplace(std::string(key), defaultValue);
        return defaultValue;
    }
    if (it->second.isNumber()) return it->second;

    std::optional<Number> number;
    if (const auto* text = it->second.getString()) {
        number = numberFromString(*text);
    } else {
        monitor().logWithLevel(kKLVLogErrorSilent, 29018, "Cannot parse number from non-string",
                               it->second);
    }
    if (number && block) number = block(*number);

    const auto value = number ? asDouble(*number) : std::nullopt;
    const auto minimum = asDouble(minValue);
    const auto maximum = asDouble(maxValue);
    const bool usable = value && !(minimum && *value < *minimum) && !(maximum && *value > *maximum);
    Number result = usable ? std::move(*number) : defaultValue;
    if (result.isNull()) {
        settings_.erase(it);
    } else {
        it->second = result;
    }
    return result;
}

double KLVRemoteConfig::timeIntervalInSecondsFromCacheWithKey(std::string_view key,
                                                              double defaultValue, double maxValue,
                                                              double minValue) const {
    const Number number = numberFromCacheWithKey(key, Number(defaultValue), Number(maxValue),
                                                 Number(minValue), millisecondsToSeconds);
    return number.numberAsDouble().value_or(defaultValue);
}

std::int32_t KLVRemoteConfig::intValueFromCacheWithKey(std::string_view key,
                                                       std::int32_t defaultValue,
                                                       std::int32_t maxValue,
                                                       std::int32_t minValue) const {
    const Number number =
        numberFromCacheWithKey(key, Number(defaultValue), Number(maxValue), Number(minValue));
    return int32Value(number).value_or(defaultValue);
}

std::int64_t KLVRemoteConfig::int64ValueFromCacheWithKey(std::string_view key,
                                                         std::int64_t defaultValue,
                                                         std::int64_t maxValue,
                                                         std::int64_t minValue) const {
    const Number number =
        numberFromCacheWithKey(key, Number(defaultValue), Number(maxValue), Number(minValue));
    return number.numberAsInteger().value_or(defaultValue);
}

std::int64_t KLVRemoteConfig::int64ValueFromCacheWithKey(std::string_view key,
                                                         std::int64_t defaultValue) const {
    const Number number = numberFromCacheWithKey(key, Number(defaultValue), {}, {});
    return number.numberAsInteger().value_or(defaultValue);
}

bool KLVRemoteConfig::boolValueFromCacheWithKey(std::string_view key, bool defaultValue) const {
    return intValueFromCacheWithKey(key, defaultValue ? 1 : 0, 1, 0) == 1;
}

std::optional<std::string> KLVRemoteConfig::cachedSettingText(std::string_view key) const {
    std::lock_guard lock(cacheMutex_);
    const auto it = settings_.find(key);
    if (it == settings_.end()) return std::nullopt;
    if (const auto* text = it->second.getString()) return *text;
    if (it->second.isNumber()) return platform::formatString("%@", it->second);
    return std::nullopt;
}

#define KLV_READ_SETTING_Interval(d) \
    timeIntervalInSecondsFromCacheWithKey(d.key, d.defaultValue, d.maximum, d.minimum)
#define KLV_READ_SETTING_Int(d)                                                \
    intValueFromCacheWithKey(d.key, static_cast<std::int32_t>(d.defaultValue), \
                             static_cast<std::int32_t>(d.maximum),             \
                             static_cast<std::int32_t>(d.minimum))
#define KLV_READ_SETTING_Int64(d)                                                \
    int64ValueFromCacheWithKey(d.key, static_cast<std::int64_t>(d.defaultValue), \
                               static_cast<std::int64_t>(d.maximum),             \
                               static_cast<std::int64_t>(d.minimum))
#define KLV_READ_SETTING_Switch(d) boolValueFromCacheWithKey(d.key, d.defaultValue != 0)
#define KLV_READ_SETTING_IntervalInt(d) static_cast<std::int32_t>(KLV_READ_SETTING_Interval(d))

#define KLV_DEFINE_SETTING_Plain(getter, kind)                \
    KLV_SETTING_TYPE_##kind KLVRemoteConfig::getter() const { \
        return KLV_READ_SETTING_##kind(KLVSettings::getter);  \
    }
#define KLV_DEFINE_SETTING_Own(getter, kind)
#define KLV_DEFINE_SETTING(getter, key, kind, def, min, max, rule) \
    KLV_DEFINE_SETTING_##rule(getter, kind)
KLV_REMOTE_CONFIG_SETTINGS(KLV_DEFINE_SETTING)
#undef KLV_DEFINE_SETTING
#undef KLV_DEFINE_SETTING_Own
#undef KLV_DEFINE_SETTING_Plain

std::int32_t KLVRemoteConfig::maxPSMStartCount() const {
    if (monitor().isDebugModeEnabled()) return kDebugModePSMStartCount;
    return KLV_READ_SETTING_Int(KLVSettings::maxPSMStartCount);
}

bool KLVRemoteConfig::sessionStitchingTokenFeatureEnabled() const {
    if (experimentClient_) {
        const auto flag =
            KLVBoolValue(experimentClient_->objectForKeyedSubscript(kKLVSessionStitchingTokenFlag));
        if (flag) return *flag;
    }
    return KLV_READ_SETTING_Switch(KLVSettings::sessionStitchingTokenFeatureEnabled);
}

bool KLVRemoteConfig::regionalDefaultsEnabled() const {
    std::optional<bool> flag;
    {
        std::lock_guard lock(cacheMutex_);
        const auto it = experimentFlags_.find(kKLVRegionalDefaultsEnabledFlag);
        if (it != experimentFlags_.end()) flag = KLVBoolValue(it->second);
    }
    if (flag) return *flag;
    return KLV_READ_SETTING_Switch(KLVSettings::regionalDefaultsEnabled);
}

std::int32_t KLVRemoteConfig::maxInternalEventParameterValueLength() const {
    const std::int32_t publicLength = maxPublicEventParameterValueLength();
    return publicLength > kMinimumInternalParameterValueLength
               ? publicLength
               : kMinimumInternalParameterValueLength;
}

}  // namespace engine
