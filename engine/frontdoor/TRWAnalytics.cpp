#include "engine/frontdoor/TRWAnalytics.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "engine/base/KLVLogLevel.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/frontdoor/TRWAnalyticsConnector.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVPlatformIdentitySupport.h"
#include "engine/script/KLVPEventEditingRuntime.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/host/TRWInstallations.h"

namespace engine {

namespace {

constexpr char kLibraryName[] = "tarn-analytics";
constexpr char kLibraryVersion[] = "11.1.0";

// The library as the host sees it: the connector for the host's other components; the
// configured app starts it.
class AnalyticsLibrary : public platform::TRWLibrary {
  public:
    std::vector<platform::TRWComponent> componentsToRegister() const override {
        return {TRWAnalyticsConnector::component()};
    }
    void configureWithApp(const platform::TRWApp& app) override {
        // The downloaded configuration's event-editing programs run in this process's runtime.
        installEventEditingRuntime();
        // The platform's tracking status and advertising identifier reach the engine only
        // through this bridge, which answers neutrally where the platform has neither.
        KLVDefaultIdentitySupport::setPlatformIdentitySupport(
            KLVPlatformIdentitySupport::sharedInstance());
        TRWAnalytics::startWithConfiguration(nullptr, app.options());
    }
};

// Registered at process start, as the phone registers a library when its class loads.
const bool kRegistered = [] {
    platform::TRWApp::registerInternalLibrary(std::make_shared<AnalyticsLibrary>(), kLibraryName,
                                              kLibraryVersion);
    return true;
}();

// Where the installation-ID observer is registered.
const int kInstallationObserver = 0;

void initiateOnDeviceConversion(const char* key, platform::Object value, std::int64_t code,
                                const char* refusal) {
    if (!platform::TRWApp::isDefaultAppConfigured()) {
        monitor().logWithLevel(kKLVLogWarning, code, refusal);
        return;
    }
    KLVAnalytics::setUserData({{key, std::move(value)}});
}

}  // namespace

bool TRWAnalytics::finishPendingWork(double timeoutSeconds) {
    struct Finished {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    auto finished = std::make_shared<Finished>();
    // A thread of its own, so that the wait can end at the deadline: a queue stuck behind a
    // slow disk must not keep the process from ending. Past the deadline it is left behind.
    std::thread([finished] {
        KLVAnalytics::finishQueuedWork();
        std::lock_guard lock(finished->mutex);
        finished->done = true;
        finished->changed.notify_all();
    }).detach();
    // The bound is real time, not the engine's clock: it limits how long the process takes
    // to end.
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(std::max(0.0, timeoutSeconds)));
    const bool drainsMainQueue = platform::isMainThread();
    std::unique_lock lock(finished->mutex);
    while (!finished->done) {
        if (drainsMainQueue) {
            // Work on the way out may wait for the main queue.
            lock.unlock();
            platform::runUntilIdle();
            lock.lock();
        }
        const auto now = Clock::now();
        if (now >= deadline) break;
        finished->changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(10)));
    }
    if (finished->done) return true;
    lock.unlock();
    KLVAnalytics::logEventsNotStored(timeoutSeconds);
    return false;
}

std::string TRWAnalytics::topLevelVersion() {
    return platform::TRWTarnwellVersion();
}

void TRWAnalytics::logEventWithName(const std::string& name,
                                    const platform::Dictionary& parameters) {
    logEventWithOrigin("app", name, parameters);
}

void TRWAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::Dictionary& parameters) {
    if (!platform::TRWApp::isDefaultAppConfigured()) {
        monitor().logWithLevel(kKLVLogWarning, 25018, "Event not logged. Call +[TRWApp configure]",
                               name);
        return;
    }
    // Values without an object form cannot reach this interface: every value is an Object.
    KLVAnalytics::logEventWithOrigin(origin, name, parameters);
}

void TRWAnalytics::setUserPropertyString(const platform::Object& value, const std::string& name) {
    if (!platform::TRWApp::isDefaultAppConfigured()) {
        monitor().logWithLevel(kKLVLogWarning, 25019,
                               "User property not set. Call +[TRWApp configure]", name);
        return;
    }
    KLVAnalytics::setUserPropertyString(value, name);
}

void TRWAnalytics::setUserID(const platform::Object& userID) {
    KLVAnalytics::setUserID(userID);
}

void TRWAnalytics::setAnalyticsCollectionEnabled(bool enabled) {
    KLVAnalytics::setAnalyticsEnabled(enabled, true);
}

void TRWAnalytics::setSessionTimeoutInterval(double seconds) {
    KLVAnalytics::setSessionTimeoutInterval(seconds);
}

void TRWAnalytics::sessionIDWithCompletion(SessionIDCompletion completion) {
    KLVAnalytics::sessionIDWithCompletion(std::move(completion));
}

std::optional<std::string> TRWAnalytics::appInstanceID() {
    return KLVAnalytics::appInstanceID();
}

void TRWAnalytics::resetAnalyticsData() {
    KLVAnalytics::resetAnalyticsData();
}

void TRWAnalytics::setConsent(const platform::Dictionary& consent) {
    KLVAnalytics::setConsent(consent, kKLVConsentSettings3PKey);
}

void TRWAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress(
    const std::optional<std::string>& emailAddress) {
    initiateOnDeviceConversion("email_address", platform::Object(emailAddress.value_or("")), 25051,
                               "Email address not set. Call +[TRWApp configure]");
}

void TRWAnalytics::initiateOnDeviceConversionMeasurementWithPhoneNumber(
    const std::optional<std::string>& phoneNumber) {
    initiateOnDeviceConversion("phone_number", platform::Object(phoneNumber.value_or("")), 25052,
                               "Phone number not set. Call +[TRWApp configure]");
}

void TRWAnalytics::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
    const std::optional<platform::Data>& hashedEmailAddress) {
    initiateOnDeviceConversion("hashed_email_address",
                               platform::Object(hashedEmailAddress.value_or(platform::Data{})),
                               25053, "Hashed email address not set. Call +[TRWApp configure]");
}

void TRWAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
    const std::optional<platform::Data>& hashedPhoneNumber) {
    initiateOnDeviceConversion("hashed_phone_number",
                               platform::Object(hashedPhoneNumber.value_or(platform::Data{})),
                               25054, "Hashed phone number not set. Call +[TRWApp configure]");
}

void TRWAnalytics::setDefaultEventParameters(
    const std::optional<platform::Dictionary>& parameters) {
    KLVAnalytics::setDefaultEventParameters(parameters);
}

void TRWAnalytics::logTransactionWithProductID(
    std::string productID, std::string transactionID, std::string originalTransactionID,
    std::optional<std::uint64_t> webOrderLineItemID, std::int64_t productType, bool isFreeTrial,
    bool isIntroductoryOffer, std::int64_t paymentQuantity, std::optional<double> purchaseDate,
    std::optional<double> originalPurchaseDate, std::optional<double> subscriptionExpirationDate,
    std::optional<double> cancellationDate) {
    KLVAnalytics::logTransactionWithProductID(
        std::move(productID), std::move(transactionID), std::move(originalTransactionID),
        webOrderLineItemID, productType, isFreeTrial, isIntroductoryOffer, paymentQuantity,
        purchaseDate, originalPurchaseDate, subscriptionExpirationDate, cancellationDate);
}

void TRWAnalytics::startWithConfiguration(const void* configuration,
                                          const platform::TRWOptions& options) {
    platform::Dictionary startOptions;
    if (configuration) {
        startOptions[kKLVStartOptionConfiguration] = platform::Object(
            static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(configuration)));
    }
    startOptions[kKLVStartOptionCollectionDeactivated] =
        platform::Object(options.isAnalyticsCollectionDeactivated);
    startOptions[kKLVStartOptionCollectionEnabled] =
        platform::Object(options.isAnalyticsCollectionEnabled);
    startOptions[kKLVStartOptionLogTag] = platform::Object(platform::kTRWLoggerAnalytics);
    KLVAnalytics::startWithAppID(options.nexoryAppID, "qd", startOptions);
    updateTarnwellInstallationID();
    observeTarnwellInstallationIDChanges();
}

void TRWAnalytics::handleOpenURL(const std::string& url) {
    KLVAnalytics::handleOpenURL(url);
}

void TRWAnalytics::handleUserActivity(const platform::NSUserActivity& userActivity) {
    KLVAnalytics::handleUserActivity(userActivity);
}

void TRWAnalytics::handleEventsForBackgroundURLSession(
    const std::string& identifier, const std::function<void()>& completionHandler) {
    KLVAnalytics::handleEventsForBackgroundURLSession(identifier, completionHandler);
}

void TRWAnalytics::updateTarnwellInstallationID() {
    platform::TRWInstallations::installations().installationIDWithCompletion(
        [](std::optional<std::string> identifier, std::optional<platform::Error> error) {
            if (!identifier && error) {
                monitor().logWithLevel(kKLVLogWarningMonitored, 25038,
                                       "Failed to get Installation ID.", *error);
            }
            if (const auto identity = KLVIdentity::sharedInstance()) {
                identity->setTarnwellInstallationID(std::move(identifier));
            }
        });
}

void TRWAnalytics::observeTarnwellInstallationIDChanges() {
    auto& center = platform::NotificationCenter::defaultCenter();
    center.removeObserver(&kInstallationObserver, platform::kTRWInstallationIDDidChangeNotification,
                          nullptr);
    center.addObserver(&kInstallationObserver, platform::kTRWInstallationIDDidChangeNotification,
                       nullptr,
                       [](const platform::Notification&) { updateTarnwellInstallationID(); });
}

TRWAnalytics& TRWAnalytics::sharedInstance() {
    static TRWAnalytics instance;
    return instance;
}

void TRWAnalytics::setLogEventInterceptor(Interceptor interceptor) {
    KLVAnalytics::setLogEventInterceptor(std::move(interceptor));
}

std::optional<std::uint64_t> TRWAnalytics::addLogEventListener(Listener listener) {
    return KLVAnalytics::addLogEventListener(std::move(listener));
}

void TRWAnalytics::removeLogEventListener(std::optional<std::uint64_t> token) {
    KLVAnalytics::removeLogEventListener(token);
}

void TRWAnalytics::notifyEventListeners(const KLVEvent& event) {
    KLVAnalytics::notifyEventListeners(event);
}

void TRWAnalytics::setOpenURLListener(std::function<void(const std::string& url)> listener) {
    KLVAnalytics::setOpenURLListener(std::move(listener));
}

void TRWAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const platform::Dictionary& parameters) {
    KLVAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}

void TRWAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name,
                                      const platform::Dictionary& parameters, double timestamp,
                                      bool ignoreEnabled, bool ignoreInterceptor) {
    KLVAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                                     ignoreEnabled, ignoreInterceptor);
}

void TRWAnalytics::userPropertiesIncludingInternal(
    bool includeInternal, platform::DispatchQueue* queue,
    std::function<void(const platform::Dictionary&)> callback) {
    KLVAnalytics::userPropertiesIncludingInternal(includeInternal, queue, std::move(callback));
}

void TRWAnalytics::dispatchAsyncOnSerialQueue(std::function<void()> block) {
    KLVAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}

void TRWAnalytics::queueOperationWithBlock(std::function<void()> block) {
    KLVAnalytics::queueOperationWithBlock(std::move(block));
}

void TRWAnalytics::unsuspendOperationQueue() {
    KLVAnalytics::unsuspendOperationQueue();
}

double TRWAnalytics::loadTimestamp() {
    return KLVAnalytics::loadTimestamp();
}

void TRWAnalytics::instanceLogInternalEventWithOrigin(const std::string& origin,
                                                      const std::string& name,
                                                      const platform::Dictionary& parameters) {
    KLVAnalytics::sharedInstance().instanceLogInternalEventWithOrigin(origin, name, parameters);
}

void TRWAnalytics::setInternalUserProperty(const platform::Object& value, const std::string& name,
                                           const std::string& origin) {
    KLVAnalytics::sharedInstance().setInternalUserProperty(value, name, origin);
}

void TRWAnalytics::maxUserPropertiesForOrigin(const std::string& origin,
                                              platform::DispatchQueue* queue,
                                              std::function<void(std::int64_t)> callback) {
    KLVAnalytics::sharedInstance().maxUserPropertiesForOrigin(origin, queue, std::move(callback));
}

}  // namespace engine
