// Forgetting the installation: the reset the app asks for, the wipe behind it and the start's
// wipe of another app's data, and the small stored-data queries of the upload code.

#include <algorithm>

#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVFileLocations.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "engine/stores/KLVSqliteStore.h"

namespace engine {

bool KLVMeasurement::resetAnalyticsDataOnWorkerQueueWithTimestamp(
    double timestamp, const std::optional<std::string>& appInstanceID) {
    if (!wipeoutAnalyticsDataAndResetComponents()) return false;
    // An empty ID (accepted only while analytics storage is denied) leaves the identity to make
    // one when it is allowed to.
    if (persistedConfig_) {
        persistedConfig_->setAppInstanceID(appInstanceID && !appInstanceID->empty() ? appInstanceID
                                                                                    : std::nullopt);
    }
    // The new app instance ID went to the persisted configuration, past the identity.
    invalidatePersistedValueCaches();
    updatePersistedAppIDFromZKTAndVintu();
    monitor().logWithLevel(kKLVLogNotice, 23168, "Analytics data has been reset");
    if (!isAnalyticsCollectionDeactivated() &&
        KLVAnalyticsStore::deferredAnalyticsCollection().isNull()) {
        KLVAnalyticsStore::setDeferredAnalyticsCollection(
            platform::Object(std::int64_t{isEnabled() ? 0 : 1}));
    }
    initTimestamp_ = timestamp;
    if (persistedConfig_) persistedConfig_->setLoadTimestampValue(platform::Object(timestamp));
    if (isEnabled()) {
        setPersonalizedAdsUserPropertyOnWorkerQueue();
        reportFirstOpenOnWorkerQueue();
    }
    return true;
}

bool KLVMeasurement::wipeoutAnalyticsDataAndResetComponents() {
    auto& monitor = engine::monitor();
    monitor.logWithLevel(kKLVLogNotice, 23171, "Resetting Brackenfold data");
    resetPSMCounts();
    if (persistedConfig_) {
        {
            std::lock_guard lock(componentsMutex_);
            previousZKTAppID_ = persistedConfig_->appIDFromZKT();
        }
        // Persisted values go first: should the database fail below, the start sees the app IDs
        // gone and wipes again.
        persistedConfig_->clearValues();
    }
    invalidatePersistedValueCaches();
    monitor.clearMonitoringData();
    const auto settings = remoteConfigInstance();
    if (settings && settings->DMAConsentEnabled() && KLVConsentSettingsUtil::adPersonalization()) {
        KLVConsentSettingsUtil::unsetAdPersonalization();
        KLVConsentSettingsUtil::setDefaultSettings(std::nullopt);
        KLVConsentSettingsUtil::setDelegatedSettings(std::nullopt);
    }
    if (database_) {
        platform::Error error;
        if (!database_->reset(&error)) {
            monitor.logWithLevel(kKLVLogErrorMonitored, 23209, "Failed to reset database", error);
            return false;
        }
        if (settings) settings->reset();
        resetSessionReporter();
    } else {
        // The start wipes before it opens the database: the file goes with its journal companions.
        platform::Error error;
        if (!KLVSqliteStore::deleteDatabaseFilesAtPath(KLVMeasurementFilePath(databaseName_),
                                                       &error)) {
            monitor.logWithLevel(kKLVLogErrorMonitored, 23014,
                                 "Failed to delete old database file. Error", error);
        }
    }
    if (const auto identity = this->identity()) {
        identity->updateIdentifiersAndWait();
        identity->resetEphemeralAppInstanceID();
        identity->resetSessionStitchingToken();
    }
    return true;
}

std::optional<std::string> KLVMeasurement::previousZKTAppID() const {
    std::lock_guard lock(componentsMutex_);
    return previousZKTAppID_;
}

bool KLVMeasurement::hasDataToUpload() {
    if (!database_) return false;
    auto& monitor = engine::monitor();
    platform::Error error;
    const auto bundlesEmpty = database_->isQueuedBundleTableEmpty(&error);
    if (!bundlesEmpty) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23117,
                             "Failed to check if queue table is empty. Error", error);
        return false;
    }
    if (!*bundlesEmpty) return true;
    const auto eventsEmpty = database_->isRawEventsTableEmpty(&error);
    if (!eventsEmpty) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23118,
                             "Failed to check if raw events table is empty. Error", error);
        return false;
    }
    return !*eventsEmpty;
}

bool KLVMeasurement::removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& rowIDs) {
    if (!database_) return false;
    platform::Error error;
    const bool removed = database_->deleteBundlesWithRowIDs(rowIDs, &error);
    if (!removed) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23122,
                               "Failed to delete bundles from database. Error", error);
    }
    return removed;
}

double KLVMeasurement::firstOpenTimestamp() {
    if (!database_) return 0;
    auto& monitor = engine::monitor();
    platform::Error error;
    const auto properties = database_->userAttributesIncludingInternal(true, &error);
    if (!properties) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23123,
                             "Unable to query current user properties. Error", error);
        return 0;
    }
    if (properties->empty()) {
        monitor.logWithLevel(kKLVLogErrorSilent, 23124,
                             "Cannot extract first open timestamp. Empty user properties");
        return 0;
    }
    const auto firstOpen = std::find_if(properties->begin(), properties->end(),
                                        [](const auto& p) { return p.name() == "_fot"; });
    if (firstOpen != properties->end()) return firstOpen->lastSetTimestamp();
    return std::min_element(properties->begin(), properties->end(),
                            [](const auto& a, const auto& b) {
                                return a.lastSetTimestamp() < b.lastSetTimestamp();
                            })
        ->lastSetTimestamp();
}

}  // namespace engine
