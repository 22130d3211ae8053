#pragma once

// The analytics engine's public interface: the one engine header the app includes.
//
// The app calls logEventWithName() (and may set user properties, consent and the collection
// switch); the host's core calls startWithConfiguration() once the app is configured (this
// library registers itself with the host for that at process start); the host's other components
// use the rest. Every call may come from any thread and returns at once: the work runs on the
// engine's queues.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/UserActivity.h"
#include "platform/host/TRWApp.h"

namespace engine {

class KLVEvent;

class TRWAnalytics {
  public:
    using Interceptor =
        std::function<void(const std::string& origin, const std::string& name,
                           const platform::Dictionary& parameters, double timestamp)>;
    using Listener = std::function<void(const KLVEvent& event)>;
    using SessionIDCompletion =
        std::function<void(std::int64_t sessionID, std::optional<platform::Error> error)>;

    // The host core's version ("11.1.0").
    static std::string topLevelVersion();

    // ---- The app's calls ----------------------------------------------------------------------
    // Dropped with a warning (25018) until the host app is configured.
    static void logEventWithName(const std::string& name,
                                 const platform::Dictionary& parameters = {});
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const platform::Dictionary& parameters);
    // A string, or null to remove the property; refused (25019) until the app is configured.
    static void setUserPropertyString(const platform::Object& value, const std::string& name);
    // A string, or null to remove it.
    static void setUserID(const platform::Object& userID);
    static void setAnalyticsCollectionEnabled(bool enabled);
    static void setSessionTimeoutInterval(double seconds);
    static void sessionIDWithCompletion(SessionIDCompletion completion);
    static std::optional<std::string> appInstanceID();
    static void resetAnalyticsData();
    // Consent type ("ad_storage", ...) to "granted" or "denied".
    static void setConsent(const platform::Dictionary& consent);
    static void initiateOnDeviceConversionMeasurementWithEmailAddress(
        const std::optional<std::string>& emailAddress);
    static void initiateOnDeviceConversionMeasurementWithPhoneNumber(
        const std::optional<std::string>& phoneNumber);
    static void initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
        const std::optional<platform::Data>& hashedEmailAddress);
    static void initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
        const std::optional<platform::Data>& hashedPhoneNumber);
    static void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters);
    // A store purchase made outside the payment queue, reported as the engine's purchase event.
    // Product types: 0 non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable. Dates in
    // seconds since 1970.
    static void logTransactionWithProductID(
        std::string productID, std::string transactionID, std::string originalTransactionID,
        std::optional<std::uint64_t> webOrderLineItemID, std::int64_t productType, bool isFreeTrial,
        bool isIntroductoryOffer, std::int64_t paymentQuantity, std::optional<double> purchaseDate,
        std::optional<double> originalPurchaseDate,
        std::optional<double> subscriptionExpirationDate, std::optional<double> cancellationDate);

    // For the end of the process: waits at most `timeoutSeconds` for the events logged before
    // the call to be stored and for the engine's persisted state to be written. False when the
    // time ran out first (what was not written then is lost with the process). The calling
    // thread keeps draining the main queue meanwhile, when it is the main thread.
    static bool finishPendingWork(double timeoutSeconds);

    // ---- The host's calls -----------------------------------------------------------------------
    // Starts the engine with the configured app's options and origin "qd"; `configuration` is
    // the object that posts "TRWAnalyticsConfigurationSetEnabledNotification" (may be null).
    static void startWithConfiguration(const void* configuration,
                                       const platform::TRWOptions& options);
    static void handleOpenURL(const std::string& url);
    static void handleUserActivity(const platform::NSUserActivity& userActivity);
    static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                    const std::function<void()>& completionHandler);
    static void updateTarnwellInstallationID();
    static void observeTarnwellInstallationIDChanges();

    // ---- The host components' calls -------------------------------------------------------------
    static TRWAnalytics& sharedInstance();
    static void setLogEventInterceptor(Interceptor interceptor);
    static std::optional<std::uint64_t> addLogEventListener(Listener listener);
    static void removeLogEventListener(std::optional<std::uint64_t> token);
    static void notifyEventListeners(const KLVEvent& event);
    static void setOpenURLListener(std::function<void(const std::string& url)> listener);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const platform::Dictionary& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                   const std::string& name, const platform::Dictionary& parameters,
                                   double timestamp, bool ignoreEnabled, bool ignoreInterceptor);
    // The callback gets the properties on `queue`.
    static void userPropertiesIncludingInternal(
        bool includeInternal, platform::DispatchQueue* queue,
        std::function<void(const platform::Dictionary&)> callback);
    static void dispatchAsyncOnSerialQueue(std::function<void()> block);
    static void queueOperationWithBlock(std::function<void()> block);
    static void unsuspendOperationQueue();
    static double loadTimestamp();

    // Instance operations for the connector. The first is the instance form of
    // logInternalEventWithOrigin (a decimal "_aeid" of origin "vu" becomes a number).
    void instanceLogInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                            const platform::Dictionary& parameters);
    void setInternalUserProperty(const platform::Object& value, const std::string& name,
                                 const std::string& origin);
    void maxUserPropertiesForOrigin(const std::string& origin, platform::DispatchQueue* queue,
                                    std::function<void(std::int64_t)> callback);

  private:
    TRWAnalytics() = default;
};

}  // namespace engine
