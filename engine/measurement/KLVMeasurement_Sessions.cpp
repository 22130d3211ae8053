// Sessions on the service's side: the session reporter it owns, the session start of the worker
// queue, the first scene of a pre-warmed launch, the finished launch, the session-number
// backfill, and the consent defaults that follow the settings.

#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVDebugText.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVScreenViewReporter.h"
#include "engine/measurement/KLVSessionReporter.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/UIApplication.h"

namespace engine {

namespace {

constexpr char kSessionStartEventName[] = "_s";
// The owner of the finished-launch registration, one per process.
constexpr char kFinishLaunchingObserver[] = "KLVMeasurement.didFinishLaunching";

}  // namespace

std::shared_ptr<KLVSessionReporter> KLVMeasurement::sessionReporter() const {
    std::lock_guard lock(componentsMutex_);
    return sessionReporter_;
}

bool KLVMeasurement::isSessionExpired() const {
    const auto reporter = sessionReporter();
    return reporter && reporter->isSessionExpired();
}

void KLVMeasurement::extendSession() {
    if (const auto reporter = sessionReporter()) reporter->extendSession();
}

void KLVMeasurement::setSessionTimeoutIntervalOnWorkerQueue(double seconds) {
    if (const auto reporter = sessionReporter()) reporter->setTimeoutSessionInterval(seconds);
}

void KLVMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp,
                                                                  bool appInBackground) {
    KLVScheduler::checkOnWorkerQueue("reportSessionStartOnWorkerQueueWithTimestamp");
    const auto reporter = sessionReporter();
    if (!reporter || !reporter->isSessionExpired()) return;
    reporter->updatePropertiesForNewSessionStart();
    if (const auto sessionID = reporter->sessionIDPropertyWithTimestamp(timestamp)) {
        setUserAttributeOnWorkerQueue(*sessionID);
    }
    if (const auto sessionNumber = reporter->sessionNumberProperty()) {
        setUserAttributeOnWorkerQueue(*sessionNumber);
    }
    const bool inBackground = appInBackground && remoteConfig()->appInBackgroundParameterEnabled();
    if (auto event = KLVSessionStartEvent(persistedConfig_->sessionNumber(), inBackground,
                                          timestamp, KLVScreenViewReporter::sharedScreenState())) {
        handleInternalEventOnWorkerQueue(std::move(*event));
    }
}

void KLVMeasurement::reportSessionStart() {
    scheduleWeak("KLVMeasurement:1149", [](KLVMeasurement& self) {
        self.reportSessionStartOnWorkerQueueWithTimestamp(self.initTimestamp(), false);
    });
}

void KLVMeasurement::reportSessionStartWhenSceneWillConnectOnWorkerQueue() {
    // The service's own registrations are renewed wholesale at start; this one-shot
    // registration has an owner of its own so that it survives that.
    const void* owner = &sessionReporter_;
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    platform::NotificationCenter::defaultCenter().addObserver(
        owner, platform::UISceneWillConnectNotification, nullptr,
        [owner, weak](const platform::Notification&) {
            platform::NotificationCenter::defaultCenter().removeObserver(
                owner, platform::UISceneWillConnectNotification, nullptr);
            if (auto self = weak.lock()) self->reportSessionStart();
        });
}

void KLVMeasurementService::subscribeForAppDidFinishLaunchingNotifications() {
    auto& center = platform::NotificationCenter::defaultCenter();
    center.removeObserver(kFinishLaunchingObserver);
    center.addObserver(kFinishLaunchingObserver,
                       platform::UIApplicationDidFinishLaunchingNotification, nullptr,
                       [](const platform::Notification& notification) {
                           KLVMeasurement::handleAppDidFinishLaunching(notification.userInfo);
                       });
}

void KLVMeasurement::handleAppDidFinishLaunching(const platform::Dictionary& userInfo) {
    // The screen-view reporter must be there to see the first activation.
    KLVScreenViewReporter::sharedInstance();
    if (!userInfo.empty()) handleStoredURLAfterAppLaunchWithNotification(userInfo);
}

void KLVMeasurement::resetSessionReporter() {
    auto reporter = std::make_shared<KLVSessionReporter>(
        persistedConfig_, KLVScreenViewReporter::sharedScreenState());
    reporter->setReportingEnabled(isEnabled());
    std::lock_guard lock(componentsMutex_);
    sessionReporter_ = std::move(reporter);
}

void KLVMeasurement::backfillSessionNumber() {
    if (!database_ || !persistedConfig_ || persistedConfig_->sessionNumber() != 0) return;
    platform::Error error;
    const auto aggregates = database_->eventAggregatesWithName(kSessionStartEventName, &error);
    if (!aggregates) {
        if (error != platform::Error{}) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23063,
                                   "Unable to query event aggregates. Name, error",
                                   KLVDebugEventName(kSessionStartEventName), error);
        }
        return;
    }
    persistedConfig_->setSessionNumber(aggregates->lifetimeCount());
}

void KLVMeasurement::updateConsentSettingsUtilWithRemoteConfig() {
    const auto settings = remoteConfigInstance();
    if (!settings) return;
    const auto previous = KLVConsentSettingsUtil::adPersonalization();
    const bool dma = settings->DMAConsentEnabled();
    if (dma) {
        auto defaults = settings->consentDefaults();
        auto delegations = settings->consentDelegations();
        if (!defaults.empty() || !delegations.empty()) {
            KLVConsentSettingsUtil::setDefaultSettings(std::move(defaults));
            KLVConsentSettingsUtil::setDelegatedSettings(std::move(delegations));
        }
    }
    if (settings->regionalDefaultsEnabled()) {
        if (auto regional = settings->regionalDefaults(); !regional.empty()) {
            KLVConsentSettingsUtil::setRegionalDefaults(std::move(regional));
        }
    } else {
        KLVConsentSettingsUtil::setRegionalDefaults(std::nullopt);
    }
    if (!dma) return;
    const auto current = KLVConsentSettingsUtil::adPersonalization();
    if (current && current != previous) setShouldUpdateNPAUserProperty(true);
}

}  // namespace engine
