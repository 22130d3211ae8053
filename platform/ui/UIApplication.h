#pragma once
// The application object: launch, life-cycle state and its notifications, scenes, the key
// window, and opening URLs (recorded, since nothing else is installed).
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/UserActivity.h"
#include "platform/ui/UIWindow.h"

namespace platform {

class UIApplication;

inline constexpr const char* UIApplicationDidFinishLaunchingNotification =
    "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* UIApplicationDidBecomeActiveNotification =
    "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* UIApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
inline constexpr const char* UIApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* UIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* UIApplicationWillTerminateNotification =
    "UIApplicationWillTerminateNotification";

class UIApplicationDelegate {
  public:
    virtual ~UIApplicationDelegate() = default;
    // application:didFinishLaunchingWithOptions:
    virtual bool application(UIApplication& app, const Dictionary& launchOptions) {
        (void)app;
        (void)launchOptions;
        return true;
    }
    virtual void applicationDidBecomeActive(UIApplication& app) { (void)app; }
    virtual void applicationWillResignActive(UIApplication& app) { (void)app; }
    virtual void applicationDidEnterBackground(UIApplication& app) { (void)app; }
    virtual void applicationWillEnterForeground(UIApplication& app) { (void)app; }
    virtual void applicationWillTerminate(UIApplication& app) { (void)app; }
    // application:openURL:options: ; true when the URL was handled.
    virtual bool applicationOpenURL(UIApplication& app, const std::string& url,
                                    const Dictionary& options) {
        (void)app;
        (void)url;
        (void)options;
        return false;
    }
    // application:continueUserActivity:restorationHandler: ; true when it was handled.
    virtual bool applicationContinueUserActivity(UIApplication& app,
                                                 const NSUserActivity& userActivity) {
        (void)app;
        (void)userActivity;
        return false;
    }
    // application:handleEventsForBackgroundURLSession:completionHandler: ; the completion
    // handler must be called once the session's events are handled.
    virtual void applicationHandleEventsForBackgroundURLSession(
        UIApplication& app, const std::string& identifier,
        const std::function<void()>& completionHandler) {
        (void)app;
        (void)identifier;
        (void)completionHandler;
    }
    std::shared_ptr<UIWindow> window;
};

// Identifies a background task; UIBackgroundTaskInvalid is none.
using UIBackgroundTaskIdentifier = std::uint64_t;
inline constexpr UIBackgroundTaskIdentifier UIBackgroundTaskInvalid = 0;

class UIApplication {
  public:
    enum class State { active, inactive, background };

    // Reset with the shared instances. Main thread, except the URL and state queries.
    static UIApplication& shared();

    // Connects one window scene, calls didFinishLaunching, posts its notification and the
    // scene's will-connect, then becomes active. A second launch is ignored.
    void launch(std::shared_ptr<UIApplicationDelegate> delegate, Dictionary launchOptions = {});
    std::shared_ptr<UIApplicationDelegate> delegate() const { return delegate_; }
    State applicationState() const;
    // State changes; each tells the delegate, then posts its notification (object: this).
    // Entering the foreground from the background posts will-enter-foreground first.
    void becomeActive();
    void resignActive();
    void enterBackground();
    void terminate();

    const std::vector<std::shared_ptr<UIScene>>& connectedScenes() const { return scenes_; }
    std::shared_ptr<UIWindow> keyWindow() const { return keyWindow_.lock(); }
    void setKeyWindow(const std::shared_ptr<UIWindow>& window) { keyWindow_ = window; }

    // http and https, and the schemes of installed apps.
    bool canOpenURL(const std::string& url) const;
    void setInstalledURLSchemes(std::set<std::string> schemes);
    // Records the URL when something can open it; the completion (main queue) learns which.
    void open(const std::string& url, std::function<void(bool)> completion = nullptr);
    std::vector<std::string> openedURLs() const;

    // The system hands the app a URL, a user activity or the events of a background URL
    // session: the delegate is told, then every registered interceptor. Main thread. The answer
    // is the delegate's (false without one).
    bool openURL(const std::string& url, const Dictionary& options = {});
    bool continueUserActivity(const NSUserActivity& userActivity);
    void handleEventsForBackgroundURLSession(const std::string& identifier,
                                             const std::function<void()>& completionHandler);
    // Objects that see the delegate's URL, user-activity and background-session callbacks
    // after it (the app-delegate proxy's). Any thread; the identifier removes it again.
    std::string registerDelegateInterceptor(std::shared_ptr<UIApplicationDelegate> interceptor);
    void unregisterDelegateInterceptor(const std::string& identifier);

    // Extra running time in the background. The expiration handler runs on the main queue if
    // the task is still running when expireBackgroundTasks() is called (the system's deadline).
    // Any thread.
    UIBackgroundTaskIdentifier beginBackgroundTaskWithName(const std::string& name,
                                                           std::function<void()> expirationHandler);
    // Ends a running task; an unknown or invalid identifier does nothing.
    void endBackgroundTask(UIBackgroundTaskIdentifier identifier);
    // The names of the running tasks, in the order they began.
    std::vector<std::string> runningBackgroundTaskNames() const;
    // The system's deadline: every running task's expiration handler is posted to the main queue.
    void expireBackgroundTasks();

  private:
    struct BackgroundTask {
        UIBackgroundTaskIdentifier identifier;
        std::string name;
        std::function<void()> expirationHandler;
    };
    std::vector<std::shared_ptr<UIApplicationDelegate>> interceptors() const;
    void setState(State state);
    std::shared_ptr<UIApplicationDelegate> delegate_;
    std::vector<std::shared_ptr<UIScene>> scenes_;
    std::weak_ptr<UIWindow> keyWindow_;
    bool launched_ = false;
    mutable std::mutex mutex_;
    State state_ = State::inactive;
    std::set<std::string> schemes_;
    std::vector<std::string> opened_;
    std::vector<std::pair<std::string, std::shared_ptr<UIApplicationDelegate>>> interceptors_;
    std::uint64_t nextInterceptorID_ = 1;
    std::vector<BackgroundTask> backgroundTasks_;
    UIBackgroundTaskIdentifier nextBackgroundTask_ = 1;
};

// Creates the delegate, launches with it and runs the main loop until stopMainLoop().
int UIApplicationMain(
    const std::function<std::shared_ptr<UIApplicationDelegate>()>& delegateFactory);

}  // namespace platform
