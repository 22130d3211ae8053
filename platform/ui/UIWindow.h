#pragma once
// The screen, scenes and windows.
#include <memory>
#include <vector>

#include "platform/ui/UIView.h"

namespace platform {

class UIViewController;
class UIWindow;

// Every window's safe area: the status bar strip on top, the home indicator at the bottom.
inline constexpr UIEdgeInsets kWindowSafeAreaInsets{47, 0, 34, 0};

struct UIScreen {
    CGRect bounds{0, 0, 390, 844};
    CGFloat scale = 3;
    static const UIScreen& main();
};

enum class UIUserInterfaceIdiom { phone, pad };

struct UIDevice {
    UIUserInterfaceIdiom userInterfaceIdiom = UIUserInterfaceIdiom::phone;
    static const UIDevice& current();
};

// Posted (object: the scene) when the application connects a scene, before it becomes active.
inline constexpr const char* UISceneWillConnectNotification = "UISceneWillConnectNotification";

// Posted (object: the window) when a window stops being the key window, after the new key
// window has taken its place.
inline constexpr const char* UIWindowDidResignKeyNotification = "UIWindowDidResignKeyNotification";

class UIScene : public std::enable_shared_from_this<UIScene> {
  public:
    enum class ActivationState { unattached, foregroundActive, foregroundInactive, background };
    virtual ~UIScene() = default;
    ActivationState activationState = ActivationState::unattached;
};

class UIWindowScene : public UIScene {
  public:
    const std::vector<std::shared_ptr<UIWindow>>& windows() const { return windows_; }
    void addWindow(std::shared_ptr<UIWindow> window);

  private:
    std::vector<std::shared_ptr<UIWindow>> windows_;
};

class UIWindow : public UIView {
  public:
    UIWindow();
    explicit UIWindow(CGRect frame);
    // Joins `scene` (the scene keeps its windows).
    explicit UIWindow(const std::shared_ptr<UIWindowScene>& scene);

    std::shared_ptr<UIViewController> rootViewController() const { return root_; }
    // The root view fills the window, beneath what is presented. On a visible window the old
    // root disappears and the new one appears.
    void setRootViewController(std::shared_ptr<UIViewController> vc);
    // Shows the window, makes it the application's key window (joining the first connected
    // scene when it has none; the window it replaces resigns) and makes its root appear.
    void makeKeyAndVisible();
    bool isKeyWindow() const;
    std::shared_ptr<UIWindowScene> windowScene() const { return scene_.lock(); }
    UIEdgeInsets safeAreaInsets() const { return kWindowSafeAreaInsets; }

  private:
    friend class UIWindowScene;
    std::shared_ptr<UIViewController> root_;
    std::weak_ptr<UIWindowScene> scene_;
};

}  // namespace platform
