#include "engine/measurement/KLVScreenViewReporter.h"

#include <array>
#include <cstring>

#include "engine/base/KLVHandOverSlot.h"
#include "engine/base/KLVInternalNames.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/events/KLVParameterSanitizer.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVSessionReporter.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/security/Random.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIViewController.h"

namespace engine {

namespace {

constexpr char kScreenViewEventName[] = "screen_view";
constexpr char kScreenNameKey[] = "screen_name";
constexpr char kScreenClassKey[] = "screen_class";

struct LoggerTag;
KLVHandOverSlot<KLVTimedInternalEventLogger>& loggerSlot() {
    return KLVHandOverSlot<KLVTimedInternalEventLogger>::shared<LoggerTag>();
}

KLVMonitor& monitor() {
    return KLVMeasurementBase::monitor();
}

// The session reporter of a service that has started its components; null otherwise.
std::shared_ptr<KLVSessionReporter> startedSessionReporter() {
    if (!KLVMeasurement::hasSharedInstance()) return nullptr;
    const auto service = KLVMeasurement::sharedInstance();
    if (!service || !service->didInitializeComponents()) return nullptr;
    return service->sessionReporter();
}

std::uint64_t randomSeed() {
    std::array<std::uint8_t, 8> bytes{};
    std::uint64_t seed = 0;
    if (platform::randomBytes(bytes)) std::memcpy(&seed, bytes.data(), sizeof seed);
    return seed;
}

bool isValidScreenValue(const std::string& text) {
    return KLVDataTypeValidator::isValidScreenParameterValue(platform::Object(text));
}

std::optional<std::int64_t> screenID(const std::optional<KLVScreen>& screen) {
    return screen ? std::optional(screen->instanceID()) : std::nullopt;
}

// The class name of the key window's root view controller; main thread.
std::optional<std::string> rootViewControllerClassName() {
    const auto window = platform::UIApplication::shared().keyWindow();
    const auto root = window ? window->rootViewController() : nullptr;
    if (!root) return std::nullopt;
    return root->className();
}

}  // namespace

bool KLVIsScreenReportingEnabled() {
    const auto bundle = platform::Bundle::mainBundle();
    for (const char* key :
         {"TarnwellScreenReportingEnabled", "TarnwellAutomaticScreenReportingEnabled"}) {
        const platform::Object& value = bundle.objectForInfoDictionaryKey(key);
        if (value.isNull()) continue;
        if (const auto number = value.numberAsDouble()) return *number != 0;
        return true;
    }
    return true;
}

void KLVSetTimedInternalEventLogger(KLVTimedInternalEventLogger logger) {
    loggerSlot().install(std::move(logger));
}

KLVScreenViewReporter::KLVScreenViewReporter() : currentScreenInstanceID_(randomSeed()) {
    auto& center = platform::NotificationCenter::defaultCenter();
    const auto observe = [&](const char* name, void (KLVScreenViewReporter::*handler)()) {
        center.addObserver(this, name, nullptr,
                           [this, handler](const platform::Notification&) { (this->*handler)(); });
    };
    observe(platform::UIApplicationDidBecomeActiveNotification,
            &KLVScreenViewReporter::handleAppDidBecomeActive);
    observe(platform::UIApplicationWillResignActiveNotification,
            &KLVScreenViewReporter::handleAppWillResignActive);
    observe(platform::UIApplicationDidEnterBackgroundNotification,
            &KLVScreenViewReporter::handleAppDidEnterBackground);
}

KLVScreenViewReporter::~KLVScreenViewReporter() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

KLVScreenViewReporter& KLVScreenViewReporter::sharedInstance() {
    return platform::SharedInstance<KLVScreenViewReporter>::get();
}

std::int64_t KLVScreenViewReporter::incrementScreenInstanceID() {
    // Callers' threads and the reporter's queue both take IDs: one atomic step each.
    return static_cast<std::int64_t>(currentScreenInstanceID_.fetch_add(1) + 1);
}

std::optional<KLVScreen> KLVScreenViewReporter::currentScreen() const {
    std::lock_guard lock(screensMutex_);
    return currentScreen_;
}

void KLVScreenViewReporter::trackScreenWithParameters(const platform::Dictionary& parameters,
                                                      double timestamp) {
    if (!isAppActive() && appHasBeenInitialized()) {
        monitor().logWithLevel(kKLVLogWarning, 31026,
                               "Cannot log screen view event when the app is not active");
        return;
    }
    const auto text = [&](const char* key) -> std::optional<std::string> {
        const auto it = parameters.find(key);
        if (it == parameters.end() || it->second.isNull()) return std::nullopt;
        return it->second.isString() ? std::optional(it->second.asString()) : std::string();
    };
    const auto name = text(kScreenNameKey);
    auto className = text(kScreenClassKey);
    if (name && !isValidScreenValue(*name)) {
        monitor().logWithLevel(kKLVLogWarning, 31027, "Received invalid name for screen");
        return;
    }
    if (className && !isValidScreenValue(*className)) {
        monitor().logWithLevel(kKLVLogWarning, 31028, "Received invalid class for screen");
        return;
    }
    if (!className) {
        if (platform::isMainThread()) {
            className = rootViewControllerClassName();
        } else if (KLVIsScreenReportingEnabled()) {
            if (const auto current = currentScreen()) className = current->className();
        }
    }
    KLVScreen screen(name, className, incrementScreenInstanceID());
    screen.setIsManuallyTracked(true);
    screen.setEventTimestamp(timestamp);
    monitor().logWithLevel(
        kKLVLogDebug, 31029, "Logging screen view with screen name and screen class",
        platform::Object(name.value_or("")), platform::Object(className.value_or("")));
    // The previous screen is taken in the same step that replaces it: two screen views on
    // different threads must not both name one screen as their predecessor.
    std::optional<KLVScreen> previous;
    {
        std::lock_guard lock(screensMutex_);
        previous = std::exchange(currentScreen_, screen);
    }
    queue_.async([this, previous = std::move(previous), screen = std::move(screen), parameters] {
        postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
        platform::Dictionary eventParameters;
        if (const auto sanitized =
                sanitizedEventParameters(parameters, kScreenViewEventName, true, false)) {
            for (const auto& [key, value] : *sanitized)
                eventParameters[key] = value.value();
        }
        eventParameters.erase(kScreenNameKey);
        eventParameters.erase(kScreenClassKey);
        logViewScreenEventWithPreviousScreen(previous, screen, eventParameters);
    });
}

platform::Dictionary KLVScreenViewReporter::screenParameters() {
    if (!isAppActive() && appHasBeenInitialized()) return {};
    const auto current = currentScreen();
    if (!current) return {};
    platform::Dictionary parameters = {{kKLVScreenIDParameter, current->instanceID()}};
    if (const auto& c = current->className(); c && !c->empty()) {
        parameters[kKLVScreenClassParameter] = *c;
    }
    if (const auto& n = current->name(); n && !n->empty()) {
        parameters[kKLVScreenNameParameter] = *n;
    }
    return parameters;
}

void KLVScreenViewReporter::getScreenName(std::optional<std::string>* screenName,
                                          std::optional<std::string>* screenClass) {
    const auto current = currentScreen();
    if (screenName) *screenName = current ? current->name() : std::nullopt;
    if (screenClass) *screenClass = current ? current->className() : std::nullopt;
}

void KLVScreenViewReporter::setScreenName(const std::optional<std::string>& screenName,
                                          const std::optional<std::string>& screenClass) {
    if (!KLVIsScreenReportingEnabled()) {
        monitor().logWithLevel(
            kKLVLogWarning, 31000,
            "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
        return;
    }
    if (screenName && !isValidScreenValue(*screenName)) {
        monitor().logWithLevel(kKLVLogWarning, 31001, "Received invalid screen name");
        return;
    }
    if (screenClass && !isValidScreenValue(*screenClass)) {
        monitor().logWithLevel(kKLVLogWarning, 31002, "Received invalid screen class");
        return;
    }
    // No view controller has been seen appearing: there is nothing to name.
    monitor().logWithLevel(
        kKLVLogWarning, 31003,
        "setScreenName:screenClass: must be called after a view controller has appeared");
}

void KLVScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(
    const std::optional<KLVScreen>& previous, const std::optional<KLVScreen>& next) {
    if (!isAppActive() || !previous) return;
    if (const auto sessionReporter = startedSessionReporter()) {
        sessionReporter->handleScreenDidChangeFromScreen(previous, next);
    }
}

void KLVScreenViewReporter::logViewScreenEventWithPreviousScreen(
    const std::optional<KLVScreen>& previous, const std::optional<KLVScreen>& next,
    const platform::Dictionary& parameters) {
    if (!next) return;
    if (!isAppActive() && appHasBeenInitialized()) {
        monitor().logWithLevel(kKLVLogDebug, 31013,
                               "Screen view event not logged. App is not active.");
        return;
    }
    platform::Dictionary eventParameters = parameters;
    for (auto& [key, value] : KLVScreenParametersFromScreen(*next))
        eventParameters[key] = value;
    if (previous) {
        eventParameters["_pi"] = previous->instanceID();
        if (const auto& c = previous->className(); c && !c->empty() && isValidScreenValue(*c)) {
            eventParameters["_pc"] = *c;
        }
        if (const auto& n = previous->name(); n && isValidScreenValue(*n)) {
            eventParameters["_pn"] = *n;
        }
        const auto sessionReporter = startedSessionReporter();
        if (sessionReporter &&
            KLVMeasurement::remoteConfig()->efficientEngagementReportingEnabled()) {
            if (const auto millis = sessionReporter->cutFreerideEngagementTimeMillis();
                millis >= 1) {
                eventParameters["_et"] = millis;
            }
        }
    }
    if (!KLVIsScreenReportingEnabled()) eventParameters["_mst"] = std::int64_t{1};
    {
        std::lock_guard lock(screensMutex_);
        previousScreen_ = next;
    }
    if (!next->isManuallyTracked()) {
        KLVLogInternalEvent(kKLVAutoOrigin, "_vs", eventParameters);
        return;
    }
    if (const auto logger = loggerSlot().get())
        (*logger)("app", "_vs", next->eventTimestamp(), eventParameters);
}

void KLVScreenViewReporter::handleAppDidBecomeActive() {
    isAppActive_.store(true);
    appHasBeenInitialized_.store(true);
    if (const auto sessionReporter = startedSessionReporter()) {
        sessionReporter->handleAppDidBecomeActive();
    }
    queue_.async([this] {
        std::optional<KLVScreen> previous;
        std::optional<KLVScreen> current;
        {
            std::lock_guard lock(screensMutex_);
            previous = previousScreen_;
            current = currentScreen_;
        }
        if (screenID(previous) == screenID(current) || !KLVIsScreenReportingEnabled()) return;
        logViewScreenEventWithPreviousScreen(previous, current, {});
    });
}

void KLVScreenViewReporter::handleAppWillResignActive() {
    std::optional<KLVScreen> screen;
    if (KLVIsScreenReportingEnabled() && isAppActive()) screen = currentScreen();
    if (const auto sessionReporter = startedSessionReporter()) {
        sessionReporter->handleAppWillResignActiveWithScreen(screen);
    }
}

void KLVScreenViewReporter::handleAppDidEnterBackground() {
    isAppActive_.store(false);
}

}  // namespace engine
