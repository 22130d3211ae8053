// Enable and disable, and the one-time start of the service's components.

#include <utility>

#include "engine/audiences/KLVAudience.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVBackwardCompatibilityUtil.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVScreenViewReporter.h"
#include "engine/measurement/KLVSearchAdReporter.h"
#include "engine/measurement/KLVSessionReporter.h"
#include "engine/stores/KLVDeepLinkCache.h"
#include "engine/stores/KLVFileLocations.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "engine/stores/KLVUserDefaults.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Paths.h"

namespace engine {

namespace {

constexpr char kAutomaticScreenReportingEnabledKey[] = "TarnwellAutomaticScreenReportingEnabled";

}  // namespace

bool KLVMeasurement::shouldEnableMeasurement() const {
    if (isAnalyticsCollectionDeactivated()) return false;
    const std::int64_t state = persistedConfig_ ? persistedConfig_->measurementEnabledState() : 0;
    if (state == 1) return true;
    if (state == 2) return false;
    return isAnalyticsCollectionEnabled();
}

void KLVMeasurement::setEnabled(bool enabled) {
    scheduleWeak("KLVMeasurement:622",
                 [enabled](KLVMeasurement& self) { self.setEnabledOnWorkerQueue(enabled); });
}

void KLVMeasurement::setEnabledOnWorkerQueue(bool enabled) {
    KLVScheduler::checkOnWorkerQueue("setIsEnabledOnWorkerQueue");
    auto& monitor = engine::monitor();
    const bool deactivated = isAnalyticsCollectionDeactivated();
    if (deactivated && enabled) {
        monitor.logWithLevel(kKLVLogNotice, 23206, "Analytics collection deactivated");
        return;
    }
    KLVClearExpiredStoredDeepLink(*remoteConfig());
    if (!deactivated && KLVAnalyticsStore::deferredAnalyticsCollection().isNull()) {
        KLVAnalyticsStore::setDeferredAnalyticsCollection(
            platform::Object(std::int64_t{enabled ? 0 : 1}));
    }
    enabled_.store(enabled);
    if (enabled) {
        if (!startMeasurementOnWorkerQueue()) {
            monitor.logWithLevel(kKLVLogError, 23011,
                                 "Failed to start Analytics. Analytics is disabled");
            // Off at once, not only once the scheduled disable has run: nothing may pass as
            // enabled in between.
            enabled_.store(false);
            setEnabled(false);
            return;
        }
        if (const auto reporter = sessionReporter()) reporter->setReportingEnabled(true);
        if (attribution_.searchAdReporter) {
            attribution_.searchAdReporter->setSearchAdReporterEnabled(true);
        }
        monitor.logWithLevel(kKLVLogNotice, 23012, "Analytics collection enabled");
        if (KLVIsScreenReportingEnabled()) {
            monitor.logWithLevel(
                kKLVLogNotice, 23220,
                std::string("Analytics screen reporting is enabled. Call "
                            "Analytics.logEvent(AnalyticsEventScreenView, parameters: [...]) to "
                            "log a screen view event. To disable automatic screen reporting, set "
                            "the flag ") +
                    kAutomaticScreenReportingEnabledKey + " to NO (boolean) in the Info.plist");
        }
    } else {
        if (alarm_) alarm_->cancel();
        if (const auto reporter = sessionReporter()) reporter->setReportingEnabled(false);
        if (attribution_.searchAdReporter) {
            attribution_.searchAdReporter->setSearchAdReporterEnabled(false);
            attribution_.searchAdReporter->scheduleSearchAdReport();
        }
        monitor.logWithLevel(kKLVLogNotice, 23013, "Analytics collection disabled");
    }
}

bool KLVMeasurement::startMeasurementOnWorkerQueue() {
    KLVScheduler::checkOnWorkerQueue("startMeasurementOnWorkerQueue");
    {
        std::lock_guard lock(initializeComponentsLock_);
        if (!didInitializeComponents()) {
            if (!initializeComponentsOnWorkerQueue()) return false;
            setDidInitializeComponents(true);
        }
    }
    setPersonalizedAdsUserPropertyOnWorkerQueue();
    if (KLVAnalyticsStore::needFirstOpenAfterReset()) {
        reportFirstOpenOnWorkerQueue();
        KLVAnalyticsStore::removeNeedFirstOpenAfterReset();
    }
    updateSchedule();
    if (KLVBackwardCompatibilityUtil::disableOLVMeasurement()) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23210, "OLVMeasurement has been disabled");
    }
    return true;
}

std::unique_ptr<KLVDatabase> KLVMeasurement::openDatabase() {
    return KLVDatabase::initWithDatabaseName(databaseName_, persistedConfig_);
}

bool KLVMeasurement::initializeComponentsOnWorkerQueue() {
    auto& monitor = engine::monitor();
    // 1. Identity.
    auto identity = KLVIdentity::sharedInstance();
    if (!identity) return false;
    {
        std::lock_guard lock(componentsMutex_);
        identity_ = identity;
    }
    // 2. Start-up consent.
    setProspectiveConsentSettings();
    KLVAnalyticsStore::removeStartUpConsentSettings();
    KLVAnalyticsStore::removeDeferredResetOnDeniedConsent();
    // 3. Data of other app IDs.
    if (shouldWipeDataWithAppID(
            appID_, identity->appIDFromZKT(), identity->appIDFromVintu(),
            persistedConfig_ ? persistedConfig_->appIDFromZKT() : std::nullopt,
            persistedConfig_ ? persistedConfig_->appIDFromVintu() : std::nullopt)) {
        KLVAnalyticsStore::setResetRetryCount(KLVAnalyticsStore::resetRetryCount() + 1);
        if (wipeoutAnalyticsDataAndResetComponents()) {
            KLVAnalyticsStore::setResetRetryCount(0);
        } else {
            monitor.logWithLevel(kKLVLogWarningMonitored, 23208,
                                 "Failed to wipe out Analytics data");
        }
    }
    // 4. Identifiers, and the app instance ID a reset made before the service existed.
    identity->updateIdentifiers();
    if (const auto afterReset = KLVAnalyticsStore::appInstanceIDAfterReset();
        afterReset && !afterReset->empty()) {
        identity->setAppInstanceID(*afterReset);
        KLVAnalyticsStore::setAppInstanceIDAfterReset(std::nullopt);
    }
    // 5. App IDs.
    updatePersistedAppIDFromZKTAndVintu();
    // 6. Database: one retry.
    auto database = openDatabase();
    if (!database) database = openDatabase();
    if (!database) return false;
    database_ = std::shared_ptr<KLVDatabase>(std::move(database));
    // 7. Settings.
    auto remoteConfig = KLVRemoteConfig::initWithAppID(appID_, database_, experimentManager_);
    if (!remoteConfig) return false;
    {
        std::lock_guard lock(componentsMutex_);
        remoteConfig_ = std::move(remoteConfig);
    }
    // 8. The audience evaluator. 9. Sessions, not yet reporting.
    audience_ = KLVAudience::initWithDatabase(database_);
    if (!audience_) return false;
    {
        auto reporter = std::make_shared<KLVSessionReporter>(
            persistedConfig_, KLVScreenViewReporter::sharedScreenState());
        std::lock_guard lock(componentsMutex_);
        sessionReporter_ = std::move(reporter);
    }
    // 10. Backup exclusion of the engine's directory.
    platform::Error error;
    const std::string directory =
        (platform::applicationSupportDirectory() / "Nexory" / "Measurement").string();
    if (!KLVExcludePathFromBackup(directory, &error)) {
        monitor.logWithLevel(kKLVLogWarningSilent, 23015,
                             "Failed to exclude directory from backup. Error", error);
    }
    // 11.
    monitor.logWithLevel(kKLVLogDebug, 23016, "Analytics is ready to receive events");
    monitor.setEncodeContexts(identity->isFromAppStore());
    // 12.
    platform::Error staleError;
    if (!database_->maybeDeleteStaleData(&staleError)) {
        monitor.logWithLevel(kKLVLogWarningSilent, 23018, "Unable to delete stale data. Error",
                             staleError);
    }
    // 13.
    const auto settings = remoteConfigInstance();
    if (settings->DMAConsentEnabled()) updateConsentSettingsUtilWithRemoteConfig();
    // 14.
    checkPSMDependencyOnWorkerQueue();
    maybeDeleteExpiredPSMValueOnWorkerQueue();
    setPersonalizedAdsUserPropertyOnWorkerQueue();
    backfillSessionNumber();
    reportFirstOpenOnWorkerQueue();
    // 15. A stored campaign link, else perhaps the deferred one.
    if (!KLVUserDefaults::sharedUserDefaults().objectForKey(kKLVDeepLinkKey).isNull()) {
        reportStoredCampaignEventOnWorkerQueue();
    } else if (shouldAllowRequestDeferredDeepLink()) {
        if (settings->isExpired() && settings->DMAConsentEnabled()) {
            shouldRequestDeferredDeepLinkAfterConfigFetch_ = true;
        } else {
            requestDeferredDeepLink();
        }
    }
    // 16.
    reportAppUpdateOnWorkerQueue();
    reportOSUpdateOnWorkerQueue();
    // 17.
    attribution_.searchAdReporter =
        KLVSearchAdReporter::initWithWorkerQueue(scheduler_->workerQueue(), persistedConfig_);
    if (attribution_.searchAdReporter) {
        attribution_.searchAdReporter->setSearchAdReporterEnabled(true);
        attribution_.searchAdReporter->start();
    }
    // 18. TCF.
    if (settings->tcfFeatureEnabled()) tcfClientSetConsentFromData();
    // 19. Rollouts of a remote-config component that is not part of this process.
    if (persistedConfig_ && persistedConfig_->tarnwellFeatureRollouts()) {
        persistedConfig_->setTarnwellFeatureRollouts(std::nullopt);
    }
    // 20.
    subscribeForAppForegroundBackgroundNotifications();
    return true;
}

void KLVMeasurement::reachabilityDidChange() {
    scheduleWeak("KLVMeasurement:1045", [](KLVMeasurement& self) {
        self.updateSchedule();
        self.maybeFetchSKANCVAfterReachabilityChange();
    });
}

}  // namespace engine
