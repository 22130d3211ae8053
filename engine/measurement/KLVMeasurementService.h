#pragma once

// The measurement service as the front door sees it: its creation and the calls the front door
// makes. The service itself (KLVMeasurement.h, used only inside this folder) implements it and
// keeps its state and its concern-by-concern work behind it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/KLVMeasurementBase.h"
#include "engine/events/KLVUserAttribute.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/UserActivity.h"
#include "platform/storekit/StoreKit.h"

namespace engine {

class KLVPersistedConfig;
class KLVScheduler;

// Takes over public events: origin, name, parameters (screen parameters laid over them) and the
// logging time.
using KLVLogEventInterceptor =
    std::function<void(const std::string& origin, const std::string& name,
                       const platform::Dictionary& parameters, double timestamp)>;
// The session ID, or 0 and an error of code 13.
using KLVSessionIDCompletion =
    std::function<void(std::int64_t sessionID, std::optional<platform::Error> error)>;

inline constexpr std::int64_t kKLVSessionIDErrorCode = 13;

// Runs a block behind the front door's pending operations; the front door installs it.
using KLVOperationQueueHandOver = std::function<void(std::function<void()>)>;
void KLVSetOperationQueueHandOver(KLVOperationQueueHandOver handOver);

class KLVMeasurementService : public KLVMeasurementBase {
  public:
    // Creates the shared service once per process (an empty app ID creates none, 23170, and no
    // later call creates one). The service's first worker block, the enable decided at creation,
    // is scheduled only once the service is published.
    static void initializeSharedInstanceWithAppID(
        const std::string& appID, bool isAnalyticsCollectionEnabled,
        bool isAnalyticsCollectionDeactivated,
        std::optional<std::vector<std::string>> safelistedEvents);
    // The service, or null before it is created (asked before any creation, it also warns with
    // code 23147 that the host has not been configured). A stand-in of another class answers
    // null here.
    static std::shared_ptr<KLVMeasurementService> sharedInstance();
    // The running service's settings, else the defaults: KLVRemoteConfig::current().
    static std::shared_ptr<KLVRemoteConfig> remoteConfig() { return KLVRemoteConfig::current(); }
    // The web-page URL of a browsing user activity, or nothing (23003, 23006).
    static std::optional<std::string> deepLinkFromUserActivity(
        const platform::NSUserActivity* userActivity);
    // Observes the app's finished launch (the engine's set-up calls it once).
    static void subscribeForAppDidFinishLaunchingNotifications();

    virtual bool wasEnabledDuringInitialization() const = 0;
    virtual bool didInitializeComponents() const = 0;
    // The worker queue's scheduler and the persisted configuration, for the front door's wait
    // for the queued work at the end.
    virtual const std::shared_ptr<KLVScheduler>& scheduler() const = 0;
    virtual const std::shared_ptr<KLVPersistedConfig>& persistedConfig() const = 0;
    // Any thread: schedules the switch on the worker queue.
    virtual void setEnabled(bool enabled) = 0;

    // The calls below return at once and do their work on the service's worker queue.
    // Events logged while the block queued for the previous one has neither started nor anything
    // been queued behind it join that block: a burst waits compactly and is handled together.
    virtual void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                    const std::string& name, const platform::Dictionary& parameters,
                                    double timestamp, bool enabled, bool ignoreEnabled,
                                    bool ignoreInterceptor, KLVLogEventInterceptor interceptor,
                                    const platform::Dictionary& addedScreenParameters) = 0;
    // Any thread: the events given to logEventWithOrigin whose writes are not committed yet
    // (waiting for the worker queue, or written in a grouped transaction still open).
    virtual std::int64_t loggedEventsNotStored() const = 0;
    // Any thread but the worker's, when the time to store the logged events has run out: no
    // logged event is stored from now on, in this service's life, and those not stored stay
    // counted. Waits, at most `seconds`, for the group of events being written to end
    // (committed or failed); false when it did not end in time.
    virtual bool stopStoringEvents(double seconds) = 0;
    virtual void setSessionTimeoutInterval(double seconds) = 0;
    // The completion is called on the worker queue, or with "Analytics deallocated" when the
    // service is gone.
    virtual void sessionIDWithCompletion(KLVSessionIDCompletion completion) = 0;
    virtual void setUserData(const platform::Dictionary& userData) = 0;
    // Off the main thread; synchronously on the worker queue. False for an empty ID while
    // analytics storage is granted (23167).
    [[nodiscard]] virtual bool resetAnalyticsDataWithAppInstanceID(
        const std::optional<std::string>& appInstanceID) = 0;
    // Nothing clears the defaults.
    virtual void setDefaultEventParameters(
        const std::optional<platform::Dictionary>& parameters) = 0;
    // Refused on the worker queue (23163); else the campaign handling.
    virtual void handleNonFirstOpenEventURL(const std::string& url,
                                            double eventTimestampInSeconds) = 0;
    // Nothing logs 23079 / 23074.
    virtual void setUserAttribute(const std::optional<KLVUserAttribute>& attribute) = 0;
    virtual void removeUserAttribute(const std::optional<KLVUserAttribute>& attribute) = 0;
    // An empty callback logs 23090.
    virtual void userPropertiesIncludingInternal(
        bool includeInternal, std::function<void(const platform::Dictionary&)> callback) = 0;
    // An empty origin logs 23093, an empty callback 23094.
    virtual void maxUserPropertiesForOrigin(const std::string& origin,
                                            std::function<void(std::int64_t)> callback) = 0;
    // Drops the store transactions that are not purchases or were reported before, then hands
    // the rest, in order, to the callback on the default-priority global queue.
    virtual void filterPurchaseTransactions(
        std::vector<platform::SKPaymentTransaction> transactions,
        std::function<void(std::vector<platform::SKPaymentTransaction>)> callback) = 0;
    // The "_npa" value (1 disables, 0 allows) or nothing (no decision, remove it): the app's
    // persisted choice, the consent, the Info.plist default, then the consent defaults.
    virtual std::optional<platform::Object> shouldDisableAdPersonalization() = 0;
};

}  // namespace engine
