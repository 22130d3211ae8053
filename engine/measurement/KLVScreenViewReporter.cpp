#include "engine/measurement/KLVScreenViewReporter.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/base/KLVHandOverSlot.h"
#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/events/KLVParameterSanitizer.h"
#include "engine/measurement/KLVAdExposureReporter.h"
#include "engine/measurement/KLVSessionReporter.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Text.h"
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

std::uint64_t randomSeed() {
    std::array<std::uint8_t, 8> bytes{};
    std::uint64_t seed = 0;
    if (platform::randomBytes(bytes)) std::memcpy(&seed, bytes.data(), sizeof seed);
    return seed;
}

bool isValidScreenValue(const std::string& text, const KLVRemoteConfig& settings) {
    return KLVDataTypeValidator::isValidScreenParameterValue(platform::Object(text), settings);
}

struct Refusal {
    std::int64_t code;
    const char* message;
};

// A given name and a given class must both be valid screen values; the first that is not is
// logged with its refusal.
bool areValidScreenValues(const std::optional<std::string>& name,
                          const std::optional<std::string>& className, Refusal nameRefusal,
                          Refusal classRefusal, const KLVRemoteConfig& settings) {
    for (const auto& [value, refusal] :
         {std::pair{&name, nameRefusal}, {&className, classRefusal}}) {
        if (*value && !isValidScreenValue(**value, settings)) {
            monitor().logWithLevel(kKLVLogWarning, refusal.code, refusal.message);
            return false;
        }
    }
    return true;
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

using platform::UIViewController;

// The controllers that appeared in a window, oldest first, held weakly.
struct KLVWindowStack {
    std::vector<std::weak_ptr<UIViewController>> entries;
};

// Associated-object keys: only this file stores under them, so their types are certain.
constexpr char kStackKey = 0;
constexpr char kScreenKey = 0;

std::shared_ptr<KLVScreen> screenOf(const UIViewController& controller) {
    return std::static_pointer_cast<KLVScreen>(controller.associatedObject(&kScreenKey));
}

void setScreenOf(UIViewController& controller, const KLVScreen& screen) {
    controller.setAssociatedObject(&kScreenKey, std::make_shared<KLVScreen>(screen));
}

// The key window's stack, made empty on first use; null without a key window.
std::shared_ptr<KLVWindowStack> keyWindowStack() {
    const auto window = platform::UIApplication::shared().keyWindow();
    if (!window) return nullptr;
    auto stack = std::static_pointer_cast<KLVWindowStack>(window->associatedObject(&kStackKey));
    if (!stack) {
        stack = std::make_shared<KLVWindowStack>();
        window->setAssociatedObject(&kStackKey, stack);
    }
    return stack;
}

void resetKeyWindowStack() {
    if (const auto window = platform::UIApplication::shared().keyWindow()) {
        window->setAssociatedObject(&kStackKey, std::make_shared<KLVWindowStack>());
    }
}

void removeFromStack(KLVWindowStack& stack, const UIViewController* controller) {
    std::erase_if(stack.entries, [&](const auto& entry) {
        const auto held = entry.lock();
        return !held || held.get() == controller;
    });
}

bool isLoadedInWindow(UIViewController& controller) {
    return controller.isViewLoaded() && controller.view()->window() != nullptr;
}

// Its view is loaded and inside the key window. Every class here comes from the app's own code,
// so the rule for the platform's private classes never applies.
bool isTrackable(UIViewController& controller) {
    const auto window = platform::UIApplication::shared().keyWindow();
    return window && controller.isViewLoaded() && controller.view()->isDescendant(window.get());
}

// The controller to track, newest entries first: one named by the app, else one with a screen
// of its own or what it presents, else the first entry.
std::shared_ptr<UIViewController> viewControllerToTrack(const KLVWindowStack& stack) {
    std::vector<std::shared_ptr<UIViewController>> newestFirst;
    for (auto it = stack.entries.rbegin(); it != stack.entries.rend(); ++it) {
        if (auto held = it->lock()) newestFirst.push_back(std::move(held));
    }
    for (const auto& controller : newestFirst) {
        const auto screen = screenOf(*controller);
        if (isLoadedInWindow(*controller) && screen && screen->isManuallySet()) return controller;
    }
    for (auto candidate : newestFirst) {
        if (!isLoadedInWindow(*candidate)) continue;
        if (screenOf(*candidate)) return candidate;
        if (const auto parent = candidate->parent(); parent && parent->children().size() > 1) {
            const auto& siblings = parent->children();
            const bool otherHidden = std::any_of(siblings.begin(), siblings.end(), [&](auto& c) {
                return c != candidate && !isLoadedInWindow(*c);
            });
            if (otherHidden) {
                if (screenOf(*parent)) return parent;
                candidate = parent;
            }
        }
        // This platform has no navigation, tab-bar or page containers to descend through; what
        // a controller presents, or the controller being presented, is the screen.
        std::shared_ptr<UIViewController> shown = candidate->presentedViewController();
        if (!shown && candidate->presentingViewController()) shown = candidate;
        if (shown && isLoadedInWindow(*shown)) return shown;
    }
    if (!stack.entries.empty()) {
        if (auto first = stack.entries.front().lock()) return first;
    }
    monitor().logWithLevel(kKLVLogWarningSilent, 31011, "Root view controller not found");
    return nullptr;
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

KLVScreenViewReporter::KLVScreenViewReporter(KLVScreenViewReporterServices services)
    : services_(std::move(services)), currentScreenInstanceID_(randomSeed()) {
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
    observe(platform::UIWindowDidResignKeyNotification,
            &KLVScreenViewReporter::handleWindowDidResign);
}

KLVScreenViewReporter::~KLVScreenViewReporter() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

KLVScreenState KLVScreenViewReporter::sharedScreenState() {
    return {[] { return sharedInstance().isAppActive(); },
            [] { return sharedInstance().screenParameters(); }};
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
    if (!areValidScreenValues(name, className, {31027, "Received invalid name for screen"},
                              {31028, "Received invalid class for screen"},
                              *KLVRemoteConfig::current())) {
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
    changeCurrentScreen(screen, parameters);
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
    if (!areValidScreenValues(screenName, screenClass, {31001, "Received invalid screen name"},
                              {31002, "Received invalid screen class"},
                              *KLVRemoteConfig::current())) {
        return;
    }
    const auto stack = keyWindowStack();
    std::shared_ptr<UIViewController> controller;
    if (stack) {
        removeFromStack(*stack, nullptr);
        if (!stack->entries.empty()) controller = stack->entries.back().lock();
    }
    if (!controller) {
        monitor().logWithLevel(
            kKLVLogWarning, 31003,
            "setScreenName:screenClass: must be called after a view controller has appeared");
        return;
    }
    const std::optional<std::string> className =
        screenClass ? screenClass : std::optional(controller->className());
    if (const auto current = currentScreen();
        current && current->name() == screenName && current->className() == className) {
        monitor().logWithLevel(kKLVLogDebug, 31004,
                               "Ignoring duplicate screen name and screen class");
        return;
    }
    KLVScreen screen(screenName, className, incrementScreenInstanceID());
    screen.setIsManuallySet(true);
    setScreenOf(*controller, screen);
    currentViewController_ = controller;
    monitor().logWithLevel(kKLVLogDebug, 31009, "Set screen name and screen class",
                           screenName.value_or(""), className.value_or(""));
    changeCurrentScreen(screen, std::nullopt);
}

void KLVScreenViewReporter::changeCurrentScreen(
    const KLVScreen& screen, std::optional<platform::Dictionary> screenViewParameters) {
    // The previous screen is taken in the same step that replaces it (two screen views on
    // different threads must not both name one screen as their predecessor), and the step is
    // queued before the lock is let go, behind every step queued from an earlier state.
    std::lock_guard lock(screensMutex_);
    auto previous = std::exchange(currentScreen_, screen);
    queue_.async([this, previous = std::move(previous), screen,
                  parameters = std::move(screenViewParameters)] {
        postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
        if (!parameters) {
            if (KLVIsScreenReportingEnabled()) {
                logViewScreenEventWithPreviousScreen(previous, screen, {});
            }
            return;
        }
        platform::Dictionary eventParameters;
        if (const auto sanitized = sanitizedEventParameters(*parameters, kScreenViewEventName, true,
                                                            false, *KLVRemoteConfig::current())) {
            for (const auto& [key, value] : *sanitized)
                eventParameters[key] = value.value();
        }
        eventParameters.erase(kScreenNameKey);
        eventParameters.erase(kScreenClassKey);
        logViewScreenEventWithPreviousScreen(previous, screen, eventParameters);
    });
}

void KLVScreenViewReporter::installAppearanceHooks() {
    if (!KLVIsScreenReportingEnabled()) {
        monitor().logWithLevel(
            kKLVLogNotice, 36001,
            "Analytics screen reporting is disabled. UIViewController transitions will not be "
            "logged.");
        return;
    }
    UIViewController::setAppearanceObserver([](UIViewController& controller, bool appeared) {
        auto& reporter = sharedInstance();
        if (appeared) {
            reporter.viewControllerDidAppear(controller);
        } else {
            reporter.viewControllerDidDisappear(controller);
        }
    });
}

void KLVScreenViewReporter::viewControllerDidAppear(UIViewController& viewController) {
    const bool trackable = isTrackable(viewController);
    if (auto stack = keyWindowStack()) {
        const auto window = platform::UIApplication::shared().keyWindow();
        if (window->rootViewController().get() == &viewController && !stack->entries.empty() &&
            stack->entries.front().lock().get() != &viewController) {
            // A new root: what appeared under the old one is gone from view.
            resetKeyWindowStack();
            stack = keyWindowStack();
        }
        removeFromStack(*stack, &viewController);
        if (trackable) stack->entries.push_back(viewController.shared<UIViewController>());
        trackKeyWindowStack();
    }
    if (const auto delegate = tarnwellPerfDelegate()) {
        delegate->viewControllerDidAppear(viewController, trackable);
    }
}

void KLVScreenViewReporter::viewControllerDidDisappear(UIViewController& viewController) {
    if (const auto stack = keyWindowStack()) {
        const bool isFirst =
            !stack->entries.empty() && stack->entries.front().lock().get() == &viewController;
        removeFromStack(*stack, isFirst ? nullptr : &viewController);
        trackKeyWindowStack();
    }
    if (const auto delegate = tarnwellPerfDelegate()) {
        delegate->viewControllerDidDisappear(viewController);
    }
}

void KLVScreenViewReporter::handleWindowDidResign() {
    const auto stack = keyWindowStack();
    if (stack && !stack->entries.empty()) trackKeyWindowStack();
}

void KLVScreenViewReporter::setTarnwellPerfDelegate(
    const std::shared_ptr<KLVScreenViewReporterDelegate>& delegate) {
    if (delegate && (!delegate->viewControllerDidAppear || !delegate->viewControllerDidDisappear)) {
        monitor().logWithLevel(kKLVLogError, 31019,
                               "Incompatible versions of Nexory Analytics for Tarnwell and "
                               "Tarnwell Performance detected. Automatic screen traces will not "
                               "be captured.");
        return;
    }
    std::lock_guard lock(perfDelegateMutex_);
    const auto current = tarnwellPerfDelegate_.lock();
    if (delegate && current && current != delegate) {
        monitor().logWithLevel(kKLVLogWarning, 31016, "Tried to override screen reporter delegate");
        return;
    }
    tarnwellPerfDelegate_ = delegate;
}

std::shared_ptr<KLVScreenViewReporterDelegate> KLVScreenViewReporter::tarnwellPerfDelegate() const {
    std::lock_guard lock(perfDelegateMutex_);
    return tarnwellPerfDelegate_.lock();
}

void KLVScreenViewReporter::trackKeyWindowStack() {
    const auto stack = keyWindowStack();
    if (!stack) return;
    const auto chosen = viewControllerToTrack(*stack);
    if (chosen && isTrackable(*chosen)) setCurrentViewController(chosen);
}

void KLVScreenViewReporter::setCurrentViewController(
    const std::shared_ptr<UIViewController>& controller) {
    if (!controller) {
        monitor().logWithLevel(kKLVLogWarning, 31005, "Received nil view controller");
        return;
    }
    const bool enabled = services_.isMeasurementEnabled();
    if (enabled && currentViewController_.lock() == controller) {
        monitor().logWithLevel(kKLVLogDebug, 31006, "View controller already tracked. Class, ID",
                               controller->className(),
                               screenOf(*controller) ? screenOf(*controller)->instanceID() : 0);
        return;
    }
    const std::string fullClass = controller->className();
    const auto settings = KLVRemoteConfig::current();
    const auto limit = static_cast<std::size_t>(settings->maxPublicEventParameterValueLength());
    std::string defaultClass = platform::substringByCodePoints(fullClass, 0, limit);
    if (defaultClass != fullClass) {
        monitor().logWithLevel(kKLVLogDebug, 31007,
                               "Trimmed name of default screen class. Original screen class, "
                               "trimmed screen class",
                               fullClass, defaultClass);
    }
    if (!isValidScreenValue(defaultClass, *settings)) {
        monitor().logWithLevel(kKLVLogWarning, 31008, "Received invalid default screen class");
        return;
    }
    auto screen = screenOf(*controller);
    if (!screen) {
        setScreenOf(*controller,
                    KLVScreen(std::nullopt, defaultClass, incrementScreenInstanceID()));
        screen = screenOf(*controller);
    }
    currentViewController_ = controller;
    if (screenID(currentScreen()) == screen->instanceID()) return;
    if (enabled) {
        monitor().logWithLevel(kKLVLogDebug, 31010, "Tracking view controller. Class, ID",
                               defaultClass, screen->instanceID());
    }
    changeCurrentScreen(*screen, std::nullopt);
}

void KLVScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(
    const std::optional<KLVScreen>& previous, const std::optional<KLVScreen>& next) {
    if (!isAppActive()) return;
    if (const auto sessionReporter = previous ? services_.startedSessionReporter() : nullptr) {
        sessionReporter->handleScreenDidChangeFromScreen(previous, next);
    }
    services_.adExposureReporter()->handleScreenDidChangeFromScreen(previous ? &*previous : nullptr,
                                                                    next ? &*next : nullptr);
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
    // One screen view is made under one configuration.
    const auto settings = KLVRemoteConfig::current();
    platform::Dictionary eventParameters = parameters;
    for (auto& [key, value] : KLVScreenParametersFromScreen(*next, *settings))
        eventParameters[key] = value;
    if (previous) {
        eventParameters["_pi"] = previous->instanceID();
        if (const auto& c = previous->className();
            c && !c->empty() && isValidScreenValue(*c, *settings)) {
            eventParameters["_pc"] = *c;
        }
        if (const auto& n = previous->name(); n && isValidScreenValue(*n, *settings)) {
            eventParameters["_pn"] = *n;
        }
        const auto sessionReporter = services_.startedSessionReporter();
        if (sessionReporter && settings->efficientEngagementReportingEnabled()) {
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
    if (const auto sessionReporter = services_.startedSessionReporter()) {
        sessionReporter->handleAppDidBecomeActive();
    }
    services_.adExposureReporter()->handleAppDidBecomeActive();
    // The screen in front now is the one to report, not whatever is current once the step runs:
    // a screen made current after this point queues its own "_vs" behind this step.
    std::lock_guard lock(screensMutex_);
    queue_.async([this, current = currentScreen_] {
        std::optional<KLVScreen> previous;
        {
            std::lock_guard held(screensMutex_);
            previous = previousScreen_;
        }
        if (screenID(previous) == screenID(current) || !KLVIsScreenReportingEnabled()) return;
        logViewScreenEventWithPreviousScreen(previous, current, {});
    });
}

void KLVScreenViewReporter::handleAppWillResignActive() {
    std::optional<KLVScreen> screen;
    if (KLVIsScreenReportingEnabled() && isAppActive()) screen = currentScreen();
    if (const auto sessionReporter = services_.startedSessionReporter()) {
        sessionReporter->handleAppWillResignActiveWithScreen(screen);
    }
    services_.adExposureReporter()->handleAppWillResignActiveWithScreen(screen ? &*screen
                                                                               : nullptr);
}

void KLVScreenViewReporter::handleAppDidEnterBackground() {
    isAppActive_.store(false);
}

}  // namespace engine
