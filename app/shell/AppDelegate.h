#pragma once

// The application delegate: builds the visible app at launch (drawer over toolbar over the two
// pages, the side menu on the left), prepares the history on the first launch, presents
// onboarding and the consent notice while they are due, and fetches remote configuration each
// time the app becomes active. A fresh delegate also serves as the factory of a new page chain.

#include <memory>

#include "app/screens/CalculateViewController.h"
#include "app/screens/SolutionViewController.h"
#include "app/shell/LeftViewController.h"
#include "app/shell/NavigationChrome.h"
#include "platform/ui/UIApplication.h"

namespace app {

inline constexpr char kHasLaunchedBeforeKey[] = "hasLaunchedBefore";
inline constexpr double kRemoteConfigExpirationSeconds = 21600.0;

class AppDelegate : public platform::UIApplicationDelegate {
  public:
    bool application(platform::UIApplication& app, const platform::Dictionary& options) override;
    void applicationDidBecomeActive(platform::UIApplication& app) override;

    // Lazy: made on first read and kept; shared, so the chain outlives a dropped delegate.
    std::shared_ptr<CalculateViewController> calculateViewController();
    std::shared_ptr<LeftViewController> leftViewController();
    std::shared_ptr<SolutionViewController> solutionViewController();
    std::shared_ptr<AppPageTabBarController> pageTabBarController();
    std::shared_ptr<AppToolbarController> appToolbarController();

    void presentFirstLaunchScreens(const std::shared_ptr<platform::UIViewController>& root);
    void fetchRemoteConfig();

  private:
    std::shared_ptr<CalculateViewController> calculate_;
    std::shared_ptr<LeftViewController> left_;
    std::shared_ptr<SolutionViewController> solution_;
    std::shared_ptr<AppPageTabBarController> tabs_;
    std::shared_ptr<AppToolbarController> toolbar_;
};

// Registers every interface builder of the app (idempotent).
void registerAppInterfaces();

}  // namespace app
