#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVTCFClient.h"

#include <utility>

#include "engine/audiences/KLVAudienceTimestampsCache.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/experiments/KLVEManagerImpl.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/host/TRWApp.h"

namespace engine {

namespace {

// Launch arguments that switch debug and verbose logging (the public interface is always part of
// this process, so its spellings apply).
constexpr char kDebugEnabledArgument[] = "-TRWAnalyticsDebugEnabled";
constexpr char kDebugDisabledArgument[] = "-noTRWAnalyticsDebugEnabled";
constexpr char kVerboseEnabledArgument[] = "-TRWAnalyticsVerboseLoggingEnabled";
constexpr char kVerboseDisabledArgument[] = "-TRWAnalyticsVerboseLoggingDisabled";
constexpr char kDocumentationHint[] = " (see the Analytics logging documentation)";

// How to switch a kind of logging the other way: "debug" or "verbose".
void logSwitchHint(std::int64_t level, std::int64_t code, const char* kind, bool enabled,
                   const char* enableArgument, const char* disableArgument) {
    monitor().logWithLevel(level, code,
                           std::string("To ") + (enabled ? "disable " : "enable ") + kind +
                               " logging set the following application argument: " +
                               (enabled ? disableArgument : enableArgument) + kDocumentationHint);
}

void logStartBanner() {
    auto& monitor = engine::monitor();
    monitor.logWithLevel(kKLVLogNotice, 23007,
                         "Analytics v." + platform::TRWTarnwellVersion() + " started");
    monitor.logWithLevel(kKLVLogVerbose, 23222,
                         "Build " + std::to_string(KLVIdentity::brackenfoldLibraryVersion()));
    logSwitchHint(kKLVLogNotice, 23008, "debug", monitor.isDebugModeEnabled(),
                  kDebugEnabledArgument, kDebugDisabledArgument);
    monitor.logWithLevel(kKLVLogDebug, 23009, "Debug logging enabled");
    logSwitchHint(kKLVLogDebug, 23207, "verbose", monitor.isVerboseLoggingEnabled(),
                  kVerboseEnabledArgument, kVerboseDisabledArgument);
}

}  // namespace

void KLVMeasurement::installSharedInstance(
    const std::function<std::shared_ptr<KLVMeasurement>()>& make) {
    std::shared_ptr<KLVMeasurement> created;
    initializeSharedInstanceOnce([&]() -> std::shared_ptr<KLVMeasurementBase> {
        created = make();
        return created;
    });
    // The first worker block runs once the service is published, so that it finds the service
    // through sharedInstance() like every later one.
    if (created) created->setEnabled(created->wasEnabledDuringInitialization());
}

void KLVMeasurementService::initializeSharedInstanceWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated,
    std::optional<std::vector<std::string>> safelistedEvents) {
    KLVMeasurement::installSharedInstance([&] {
        // The process's experiments manager starts its task manager here, once; an empty app ID
        // makes no service and so no manager either.
        return KLVMeasurement::initWithAppID(
            appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
            std::move(safelistedEvents),
            appID.empty() ? nullptr : KLVEManagerImpl::sharedInstance());
    });
}

std::shared_ptr<KLVMeasurementService> KLVMeasurementService::sharedInstance() {
    return std::dynamic_pointer_cast<KLVMeasurementService>(KLVMeasurementBase::sharedInstance());
}

std::shared_ptr<KLVMeasurement> KLVMeasurement::sharedInstance() {
    return std::dynamic_pointer_cast<KLVMeasurement>(KLVMeasurementBase::sharedInstance());
}

std::shared_ptr<KLVMeasurement> KLVMeasurement::initWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, std::optional<std::vector<std::string>> safelistedEvents,
    std::shared_ptr<KLVEManager> experimentManager) {
    auto& monitor = engine::monitor();
    if (appID.empty()) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 23170,
                             "Cannot start Measurement. App ID is empty.");
        return nullptr;
    }
    logStartBanner();
    auto network =
        std::make_shared<platform::WDLNetwork>(KLVServerHosts::current().uploadHost.value_or(""));
    network->setIsDebugModeEnabled(monitor.isDebugModeEnabled());
    auto scheduler = std::make_shared<KLVScheduler>(kKLVWorkerQueueLabel);
    auto alarm = std::make_shared<KLVAlarm>(scheduler->workerQueue(), "Measurement timer");
    Parts parts;
    parts.databaseName = kKLVMeasurementDatabaseName;
    parts.persistedConfig = KLVPersistedConfig::sharedInstance();
    parts.network = std::move(network);
    parts.scheduler = std::move(scheduler);
    parts.alarm = std::move(alarm);
    parts.appID = appID;
    parts.isAnalyticsCollectionEnabled = isAnalyticsCollectionEnabled;
    parts.isAnalyticsCollectionDeactivated = isAnalyticsCollectionDeactivated;
    parts.safelistedEvents = std::move(safelistedEvents);
    parts.experimentManager = std::move(experimentManager);
    auto service = std::make_shared<KLVMeasurement>(std::move(parts));
    service->network_->setLoggerDelegate(service);
    return service;
}

KLVMeasurement::KLVMeasurement(Parts parts)
    : databaseName_(std::move(parts.databaseName)),
      alarm_(std::move(parts.alarm)),
      network_(std::move(parts.network)),
      persistedConfig_(std::move(parts.persistedConfig)),
      scheduler_(std::move(parts.scheduler)),
      experimentManager_(std::move(parts.experimentManager)),
      appID_(std::move(parts.appID)),
      safelistedEvents_(std::move(parts.safelistedEvents)),
      isAnalyticsCollectionEnabled_(parts.isAnalyticsCollectionEnabled),
      isAnalyticsCollectionDeactivated_(parts.isAnalyticsCollectionDeactivated) {
    if (!scheduler_) scheduler_ = std::make_shared<KLVScheduler>(kKLVWorkerQueueLabel);
    const platform::Object stored =
        persistedConfig_ ? persistedConfig_->loadTimestampValue() : platform::Object();
    if (stored.isNumber()) {
        initTimestamp_ = *stored.numberAsDouble();
    } else {
        initTimestamp_ = KLVAnalyticsStore::loadTimestamp();
        if (persistedConfig_) persistedConfig_->setLoadTimestampValue(initTimestamp_);
    }
    wasEnabledDuringInitialization_ = shouldEnableMeasurement();
    backgroundUpdateTask_.store(kKLVInvalidBackgroundTask);
}

KLVMeasurement::~KLVMeasurement() {
    unsubscribeFromAppNotifications();
}

std::shared_ptr<KLVRemoteConfig> KLVMeasurement::remoteConfigInstance() const {
    std::lock_guard lock(componentsMutex_);
    return remoteConfig_;
}

std::shared_ptr<KLVIdentity> KLVMeasurement::identity() const {
    std::lock_guard lock(componentsMutex_);
    return identity_;
}

void KLVMeasurement::WDLNetwork_logWithLevel(int level, std::int64_t messageCode,
                                             std::string_view message,
                                             const std::vector<platform::Object>& contexts) {
    // The network component's errors and warnings reach the health record; its notices are
    // plain warnings, and anything unknown counts as a warning too.
    std::int64_t monitorLevel = kKLVLogWarning;
    switch (level) {
        case 3:
            monitorLevel = kKLVLogErrorMonitored;
            break;
        case 4:
            monitorLevel = kKLVLogWarningMonitored;
            break;
        case 5:
            monitorLevel = kKLVLogWarning;
            break;
        case 6:
            monitorLevel = kKLVLogNotice;
            break;
        case 7:
            monitorLevel = kKLVLogDebug;
            break;
        default:
            break;
    }
    auto& monitor = engine::monitor();
    switch (contexts.size()) {
        case 0:
            monitor.logWithLevel(monitorLevel, messageCode, message);
            break;
        case 1:
            monitor.logWithLevel(monitorLevel, messageCode, message, contexts[0]);
            break;
        default:
            monitor.logWithLevel(monitorLevel, messageCode, message, contexts[0], contexts[1]);
            break;
    }
}

}  // namespace engine
