#include "platform/ui/UIApplication.h"

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/Text.h"

namespace platform {

UIApplication& UIApplication::shared() {
    return SharedInstance<UIApplication>::get();
}

void UIApplication::launch(std::shared_ptr<UIApplicationDelegate> delegate,
                           Dictionary launchOptions) {
    if (launched_) return;
    launched_ = true;
    delegate_ = std::move(delegate);
    auto scene = std::make_shared<UIWindowScene>();
    scene->activationState = UIScene::ActivationState::foregroundInactive;
    scenes_.push_back(scene);
    if (delegate_) delegate_->application(*this, launchOptions);
    NotificationCenter::defaultCenter().postNotificationName(
        UIApplicationDidFinishLaunchingNotification, this);
    NotificationCenter::defaultCenter().postNotificationName(UISceneWillConnectNotification,
                                                             scene.get());
    becomeActive();
}

UIApplication::State UIApplication::applicationState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void UIApplication::setState(State state) {
    std::lock_guard lock(mutex_);
    state_ = state;
}

void UIApplication::becomeActive() {
    State s = applicationState();
    if (s == State::active) return;
    auto& center = NotificationCenter::defaultCenter();
    if (s == State::background) {
        setState(State::inactive);
        if (delegate_) delegate_->applicationWillEnterForeground(*this);
        center.postNotificationName(UIApplicationWillEnterForegroundNotification, this);
    }
    setState(State::active);
    for (auto& scene : scenes_)
        scene->activationState = UIScene::ActivationState::foregroundActive;
    if (delegate_) delegate_->applicationDidBecomeActive(*this);
    center.postNotificationName(UIApplicationDidBecomeActiveNotification, this);
}

void UIApplication::resignActive() {
    if (applicationState() != State::active) return;
    setState(State::inactive);
    for (auto& scene : scenes_) {
        scene->activationState = UIScene::ActivationState::foregroundInactive;
    }
    if (delegate_) delegate_->applicationWillResignActive(*this);
    NotificationCenter::defaultCenter().postNotificationName(
        UIApplicationWillResignActiveNotification, this);
}

void UIApplication::enterBackground() {
    resignActive();
    if (applicationState() == State::background) return;
    setState(State::background);
    for (auto& scene : scenes_)
        scene->activationState = UIScene::ActivationState::background;
    if (delegate_) delegate_->applicationDidEnterBackground(*this);
    NotificationCenter::defaultCenter().postNotificationName(
        UIApplicationDidEnterBackgroundNotification, this);
}

void UIApplication::terminate() {
    if (delegate_) delegate_->applicationWillTerminate(*this);
    NotificationCenter::defaultCenter().postNotificationName(UIApplicationWillTerminateNotification,
                                                             this);
}

bool UIApplication::openURL(const std::string& url, const Dictionary& options) {
    const bool handled = delegate_ && delegate_->applicationOpenURL(*this, url, options);
    for (const auto& interceptor : interceptors())
        interceptor->applicationOpenURL(*this, url, options);
    return handled;
}

bool UIApplication::continueUserActivity(const NSUserActivity& userActivity) {
    const bool handled =
        delegate_ && delegate_->applicationContinueUserActivity(*this, userActivity);
    for (const auto& interceptor : interceptors()) {
        interceptor->applicationContinueUserActivity(*this, userActivity);
    }
    return handled;
}

void UIApplication::handleEventsForBackgroundURLSession(
    const std::string& identifier, const std::function<void()>& completionHandler) {
    if (delegate_) {
        delegate_->applicationHandleEventsForBackgroundURLSession(*this, identifier,
                                                                  completionHandler);
    }
    for (const auto& interceptor : interceptors()) {
        interceptor->applicationHandleEventsForBackgroundURLSession(*this, identifier,
                                                                    completionHandler);
    }
}

std::string UIApplication::registerDelegateInterceptor(
    std::shared_ptr<UIApplicationDelegate> interceptor) {
    if (!interceptor) return {};
    std::lock_guard lock(mutex_);
    std::string identifier = "interceptor-" + std::to_string(nextInterceptorID_++);
    interceptors_.emplace_back(identifier, std::move(interceptor));
    return identifier;
}

void UIApplication::unregisterDelegateInterceptor(const std::string& identifier) {
    std::lock_guard lock(mutex_);
    std::erase_if(interceptors_, [&](const auto& entry) { return entry.first == identifier; });
}

std::vector<std::shared_ptr<UIApplicationDelegate>> UIApplication::interceptors() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<UIApplicationDelegate>> result;
    for (const auto& entry : interceptors_)
        result.push_back(entry.second);
    return result;
}

UIBackgroundTaskIdentifier UIApplication::beginBackgroundTaskWithName(
    const std::string& name, std::function<void()> expirationHandler) {
    std::lock_guard lock(mutex_);
    const UIBackgroundTaskIdentifier identifier = nextBackgroundTask_++;
    backgroundTasks_.push_back({identifier, name, std::move(expirationHandler)});
    return identifier;
}

void UIApplication::endBackgroundTask(UIBackgroundTaskIdentifier identifier) {
    std::lock_guard lock(mutex_);
    std::erase_if(backgroundTasks_,
                  [&](const BackgroundTask& task) { return task.identifier == identifier; });
}

std::vector<std::string> UIApplication::runningBackgroundTaskNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& task : backgroundTasks_)
        names.push_back(task.name);
    return names;
}

void UIApplication::expireBackgroundTasks() {
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& task : backgroundTasks_) {
            if (task.expirationHandler) handlers.push_back(task.expirationHandler);
        }
    }
    for (auto& handler : handlers)
        mainQueue().async(std::move(handler));
}

namespace {

// The scheme of an absolute URL, lowercased; empty when the text has none.
std::string schemeOf(const std::string& url) {
    auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0) return {};
    for (std::size_t i = 0; i < colon; ++i) {
        char c = url[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!ok) return {};
    }
    return asciiLowercase(url.substr(0, colon));
}

}  // namespace

bool UIApplication::canOpenURL(const std::string& url) const {
    std::string scheme = schemeOf(url);
    if (scheme.empty()) return false;
    if (scheme == "http" || scheme == "https") return url.size() > scheme.size() + 3;
    std::lock_guard lock(mutex_);
    return schemes_.count(scheme) > 0;
}

void UIApplication::setInstalledURLSchemes(std::set<std::string> schemes) {
    std::set<std::string> lowered;
    for (auto& s : schemes)
        lowered.insert(asciiLowercase(s));
    std::lock_guard lock(mutex_);
    schemes_ = std::move(lowered);
}

void UIApplication::open(const std::string& url, std::function<void(bool)> completion) {
    bool ok = canOpenURL(url);
    if (ok) {
        std::lock_guard lock(mutex_);
        opened_.push_back(url);
    }
    if (completion) mainQueue().async([completion = std::move(completion), ok] { completion(ok); });
}

std::vector<std::string> UIApplication::openedURLs() const {
    std::lock_guard lock(mutex_);
    return opened_;
}

int UIApplicationMain(
    const std::function<std::shared_ptr<UIApplicationDelegate>()>& delegateFactory) {
    auto delegate = delegateFactory ? delegateFactory() : nullptr;
    UIApplication::shared().launch(delegate);
    runMainLoop();
    return 0;
}

}  // namespace platform
