#pragma once
// The application object: launch, life-cycle state and its notifications, scenes, the key
// window, and opening URLs (recorded, since nothing else is installed).
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
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
    std::shared_ptr<UIWindow> window;
};

class UIApplication {
  public:
    enum class State { active, inactive, background };

    // Reset with the shared instances. Main thread, except the URL and state queries.
    static UIApplication& shared();

    // Connects one window scene, calls didFinishLaunching, posts its notification, then
    // becomes active. A second launch is ignored.
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

  private:
    void setState(State state);
    std::shared_ptr<UIApplicationDelegate> delegate_;
    std::vector<std::shared_ptr<UIScene>> scenes_;
    std::weak_ptr<UIWindow> keyWindow_;
    bool launched_ = false;
    mutable std::mutex mutex_;
    State state_ = State::inactive;
    std::set<std::string> schemes_;
    std::vector<std::string> opened_;
};

// Creates the delegate, launches with it and runs the main loop until stopMainLoop().
int UIApplicationMain(
    const std::function<std::shared_ptr<UIApplicationDelegate>()>& delegateFactory);

}  // namespace platform
