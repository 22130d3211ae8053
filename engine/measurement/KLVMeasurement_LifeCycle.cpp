// The app's life as automatic events and internal properties: the first open of an install,
// app and OS updates, and the non-personalised-ads property "_npa" with its consent.

#include <cctype>
#include <charconv>

#include "engine/base/KLVInternalNames.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVEnvironmentInfo.h"
#include "engine/environment/KLVKeychainWrapper.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/events/KLVEvent.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVLaunchConditions.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVScreenViewReporter.h"
#include "engine/measurement/KLVTCFClient.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/adsupport/SKAdNetwork.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"

namespace engine {

namespace {

constexpr std::int64_t kMillisPerHour = 3600000;
constexpr char kFirstOpenTimeProperty[] = "_fot";
constexpr char kFirstOpenAfterInstallProperty[] = "_fi";
constexpr char kNonPersonalizedAdsProperty[] = "_npa";
constexpr char kAdPersonalizationConsentType[] = "ad_personalization";
constexpr char kAdNetworkRegistrationKey[] =
    "NEXORY_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED";
constexpr char kPreviousFirstOpenCountItem[] = "_pfo";

platform::Dictionary withScreenParameters(platform::Dictionary parameters) {
    for (auto& [key, value] : KLVScreenViewReporter::sharedInstance().screenParameters()) {
        parameters[key] = value;
    }
    return parameters;
}

}  // namespace

platform::Object KLVMeasurement::previousFirstOpenCount() {
    const auto text = KLVKeychainWrapper::keychainValueWithIdentifier(
        kPreviousFirstOpenCountItem, platform::Bundle::mainBundle().bundleIdentifier());
    if (!text) return {};
    std::int64_t count = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), count);
    if (error != std::errc() || end != text->data() + text->size()) return {};
    return platform::Object(count);
}

void KLVMeasurement::setPreviousFirstOpenCount(const platform::Object& value) {
    const std::string appID = platform::Bundle::mainBundle().bundleIdentifier();
    const auto count = value.numberAsInteger();
    if (!count) {
        KLVKeychainWrapper::deleteKeychainValueWithIdentifier(kPreviousFirstOpenCountItem, appID);
        return;
    }
    (void)KLVKeychainWrapper::upsertKeychainValue(platform::Object(std::to_string(*count)),
                                                  kPreviousFirstOpenCountItem, appID);
}

std::int64_t KLVMeasurement::timestampMillisRoundedUpToNextHour(std::int64_t millis) {
    return millis / kMillisPerHour * kMillisPerHour + kMillisPerHour;
}

bool KLVMeasurement::setAndCheckUserProperty(const std::string& name, std::int64_t value,
                                             double setTime, std::int64_t queryFailureCode,
                                             const char* queryFailure, std::int64_t missingCode,
                                             const char* missing) {
    const auto attribute = KLVUserAttribute::initWithOrigin(
        kKLVAutoOrigin, name, KLVValue::initWithInt64(value), setTime);
    if (attribute) setUserAttributeOnWorkerQueue(*attribute);
    platform::Error error;
    const auto stored = database_->containsUserAttributeWithName(name, &error);
    if (!stored) {
        monitor().logWithLevel(kKLVLogErrorMonitored, queryFailureCode, queryFailure, error);
        return false;
    }
    if (!*stored) {
        monitor().logWithLevel(kKLVLogErrorMonitored, missingCode, missing);
        return false;
    }
    return true;
}

void KLVMeasurement::reportFirstOpenOnWorkerQueue() {
    KLVScheduler::checkOnWorkerQueue("reportFirstOpenOnWorkerQueue");
    if (!database_ || !persistedConfig_) return;
    auto& monitor = engine::monitor();
    platform::Error error;
    const auto hasFirstOpen =
        database_->containsUserAttributeWithName(kFirstOpenTimeProperty, &error);
    if (!hasFirstOpen) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23019,
                             "Failed to query first open property. Error", error);
        return;
    }
    const std::int64_t previousCount = previousFirstOpenCount().numberAsInteger().value_or(0);
    const double loadTime = initTimestamp_;

    if (*hasFirstOpen) {
        if (previousCount < 1) {
            setPreviousFirstOpenCount(platform::Object(std::int64_t{1}));
        }
        KLVAnalyticsStore::setDeferredAnalyticsCollection(platform::Object());
        // A pre-warmed launch of a scene-based app starts its session when the first scene
        // connects, which the app shell announces.
        if (KLVHasSceneManifest() && KLVIsActivePrewarm()) {
            reportSessionStartWhenSceneWillConnectOnWorkerQueue();
        } else {
            reportSessionStartOnWorkerQueueWithTimestamp(loadTime, false);
        }
        persistedConfig_->setLoadTimestampValue(platform::Object());
        return;
    }

    const std::int64_t firstOpenAfterInstall =
        previousCount >= 1 ? 1 : (isVersionSameAsOriginalVersion() ? 1 : 0);
    const std::int64_t storedFirstOpenMillis = persistedConfig_->firstOpenTimestampMilliseconds();
    const double firstOpenSetTime =
        storedFirstOpenMillis != 0 ? double(storedFirstOpenMillis) / 1000 : loadTime;
    if (!setAndCheckUserProperty(
            kFirstOpenAfterInstallProperty, firstOpenAfterInstall, firstOpenSetTime, 23161,
            "Failed to query first open after install property after setting it. Error", 23162,
            "Failed to set first open after install property")) {
        return;
    }
    const auto loadMillis = static_cast<std::int64_t>(loadTime * 1000);
    if (!setAndCheckUserProperty(kFirstOpenTimeProperty,
                                 timestampMillisRoundedUpToNextHour(loadMillis), loadTime, 23020,
                                 "Failed to query first open property after setting it. Error",
                                 23021, "Failed to set first open property")) {
        return;
    }

    const auto settings = remoteConfigInstance();
    const bool efficientEngagement = settings && settings->efficientEngagementReportingEnabled();
    platform::Dictionary parameters = {
        {"_pfo", previousCount},
        {"_uwa", std::int64_t{1 - firstOpenAfterInstall}},
    };
    if (const auto previousAppID = previousZKTAppID(); previousAppID && !previousAppID->empty()) {
        parameters["_pzkt"] = *previousAppID;
    }
    // Every enable or disable stores whether collection started out disabled (1) or enabled
    // (0); only a start that was held back until collection was enabled is a deferred one.
    if (KLVAnalyticsStore::deferredAnalyticsCollection().numberAsDouble() == 1.0) {
        parameters["_dac"] = std::int64_t{1};
    }
    if (efficientEngagement) parameters["_et"] = std::int64_t{1};
    if (auto event = KLVEvent::initWithOrigin(kKLVAutoOrigin, false, "_f", loadTime, 0,
                                              withScreenParameters(std::move(parameters)))) {
        handleInternalEventOnWorkerQueue(std::move(*event));
    }
    KLVAnalyticsStore::setDeferredAnalyticsCollection(platform::Object());
    persistedConfig_->setLoadTimestampValue(platform::Object());
    reportSessionStartOnWorkerQueueWithTimestamp(loadTime, false);
    if (!(settings && settings->redundantEngagementRemovalEnabled())) {
        platform::Dictionary engagement = {{"_et", std::int64_t{1}}};
        if (efficientEngagement) engagement["_fr"] = std::int64_t{1};
        if (auto event = KLVEvent::initWithOrigin(kKLVAutoOrigin, false, "_e", loadTime, 0,
                                                  withScreenParameters(std::move(engagement)))) {
            handleInternalEventOnWorkerQueue(std::move(*event));
        }
    }
    persistedConfig_->setFirstOpenTimestampMilliseconds(loadMillis);
    reportStoredCampaignEventOnWorkerQueue(loadMillis - 1);
    if (shouldAllowAdNetworkRegistration()) {
        platform::SKAdNetwork::registerAppForAdNetworkAttribution();
    } else {
        monitor.logWithLevel(kKLVLogDebug, 23217,
                             "Opted out of registration for ad network attribution");
    }
}

bool KLVMeasurement::shouldAllowAdNetworkRegistration() const {
    const auto& info = platform::Bundle::mainBundle().infoDictionary();
    const auto found = info.find(kAdNetworkRegistrationKey);
    if (found == info.end() || !found->second.isNumber()) return true;
    return found->second.numberAsInteger().value_or(1) != 0;
}

void KLVMeasurement::reportVersionChange(const std::optional<std::string>& current,
                                         std::optional<std::string> stored, bool isOS) {
    if (!persistedConfig_ || !current || current == stored) return;
    if (isOS) {
        persistedConfig_->setOSVersion(current);
    } else {
        persistedConfig_->setAppVersion(current);
    }
    if (!stored || stored->empty()) return;
    KLVLogInternalEvent(kKLVAutoOrigin, isOS ? "_ou" : "_au",
                        {{isOS ? "_po" : "_pv", std::move(*stored)}});
}

void KLVMeasurement::reportAppUpdateOnWorkerQueue() {
    KLVScheduler::checkOnWorkerQueue("reportAppUpdateOnWorkerQueue");
    const auto identity = this->identity();
    if (!identity || !persistedConfig_) return;
    reportVersionChange(identity->appVersion(), persistedConfig_->appVersion(), false);
}

void KLVMeasurement::reportOSUpdateOnWorkerQueue() {
    KLVScheduler::checkOnWorkerQueue("reportOSUpdateOnWorkerQueue");
    if (!persistedConfig_) return;
    reportVersionChange(KLVEnvironmentInfo::sharedInstance().deviceOSVersion(),
                        persistedConfig_->osVersion(), true);
}

}  // namespace engine

namespace engine {

namespace {

bool hasEntry(const std::optional<platform::Dictionary>& settings, const char* key) {
    return settings && settings->count(key) != 0;
}

bool isSet(const platform::Error& error) {
    return error.code != 0 || !error.domain.empty() || !error.description.empty();
}

}  // namespace

std::optional<platform::Object> KLVMeasurement::shouldDisableAdPersonalization() {
    if (persistedConfig_) {
        if (const auto allowed = persistedConfig_->allowPersonalizedAds().numberAsInteger()) {
            return platform::Object(std::int64_t{*allowed == 0 ? 1 : 0});
        }
    }
    const auto settings = remoteConfigInstance();
    const bool regionalRules = settings && settings->DMAConsentEnabled();
    if (regionalRules &&
        hasEntry(KLVConsentSettingsUtil::consentSettings(), kAdPersonalizationConsentType)) {
        if (const auto granted = KLVConsentSettingsUtil::adPersonalization()) {
            return platform::Object(std::int64_t{*granted == 0 ? 1 : 0});
        }
    }
    const auto& info = platform::Bundle::mainBundle().infoDictionary();
    if (const auto flag = info.find(kKLVInfoPlistDefaultAllowAdPersonalizationSignals);
        flag != info.end()) {
        if (!flag->second.isNumber()) return platform::Object(std::int64_t{0});
        foundAdPersonalizationPlistFlag_.store(true);
        return platform::Object(std::int64_t{flag->second.numberAsInteger().value_or(0) == 0});
    }
    if (regionalRules) {
        const auto defaults = KLVConsentSettingsUtil::defaultSettings();
        if (hasEntry(defaults, kAdPersonalizationConsentType)) {
            const auto* text = defaults->at(kAdPersonalizationConsentType).getString();
            std::string lower = text ? *text : "";
            for (auto& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (lower == "denied") return platform::Object(std::int64_t{1});
            if (lower == "granted") return platform::Object(std::int64_t{0});
        }
    }
    return std::nullopt;
}

void KLVMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
    KLVScheduler::checkOnWorkerQueue("setPersonalizedAdsUserPropertyOnWorkerQueue");
    if (!database_) return;
    auto& monitor = engine::monitor();
    platform::Error error;
    const auto stored = database_->userAttributeWithName(kNonPersonalizedAdsProperty, &error);
    if (!stored && isSet(error)) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23172,
                             "Unable to read personalized ads user property. Error", error);
        return;
    }
    const auto value = shouldDisableAdPersonalization();
    const auto number = value ? value->numberAsInteger() : std::nullopt;
    if (!number) {
        if (!stored) return;
        platform::Error deleteError;
        if (database_->deleteUserAttributeWithName(kNonPersonalizedAdsProperty, &deleteError) ||
            !isSet(deleteError)) {
            monitor.logWithLevel(kKLVLogWarningMonitored, 23180,
                                 "No value set for personalized ads. Removing user property.");
            KLVConsentSettingsUtil::setDiagnosticSource(0, kAdPersonalizationConsentType);
        } else {
            monitor.logWithLevel(
                kKLVLogErrorMonitored, 23173,
                "Unable to remove personalized ads user property in the database. Error",
                deleteError);
        }
        return;
    }
    const bool changed = !stored || stored->value().int64Value() != *number;
    const auto settings = remoteConfigInstance();
    if (settings && settings->DMAConsentEnabled() &&
        !hasEntry(KLVConsentSettingsUtil::consentSettings(), kAdPersonalizationConsentType)) {
        updateAdPersonalizationConsentFromNPAValue(value);
    }
    if (changed) {
        if (const auto attribute = KLVUserAttribute::initWithOrigin(
                kKLVAutoOrigin, kNonPersonalizedAdsProperty, KLVValue::initWithInt64(*number),
                platform::Clock::current().now())) {
            setUserAttributeOnWorkerQueue(*attribute);
        }
    }
}

void KLVMeasurement::updateAdPersonalizationConsentFromNPAValue(
    const std::optional<platform::Object>& value) {
    const auto number = value ? value->numberAsInteger() : std::nullopt;
    const auto granted = KLVConsentSettingsUtil::adPersonalization();
    // A known value and a known consent of differing Booleans already agree in meaning
    // ("_npa" 1 is a denial).
    if (number && granted && (*number != 0) != (*granted != 0)) return;
    KLVConsentSettingsUtil::updateSettings(
        {{kAdPersonalizationConsentType, number && *number != 0 ? "denied" : "granted"}});
    if (persistedConfig_ && !persistedConfig_->allowPersonalizedAds().isNull()) {
        KLVConsentSettingsUtil::setDiagnosticSource(5, kAdPersonalizationConsentType);
    } else if (foundAdPersonalizationPlistFlag_.load()) {
        KLVConsentSettingsUtil::setDiagnosticSource(3, kAdPersonalizationConsentType);
    } else if (hasEntry(KLVConsentSettingsUtil::defaultSettings(), kAdPersonalizationConsentType)) {
        KLVConsentSettingsUtil::setDiagnosticSource(1, kAdPersonalizationConsentType);
    }
}

}  // namespace engine

namespace engine {

void KLVMeasurement::tcfClientSetConsentFromData() {
    if (!tcfClient_) tcfClient_ = std::make_unique<KLVTCFClient>();
    if (const auto settings = remoteConfigInstance()) {
        tcfClient_->setIsDMARegion(settings->isDMARegion());
    }
    tcfClient_->setConsentFromTCFData();
}

}  // namespace engine
