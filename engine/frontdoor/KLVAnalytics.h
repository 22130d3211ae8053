#pragma once

// The engine's front door. Every call of the public interface, and every event the engine logs
// itself, lands here. The front door starts the engine once, owns the three queues through which
// all work enters it, validates public event names, stamps each event with its time in call order
// and hands it to the measurement service on its serial queue. It also keeps the event listeners
// and the interceptor, forwards links, and sets user properties, consent and the collection
// switch through the same queues.
//
// The queues:
//   operation queue "KLVAnalyticsOperationQueue"  one operation at a time, suspended until the
//                                                  start; each operation only moves its block to
//                                                  the serial queue. Holds at most 10,000
//                                                  operations while suspended.
//   serial queue "KLVAnalyticsQueue"               where the front door's state is read and
//                                                  written after the start, and the service called
//   timestamp section                               the clock read and the enqueue of one event,
//                                                  under one mutex: events enter in time order
//
// All functions may be called from any thread unless noted. The front door's files:
// KLVAnalytics.cpp (state, queues, start), KLVAnalytics_Events.cpp (event entries, listeners,
// links), KLVAnalytics_UserProperties.cpp (user properties, switch, session, reset, user data),
// KLVAnalytics_Consent.cpp, KLVAnalytics_Purchases.cpp (the payment-queue observer, purchases).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/events/KLVEvent.h"
#include "engine/measurement/KLVMeasurementService.h"
#include "engine/purchases/KLVInAppPurchaseTransactionReporter.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/UserActivity.h"
#include "platform/storekit/SKPaymentQueue.h"

namespace engine {

inline constexpr char kKLVAnalyticsQueueLabel[] = "KLVAnalyticsQueue";
inline constexpr char kKLVAnalyticsOperationQueueName[] = "KLVAnalyticsOperationQueue";
inline constexpr char kKLVAnalyticsWillStartNotification[] = "kTRWAnalyticsWillStartNotification";
inline constexpr char kKLVAnalyticsConfigurationSetEnabledNotification[] =
    "TRWAnalyticsConfigurationSetEnabledNotification";
// Start options.
inline constexpr char kKLVStartOptionConfiguration[] = "TARNWELL_ANALYTICS_CONFIGURATION";
inline constexpr char kKLVStartOptionCollectionEnabled[] = "TARNWELL_ANALYTICS_COLLECTION_ENABLED";
inline constexpr char kKLVStartOptionCollectionDeactivated[] =
    "TARNWELL_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr char kKLVStartOptionLogTag[] = "brackenfold_log_tag";
inline constexpr char kKLVStartOptionSafelistedEvents[] = "safelisted_events";
// Operations a suspended operation queue holds; later ones are dropped.
inline constexpr std::size_t kKLVMaxSuspendedOperations = 10000;

using KLVLogEventListener = std::function<void(const KLVEvent& event)>;
using KLVOpenURLListener = std::function<void(const std::string& url)>;

// The safelisting option: an array of valid internal event names (an empty one too); anything
// else is rejected with 25034 or 25035.
std::optional<std::vector<std::string>> KLVValidateSafelistedEvents(const platform::Object& value);

// The shared instance observes the store's payment queue.
class KLVAnalytics : public platform::SKPaymentTransactionObserver {
  public:
    // The shared instance, for the three instance operations below.
    static KLVAnalytics& sharedInstance();

    // ---- Start and queues -----------------------------------------------------------------
    // Runs the start checks on every call; the first call that passes them starts the engine.
    static void startWithAppID(const std::string& appID, const std::string& origin,
                               const platform::Dictionary& options);
    static platform::DispatchQueue& queue();
    static void dispatchAsyncOnSerialQueue(std::function<void()> block);
    // Queues an operation that moves the block to the serial queue; false when the block was
    // dropped (the engine has not started and too many wait already).
    static bool queueOperationWithBlock(std::function<void()> block);
    // The same; then, unless the operation queue is suspended, waits for it to drain, suspends
    // it and lets it run again 0.5 s later (a block on the serial queue).
    static void queueOperationWithBlockThenWait(std::function<void()> block);
    static void unsuspendOperationQueue();
    static bool isCurrentQueueSerialQueue();
    // Seconds since 1970 when the engine was loaded, or last reset.
    static double loadTimestamp();
    static void setLoadTimestamp(double timestamp);

    // ---- Events ---------------------------------------------------------------------------
    static void logEventWithName(const std::string& name, const platform::Dictionary& parameters);
    // Public entry: validates the name (an invalid one becomes an "_err" event).
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const platform::Dictionary& parameters);
    // Internal entry, no name validation.
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const platform::Dictionary& parameters);
    // Internal entry with a given time (no timestamp section, no "screen_view" handling).
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           double timestamp,
                                           const platform::Dictionary& parameters);
    // Stamping and enqueueing.
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                   const std::string& name, const platform::Dictionary& parameters);
    // Full control: no validation, no screen parameters.
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                   const std::string& name, const platform::Dictionary& parameters,
                                   double timestamp, bool ignoreEnabled, bool ignoreInterceptor);
    // Serial queue: the hand-over to the service (dropped silently while there is none).
    static void logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                const std::string& name,
                                                const platform::Dictionary& parameters,
                                                double timestamp, bool ignoreEnabled,
                                                bool ignoreInterceptor,
                                                const platform::Dictionary& addedScreenParameters);
    // The instance form of logInternalEventWithOrigin: for origin "vu", a decimal "_aeid" string
    // becomes its 64-bit integer (else 25024), then the class form.
    void instanceLogInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                            const platform::Dictionary& parameters);

    static void setLogEventInterceptor(KLVLogEventInterceptor interceptor);
    // Nothing for an empty listener (25012).
    static std::optional<std::uint64_t> addLogEventListener(KLVLogEventListener listener);
    static void removeLogEventListener(std::optional<std::uint64_t> token);
    static void notifyEventListeners(const KLVEvent& event);
    // Serial queue.
    static void notifyEventListenersOnSerialQueue(const KLVEvent& event);

    // ---- Links and the app delegate ---------------------------------------------------------
    static void handleOpenURL(const std::string& url);
    static void handleUserActivity(const platform::NSUserActivity& userActivity);
    static void setOpenURLListener(KLVOpenURLListener listener);
    static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                    const std::function<void()>& completionHandler);
    // Main queue, once per process: the app-delegate proxy with the engine's interceptor.
    static void createAppDelegateProxy();
    // The optional tag-manager component is not part of this process: nothing to start.
    static void maybeEnableTagManager() {}

    // ---- User properties ----------------------------------------------------------------------
    static void setUserPropertyString(const platform::Object& value, const std::string& name);
    static void setUserID(const platform::Object& userID);
    static void removeUserAttributeForName(const std::string& name);
    static void setUserAttributeNumber(const platform::Object& number, const std::string& name);
    static void removeInternalUserAttributeForName(const std::string& name);
    void setInternalUserProperty(const platform::Object& value, const std::string& name,
                                 const std::string& origin);
    // The callback gets the properties on `queue` (null queue: 25007, an empty dictionary on the
    // main queue).
    static void userPropertiesIncludingInternal(
        bool includeInternal, platform::DispatchQueue* queue,
        std::function<void(const platform::Dictionary&)> callback);
    void maxUserPropertiesForOrigin(const std::string& origin, platform::DispatchQueue* queue,
                                    std::function<void(std::int64_t)> callback);

    // ---- Switches, sessions, reset, user data -------------------------------------------------
    static void setAnalyticsEnabled(bool enabled);
    static void setAnalyticsEnabled(bool enabled, bool persistSetting);
    // Observes the configuration object's set-enabled notification (null: observes nothing).
    static void observeNotificationsForAnalyticsConfiguration(const void* configuration);
    static void handleSetEnabled(const platform::Notification& notification);
    static void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters);
    static void setSessionTimeoutInterval(double seconds);
    // The completion runs on the default-priority global queue.
    static void sessionIDWithCompletion(KLVSessionIDCompletion completion);
    // Main thread only (else 25025).
    static void setScreenName(const std::optional<std::string>& screenName,
                              const std::optional<std::string>& screenClass);
    // Nothing while analytics storage is denied.
    static std::optional<std::string> appInstanceID();
    static void resetAnalyticsData();
    static void setUserData(const platform::Dictionary& userData);
    static void setUserDataOnSerialQueue(const platform::Dictionary& userData);

    // ---- Consent --------------------------------------------------------------------------------
    // First-party consent ("consent_settings").
    static void setConsent(const platform::Dictionary& consent);
    static void setConsent(const platform::Dictionary& consent, const std::string& key);

    // ---- Purchases (KLVAnalytics_Purchases.cpp) --------------------------------------------
    // The shared purchase reporter; its events enter through logInternalEventWithOrigin.
    static std::shared_ptr<KLVInAppPurchaseTransactionReporter> purchaseReporter();
    // The store's announcement: passed to the class form below.
    void paymentQueue(platform::SKPaymentQueue& queue,
                      const std::vector<platform::SKPaymentTransaction>& transactions) override;
    // The class form: through the operation queue and, while enabled, the service's duplicate
    // filter to the purchase reporter.
    static void paymentQueueUpdatedTransactions(
        const std::vector<platform::SKPaymentTransaction>& transactions);
    // Passes the twelve fields, on the calling thread, to the purchase reporter.
    static void logTransactionWithProductID(
        std::string productID, std::string transactionID, std::string originalTransactionID,
        std::optional<std::uint64_t> webOrderLineItemID, std::int64_t productType, bool isFreeTrial,
        bool isIntroductoryOffer, std::int64_t paymentQuantity, std::optional<double> purchaseDate,
        std::optional<double> originalPurchaseDate,
        std::optional<double> subscriptionExpirationDate, std::optional<double> cancellationDate);

    // ---- Test access --------------------------------------------------------------------------
    static bool isEnabledFlag();
    static bool isOperationQueueSuspended();
    // Waits until the operation queue has moved every waiting block to the serial queue (at
    // once while it is suspended), then until the serial queue has run them.
    static void waitForQueues();
    // Blocks until the events handed in before the call have passed the front door's queues and
    // the service's worker queue (twice, for the events the service logs in turn), then writes
    // the persisted configuration. Nothing to wait for when the engine never started.
    static void finishQueuedWork();
    // Any thread: the events logged that are not stored yet, on their way through the front
    // door's queues or waiting for the service to commit them.
    static std::int64_t loggedEventsNotStored();
    // Logs how many events were not stored when the `seconds` given to store them ran out
    // (25046), and returns once the line is written: the process ends next. The service stores
    // no more events from then on; the group it is writing is let finish first (for at most
    // `seconds` more), so that the count names only events the database does not hold.
    static void logEventsNotStored(double seconds);

  private:
    KLVAnalytics() = default;
    ~KLVAnalytics() override;
    friend struct FrontDoorState;
};

}  // namespace engine
