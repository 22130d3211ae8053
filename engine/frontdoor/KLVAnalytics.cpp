// The front door's state, its queues and the start of the engine.

#include "engine/frontdoor/KLVAnalytics.h"

#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVScheduler.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/frontdoor/FrontDoorState.h"
#include "engine/identity/KLVIdentifiers.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVEventListenerNotifier.h"
#include "engine/measurement/KLVScreenViewReporter.h"
#include "engine/measurement/KLVSessionReporter.h"
#include "engine/measurement/KLVTCFClient.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedInstance.h"

namespace engine {

FrontDoorState::FrontDoorState() {
    operationQueue.setSuspended(true);
    // Errors found before an event or user property exists travel as internal "_err" events,
    // and the service tells the listeners about each logged event; both go through here.
    KLVSetInternalEventLogger([](const std::string& origin, const std::string& name,
                                 const platform::Dictionary& parameters) {
        KLVAnalytics::logInternalEventWithOrigin(origin, name, parameters);
    });
    KLVSetEventListenerNotifier(
        [](const KLVEvent& event) { KLVAnalytics::notifyEventListeners(event); });
    // The service's upload on leaving the foreground waits for the events queued before it.
    KLVSetTCFConsentHandOver([](const platform::Dictionary& consent) {
        KLVAnalytics::setConsent(consent, kKLVConsentSettingsTCFKey);
    });
    KLVSetOperationQueueHandOver([](std::function<void()> block) {
        KLVAnalytics::queueOperationWithBlock(std::move(block));
    });
    // The session and screen reporters set the session properties and log screen views with
    // their own times through here.
    KLVSetInternalUserPropertySetter(
        [](const platform::Object& value, const std::string& name, const std::string& origin) {
            KLVAnalytics::sharedInstance().setInternalUserProperty(value, name, origin);
        });
    KLVSetTimedInternalEventLogger([](const std::string& origin, const std::string& name,
                                      double timestamp, const platform::Dictionary& parameters) {
        KLVAnalytics::logInternalEventWithOrigin(origin, name, timestamp, parameters);
    });
    // The screen-view reporter must exist before the app first becomes active, and it follows
    // every view controller's appearance.
    KLVMeasurementService::subscribeForAppDidFinishLaunchingNotifications();
    KLVScreenViewReporter::installAppearanceHooks();
}

FrontDoorState::~FrontDoorState() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

FrontDoorState& frontDoor() {
    return platform::SharedInstance<FrontDoorState>::get();
}

KLVAnalytics& KLVAnalytics::sharedInstance() {
    static KLVAnalytics instance;
    return instance;
}

// ---- Queues ---------------------------------------------------------------------------------

platform::DispatchQueue& KLVAnalytics::queue() {
    return frontDoor().serialQueue;
}

void KLVAnalytics::dispatchAsyncOnSerialQueue(std::function<void()> block) {
    frontDoor().serialQueue.async(std::move(block));
}

bool KLVAnalytics::queueOperationWithBlock(std::function<void()> block) {
    auto& state = frontDoor();
    // Before the start nothing drains the queue: keep it bounded instead of growing for good.
    if (state.operationQueue.isSuspended() &&
        state.operationQueue.operationCount() >= kKLVMaxSuspendedOperations) {
        if (!state.droppedOperationLogged.exchange(true)) {
            monitor().logWithLevel(
                kKLVLogWarning, 25045,
                "Analytics has not started. Calls beyond the limit of waiting calls are dropped. "
                "Limit",
                static_cast<std::int64_t>(kKLVMaxSuspendedOperations));
        }
        return false;
    }
    state.operationQueue.addOperation([&state, block = std::move(block)]() mutable {
        state.serialQueue.async(std::move(block));
    });
    return true;
}

void KLVAnalytics::queueOperationWithBlockThenWait(std::function<void()> block) {
    auto& state = frontDoor();
    queueOperationWithBlock(std::move(block));
    if (state.operationQueue.isSuspended()) return;
    state.operationQueue.waitUntilAllOperationsAreFinished();
    state.operationQueue.setSuspended(true);
    state.serialQueue.after(0.5, [&state] { state.operationQueue.setSuspended(false); });
}

void KLVAnalytics::unsuspendOperationQueue() {
    frontDoor().operationQueue.setSuspended(false);
}

bool KLVAnalytics::isCurrentQueueSerialQueue() {
    const auto* current = platform::DispatchQueue::current();
    return current && current->label() == kKLVAnalyticsQueueLabel;
}

bool KLVAnalytics::isOperationQueueSuspended() {
    return frontDoor().operationQueue.isSuspended();
}

void KLVAnalytics::waitForQueues() {
    auto& state = frontDoor();
    state.operationQueue.waitUntilAllOperationsAreFinished();
    state.serialQueue.sync([] {});
}

void KLVAnalytics::finishQueuedWork() {
    auto& state = frontDoor();
    {
        std::lock_guard lock(state.startMutex);
        if (!state.started) return;
    }
    decltype(KLVMeasurementService::sharedInstance()) measurement;
    for (int round = 0; round < 2; ++round) {
        // Events logged while the start is still under way wait in the suspended operation
        // queue: they are written once it resumes. The caller bounds the wait.
        while (state.operationQueue.isSuspended() && state.operationQueue.operationCount() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        waitForQueues();
        // Only now: the start makes the service on the serial queue, and a stop early in the
        // launch can come before that block has run. Not made at all: nothing to finish.
        measurement = KLVMeasurementService::sharedInstance();
        if (!measurement) return;
        measurement->scheduler()->dispatchSyncOnWorkerQueueBlockID("KLVAnalytics:finish", [] {});
    }
    if (const auto& config = measurement->persistedConfig()) config->synchronizeToDisk();
}

void KLVAnalytics::logEventsNotStored(double seconds) {
    auto& monitor = engine::monitor();
    monitor.logWithLevel(kKLVLogError, 25046,
                         "Events logged were not stored in the time given and are lost. Events, "
                         "seconds",
                         loggedEventsNotStored(), seconds);
    monitor.monitorQueue().sync([] {});
}

std::int64_t KLVAnalytics::loggedEventsNotStored() {
    std::int64_t count = frontDoor().eventsOnTheWay.load();
    if (KLVMeasurementService::hasSharedInstance()) {
        if (const auto service = KLVMeasurementService::sharedInstance())
            count += service->loggedEventsNotStored();
    }
    return count;
}

bool KLVAnalytics::isEnabledFlag() {
    return frontDoor().enabled.load();
}

double KLVAnalytics::loadTimestamp() {
    return KLVAnalyticsStore::loadTimestamp();
}

void KLVAnalytics::setLoadTimestamp(double timestamp) {
    KLVAnalyticsStore::setLoadTimestamp(timestamp);
}

// ---- Start ----------------------------------------------------------------------------------

std::optional<std::vector<std::string>> KLVValidateSafelistedEvents(const platform::Object& value) {
    auto& monitor = engine::monitor();
    if (!value.isArray()) {
        monitor.logWithLevel(kKLVLogError, 25034,
                             "Invalid safelisted event parameter. Type must be an array");
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (const auto& element : value.asArray()) {
        if (!element.isString() ||
            !KLVDataTypeValidator::isValidInternalEventName(element.asString())) {
            monitor.logWithLevel(kKLVLogError, 25035, "Invalid event name for safelisting. Name",
                                 element);
            return std::nullopt;
        }
        names.push_back(element.asString());
    }
    return names;
}

namespace {

bool booleanOption(const platform::Dictionary& options, const char* key, bool fallback) {
    const auto it = options.find(key);
    if (it == options.end() || !it->second.isNumber()) return fallback;
    return it->second.numberAsDouble().value_or(0) != 0;
}

// The part of the start that runs once per process, on the caller's thread.
void startOnce(FrontDoorState& state, const std::string& appID, const std::string& origin,
               const platform::Dictionary& options) {
    auto& monitor = engine::monitor();
    if (KLVConsentSettingsUtil::consentSource() == kKLVConsentSourceNone) {
        KLVAnalyticsStore::loadPersistedConsentSettings();
    }
    // The only origin that gets here is "qd": the host's core starting the engine.
    if (const auto identity = KLVIdentity::sharedInstance()) {
        {
            const auto stored = identity->appIDFromZKT();
            if (stored != appID) {
                identity->setAppIDFromZKT(appID);
                monitor.logWithLevel(kKLVLogErrorMonitored, 25020,
                                     "Analytics requires Nexory App ID from "
                                     "NexoryService-Info.plist. Your data may be lost. Nexory App "
                                     "ID has been changed. Original, new ID",
                                     stored ? platform::Object(*stored) : platform::Object(),
                                     appID);
            }
        }
    }
    platform::NotificationCenter::defaultCenter().postNotificationName(
        kKLVAnalyticsWillStartNotification);
    KLVIdentifiers::sharedInstance().setOrigin(origin);

    const bool collectionEnabled = booleanOption(options, kKLVStartOptionCollectionEnabled, true);
    state.deactivated.store(booleanOption(options, kKLVStartOptionCollectionDeactivated, false));
    const void* configuration = nullptr;
    if (const auto it = options.find(kKLVStartOptionConfiguration); it != options.end()) {
        // The configuration object travels as its address: it is only compared by identity.
        if (const auto address = it->second.numberAsInteger()) {
            configuration = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(*address));
        }
    }
    std::optional<std::vector<std::string>> safelistedEvents;
    if (const auto it = options.find(kKLVStartOptionSafelistedEvents); it != options.end()) {
        safelistedEvents = KLVValidateSafelistedEvents(it->second);
    }
    const platform::Dictionary startConsent =
        KLVConsentSettingsUtil::consentSettingsFromDictionary(options);
    if (!startConsent.empty()) KLVAnalyticsStore::setConsentSettings1PStart(startConsent);

    state.serialQueue.async([&state, appID, collectionEnabled,
                             safelistedEvents = std::move(safelistedEvents)]() mutable {
        const bool deactivated = state.deactivated.load();
        KLVMeasurementService::initializeSharedInstanceWithAppID(
            appID, collectionEnabled, deactivated, std::move(safelistedEvents));
        if (!state.isAppDelegateProxyEnabled()) {
            engine::monitor().logWithLevel(kKLVLogNotice, 25036, "App Delegate Proxy is disabled");
        } else if (!deactivated) {
            platform::mainQueue().async([] { KLVAnalytics::createAppDelegateProxy(); });
        }
        const auto service = KLVMeasurementService::sharedInstance();
        state.enabled.store(service && service->wasEnabledDuringInitialization());
        KLVAnalytics::maybeEnableTagManager();
    });
    if (configuration) KLVAnalytics::observeNotificationsForAnalyticsConfiguration(configuration);
    platform::SKPaymentQueue::defaultQueue().addTransactionObserver(
        &KLVAnalytics::sharedInstance());
    // Every operation queued before now runs after the start block: each one only moves its
    // block onto the same serial queue behind it.
    KLVAnalytics::unsuspendOperationQueue();
}

}  // namespace

void KLVAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const platform::Dictionary& options) {
    auto& monitor = engine::monitor();
    auto& state = frontDoor();
    // Neither an older engine framework nor the advertising component is part of this process,
    // and the public interface always is: of the start's checks only the origin can fail.
    if (origin != "qd") {
        monitor.logWithLevel(kKLVLogWarning, 25026,
                             "Deferring to Tarnwell for event data collection");
        return;
    }
    if (!options.empty()) {
        const auto it = options.find(kKLVStartOptionLogTag);
        if (it != options.end() && it->second.isString() && !it->second.asString().empty()) {
            monitor.setLogTag(it->second.asString());
        } else {
            monitor.logWithLevel(kKLVLogErrorSilent, 25030,
                                 "Invalid monitor tag. It must be a non-empty string.");
        }
    }
    {
        std::lock_guard lock(state.startMutex);
        if (state.started) return;
        state.started = true;
    }
    startOnce(state, appID, origin, options);
}

}  // namespace engine
