// The app's life as automatic events and internal properties: the first open of an install,
// app and OS updates, and the non-personalised-ads property "_npa" with its consent.

#include <cmath>

#include "engine/base/KLVInternalNames.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVEnvironmentInfo.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/events/KLVEvent.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVLaunchConditions.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVScreenViewReporter.h"
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

platform::Dictionary withScreenParameters(platform::Dictionary parameters) {
    for (auto& [key, value] : KLVScreenViewReporter::sharedInstance().screenParameters()) {
        parameters[key] = value;
    }
    return parameters;
}

}  // namespace

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
    KLVScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue");
    if (!database_ || !persistedConfig_) return;
    auto& monitor = KLVMeasurement::monitor();
    platform::Error error;
    const auto hasFirstOpen =
        database_->containsUserAttributeWithName(kFirstOpenTimeProperty, &error);
    if (!hasFirstOpen) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23019,
                             "Failed to query first open property. Error", error);
        return;
    }
    const std::int64_t previousCount =
        persistedConfig_->previousFirstOpenCount().numberAsInteger().value_or(0);
    const double loadTime = initTimestamp_;

    if (*hasFirstOpen) {
        if (previousCount < 1) {
            persistedConfig_->setPreviousFirstOpenCount(platform::Object(std::int64_t{1}));
        }
        KLVAnalyticsStore::setDeferredAnalyticsCollection(platform::Object());
        // A pre-warmed launch of a scene-based app starts its session when the first scene
        // connects, which the app shell announces.
        if (!(KLVHasSceneManifest() && KLVIsActivePrewarm())) {
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
    if (!KLVAnalyticsStore::deferredAnalyticsCollection().isNull()) {
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
    reportStoredCampaignEventOnWorkerQueue();
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
    KLVScheduler::checkOnBackgroundThreadWithMethodName("reportAppUpdateOnWorkerQueue");
    const auto identity = this->identity();
    if (!identity || !persistedConfig_) return;
    reportVersionChange(identity->appVersion(), persistedConfig_->appVersion(), false);
}

void KLVMeasurement::reportOSUpdateOnWorkerQueue() {
    KLVScheduler::checkOnBackgroundThreadWithMethodName("reportOSUpdateOnWorkerQueue");
    if (!persistedConfig_) return;
    reportVersionChange(KLVEnvironmentInfo::sharedInstance().deviceOSVersion(),
                        persistedConfig_->osVersion(), true);
}

}  // namespace engine
