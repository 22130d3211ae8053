// Event entries, the hand-over to the measurement service, the interceptor and listeners, and
// links.

#include <charconv>
#include <limits>
#include <mutex>
#include <utility>

#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVNumericUtil.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/frontdoor/FrontDoorState.h"
#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/measurement/KLVScreenViewReporter.h"
#include "platform/dispatch/Clock.h"
#include "platform/utilities/WDLNetwork.h"

namespace engine {

namespace {

constexpr char kScreenViewEventName[] = "screen_view";
constexpr std::int64_t kEventNameLimit = 40;
constexpr std::int64_t kInvalidEventNameError = 2;
constexpr std::int64_t kReservedEventNameError = 13;
constexpr char kAdEventIDParameter[] = "_aeid";

// The integer value of a decimal text, as the phone's string reads it: an optional sign, the
// digits before any point, saturating at the 64-bit limits.
std::int64_t integerValueOfDecimalString(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const std::string_view digits = text.substr(0, text.find('.'));
    std::uint64_t magnitude = 0;
    for (const char c : digits) {
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            magnitude = std::numeric_limits<std::uint64_t>::max();
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (negative) {
        if (magnitude > kMax) return std::numeric_limits<std::int64_t>::min();
        return -static_cast<std::int64_t>(magnitude);
    }
    return magnitude > kMax ? std::numeric_limits<std::int64_t>::max()
                            : static_cast<std::int64_t>(magnitude);
}

// The screen parameters an event gets on the calling thread: none when it brings its own.
platform::Dictionary screenParametersFor(const platform::Dictionary& parameters) {
    if (KLVHasScreenParameters(parameters)) return {};
    return KLVScreenViewReporter::sharedInstance().screenParameters();
}

void queueHandOver(std::string origin, bool isPublicEvent, std::string name,
                   platform::Dictionary parameters, double timestamp, bool ignoreEnabled,
                   bool ignoreInterceptor, platform::Dictionary screenParameters) {
    // Counted on its way until the service has it (and counts it itself), for the end of the
    // process to tell how many were not stored in time.
    auto& onTheWay = frontDoor().eventsOnTheWay;
    ++onTheWay;
    const bool queued = KLVAnalytics::queueOperationWithBlock(
        [origin = std::move(origin), isPublicEvent, name = std::move(name),
         parameters = std::move(parameters), timestamp, ignoreEnabled, ignoreInterceptor,
         screenParameters = std::move(screenParameters), &onTheWay] {
            std::lock_guard handOver(frontDoor().handOverMutex);
            KLVAnalytics::logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, parameters,
                                                          timestamp, ignoreEnabled,
                                                          ignoreInterceptor, screenParameters);
            --onTheWay;
        });
    if (!queued) --onTheWay;
}

// Runs the block on the serial queue: at once when already there, else through the operation
// queue.
void onSerialQueue(std::function<void()> block) {
    if (KLVAnalytics::isCurrentQueueSerialQueue()) {
        block();
    } else {
        KLVAnalytics::queueOperationWithBlock(std::move(block));
    }
}

}  // namespace

void KLVAnalytics::logEventWithName(const std::string& name,
                                    const platform::Dictionary& parameters) {
    logEventWithOrigin("app", name, parameters);
}

void KLVAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::Dictionary& parameters) {
    std::int64_t failureCode = 0;
    if (!KLVDataTypeValidator::isValidPublicEventName(name, &failureCode)) {
        const platform::Object value(name);
        KLVLogErrorEventWithName(failureCode == kKLVValidationReserved ? kReservedEventNameError
                                                                       : kInvalidEventNameError,
                                 name, kEventNameLimit, &value);
        return;
    }
    logEventWithOrigin(origin, true, name, parameters);
}

void KLVAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const platform::Dictionary& parameters) {
    logEventWithOrigin(origin, false, name, parameters);
}

void KLVAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name,
                                      const platform::Dictionary& parameters) {
    if (name == kScreenViewEventName) {
        KLVScreenViewReporter::sharedInstance().trackScreenWithParameters(parameters,
                                                                          platform::currentTime());
        return;
    }
    platform::Dictionary screenParameters = screenParametersFor(parameters);
    auto& state = frontDoor();
    // The clock read and the enqueue in one critical section: operations enter the operation
    // queue in the order of their timestamps.
    std::lock_guard lock(state.timestampMutex);
    queueHandOver(origin, isPublicEvent, name, parameters, platform::currentTime(), false, false,
                  std::move(screenParameters));
}

void KLVAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              double timestamp,
                                              const platform::Dictionary& parameters) {
    queueHandOver(origin, false, name, parameters, timestamp, false, false,
                  screenParametersFor(parameters));
}

void KLVAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name,
                                      const platform::Dictionary& parameters, double timestamp,
                                      bool ignoreEnabled, bool ignoreInterceptor) {
    queueHandOver(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                  ignoreInterceptor, {});
}

void KLVAnalytics::logEventOnSerialQueueWithOrigin(
    const std::string& origin, bool isPublicEvent, const std::string& name,
    const platform::Dictionary& parameters, double timestamp, bool ignoreEnabled,
    bool ignoreInterceptor, const platform::Dictionary& addedScreenParameters) {
    platform::Dictionary eventParameters = parameters;
    platform::Dictionary screenParameters = addedScreenParameters;
    // A forwarded event brings the screen of its own component inside its parameters.
    if (ignoreInterceptor && screenParameters.empty() &&
        KLVDataTypeValidator::isValidForwardedEventOrigin(origin)) {
        screenParameters = KLVScreenParameters(eventParameters);
        for (const auto& entry : screenParameters)
            eventParameters.erase(entry.first);
    }
    if (!KLVMeasurementService::hasSharedInstance()) return;
    const auto service = KLVMeasurementService::sharedInstance();
    if (!service) return;
    auto& state = frontDoor();
    service->logEventWithOrigin(origin, isPublicEvent, name, eventParameters, timestamp,
                                state.enabled.load(), ignoreEnabled, ignoreInterceptor,
                                state.interceptor, screenParameters);
}

void KLVAnalytics::instanceLogInternalEventWithOrigin(const std::string& origin,
                                                      const std::string& name,
                                                      const platform::Dictionary& parameters) {
    const auto it = parameters.find(kAdEventIDParameter);
    if (origin != "vu" || it == parameters.end() || !it->second.isString()) {
        logInternalEventWithOrigin(origin, name, parameters);
        return;
    }
    if (!KLVIsDecimalNumberString(it->second.asString())) {
        monitor().logWithLevel(kKLVLogErrorSilent, 25024, "AdEvent ID string is not a number");
        logInternalEventWithOrigin(origin, name, parameters);
        return;
    }
    platform::Dictionary converted = parameters;
    converted[kAdEventIDParameter] =
        platform::Object(integerValueOfDecimalString(it->second.asString()));
    logInternalEventWithOrigin(origin, name, converted);
}

// ---- Interceptor and listeners ----------------------------------------------------------------

void KLVAnalytics::setLogEventInterceptor(KLVLogEventInterceptor interceptor) {
    onSerialQueue([interceptor = std::move(interceptor)]() mutable {
        frontDoor().interceptor = std::move(interceptor);
    });
}

std::optional<std::uint64_t> KLVAnalytics::addLogEventListener(KLVLogEventListener listener) {
    if (!listener) {
        monitor().logWithLevel(kKLVLogErrorSilent, 25012,
                               "Attempted addition of nil log event listener.");
        return std::nullopt;
    }
    const std::uint64_t token = frontDoor().nextListenerToken.fetch_add(1);
    onSerialQueue([token, listener = std::move(listener)]() mutable {
        auto& listeners = frontDoor().listeners;
        if (!listeners) listeners.emplace();
        listeners->emplace(token, std::move(listener));
    });
    return token;
}

void KLVAnalytics::removeLogEventListener(std::optional<std::uint64_t> token) {
    auto& monitor = engine::monitor();
    if (!token) {
        monitor.logWithLevel(kKLVLogErrorSilent, 25013, "Attempted removal of nil log event.");
        return;
    }
    queueOperationWithBlock([token = *token] {
        auto& listeners = frontDoor().listeners;
        auto& monitor = engine::monitor();
        if (!listeners) {
            monitor.logWithLevel(kKLVLogErrorSilent, 25014,
                                 "Attempted removal of nil log event listener.");
        } else if (listeners->erase(token) == 0) {
            monitor.logWithLevel(kKLVLogErrorSilent, 25015,
                                 "Attempted removal of log event listener with invalid token.");
        }
    });
}

void KLVAnalytics::notifyEventListeners(const KLVEvent& event) {
    queueOperationWithBlock([event] { notifyEventListenersOnSerialQueue(event); });
}

void KLVAnalytics::notifyEventListenersOnSerialQueue(const KLVEvent& event) {
    const auto& listeners = frontDoor().listeners;
    if (!listeners) return;
    // A copy: a listener may add or remove listeners while it runs.
    const auto current = *listeners;
    for (const auto& [token, listener] : current)
        listener(event);
}

// ---- Links
// ---------------------------------------------------------------------------------------

void KLVAnalytics::handleOpenURL(const std::string& url) {
    const double timestamp = platform::currentTime();
    dispatchAsyncOnSerialQueue([url, timestamp] {
        if (const auto service = KLVMeasurementService::sharedInstance()) {
            service->handleNonFirstOpenEventURL(url, timestamp);
        }
        if (const auto& listener = frontDoor().openURLListener) listener(url);
    });
}

void KLVAnalytics::handleUserActivity(const platform::NSUserActivity& userActivity) {
    const double timestamp = platform::currentTime();
    dispatchAsyncOnSerialQueue([userActivity, timestamp] {
        const auto deepLink = KLVMeasurementService::deepLinkFromUserActivity(&userActivity);
        if (!deepLink || deepLink->empty()) return;
        if (const auto service = KLVMeasurementService::sharedInstance()) {
            service->handleNonFirstOpenEventURL(*deepLink, timestamp);
        }
    });
}

void KLVAnalytics::setOpenURLListener(KLVOpenURLListener listener) {
    dispatchAsyncOnSerialQueue([listener = std::move(listener)]() mutable {
        frontDoor().openURLListener = std::move(listener);
    });
}

void KLVAnalytics::handleEventsForBackgroundURLSession(
    const std::string& identifier, const std::function<void()>& completionHandler) {
    platform::WDLNetwork::handleEventsForBackgroundURLSessionID(identifier, completionHandler);
}

}  // namespace engine
