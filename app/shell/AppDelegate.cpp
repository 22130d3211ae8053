#include "app/shell/AppDelegate.h"

#include "app/screens/CalcManager.h"
#include "app/screens/HistoryTableViewController.h"
#include "app/services/AppAnalytics.h"
#include "app/services/DsgvoManager.h"
#include "app/services/OnboardingManager.h"
#include "app/services/RemoteConfigManager.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/host/TRWApp.h"
#include "platform/ui/UIStoryboard.h"

namespace app {

void registerAppInterfaces() {
    registerCalculateInterface();
    registerSolutionInterface();
    registerLeftInterface();
    // A picked record opens on a new page chain, the drawer closed behind it.
    registerHistoryInterface([](platform::UIViewController& history) {
        const auto drawer = platform::navigationDrawerController(history);
        if (!drawer) return;
        std::weak_ptr<platform::NavigationDrawerController> weakDrawer = drawer;
        drawer->transition(AppDelegate().appToolbarController(), [weakDrawer](bool) {
            if (const auto d = weakDrawer.lock()) closeNavigationDrawer(*d);
        });
    });
}

namespace {

template <typename T>
std::shared_ptr<T> instantiateFromMainStoryboard(std::shared_ptr<T>& stored,
                                                 const std::string& identifier) {
    if (!stored) {
        registerAppInterfaces();
        stored = platform::UIStoryboard::instantiate<T>(kMainStoryboard, identifier);
    }
    return stored;
}

}  // namespace

std::shared_ptr<CalculateViewController> AppDelegate::calculateViewController() {
    return instantiateFromMainStoryboard(calculate_, "CalculateViewController");
}

std::shared_ptr<LeftViewController> AppDelegate::leftViewController() {
    return instantiateFromMainStoryboard(left_, "LeftViewController");
}

std::shared_ptr<SolutionViewController> AppDelegate::solutionViewController() {
    if (!solution_) {
        registerAppInterfaces();
        solution_ = platform::UIStoryboard::instantiate<SolutionViewController>(
            kSolutionStoryboard, "SolutionViewController");
    }
    return solution_;
}

std::shared_ptr<AppPageTabBarController> AppDelegate::pageTabBarController() {
    if (!tabs_) {
        tabs_ = std::make_shared<AppPageTabBarController>(
            std::vector<std::shared_ptr<platform::UIViewController>>{calculateViewController(),
                                                                     solutionViewController()},
            0);
    }
    return tabs_;
}

std::shared_ptr<AppToolbarController> AppDelegate::appToolbarController() {
    if (!toolbar_) toolbar_ = std::make_shared<AppToolbarController>(pageTabBarController());
    return toolbar_;
}

bool AppDelegate::application(platform::UIApplication&, const platform::Dictionary&) {
    // The app's events reach the measurement engine only through its public interface.
    AppAnalytics::setSink([](const std::string& name, const platform::Dictionary& parameters) {
        engine::TRWAnalytics::logEventWithName(name, parameters);
    });
    platform::TRWApp::configure();
    auto& remote = RemoteConfigManager::shared();
    remote.reloadAll(platform::TRWRemoteConfig::remoteConfig());

    auto& store = CalcManager::shared();
    auto& defaults = platform::UserDefaults::standardUserDefaults();
    if (!defaults.boolForKey(kHasLaunchedBeforeKey)) {
        defaults.setBool(true, kHasLaunchedBeforeKey);
        store.resetHistory();
    }

    auto menu = std::make_shared<MenuToolbarController>(leftViewController());
    auto drawer = std::make_shared<AppNavigationDrawerController>(appToolbarController(), menu);
    window = std::make_shared<platform::UIWindow>(platform::UIScreen::main().bounds);
    window->setRootViewController(drawer);
    window->makeKeyAndVisible();
    presentFirstLaunchScreens(drawer);
    return true;
}

void AppDelegate::presentFirstLaunchScreens(
    const std::shared_ptr<platform::UIViewController>& root) {
    auto& defaults = platform::UserDefaults::standardUserDefaults();
    std::shared_ptr<platform::UIViewController> onboarding;
    if (!defaults.boolForKey(kIsOnboardingFinishedKey)) {
        onboarding = makeOnboardViewController(onboardingPages());
        onboarding->modalPresentationStyle = platform::UIModalPresentationStyle::overFullScreen;
        root->present(onboarding, false);
    }
    if (!defaults.boolForKey(kIsDsgvoAcceptedKey)) {
        DsgvoManager::showPrivacyAlertOnMainQueue(onboarding ? onboarding : root);
    }
}

void AppDelegate::applicationDidBecomeActive(platform::UIApplication&) {
    fetchRemoteConfig();
}

void AppDelegate::fetchRemoteConfig() {
    RemoteConfigManager::shared().remoteConfig().fetchWithExpirationDuration(
        kRemoteConfigExpirationSeconds,
        [](platform::TRWRemoteConfigFetchStatus status, std::optional<platform::Error> error) {
            // The manager is looked up on the main queue, not held by the completion.
            platform::mainQueue().async([status, error] {
                RemoteConfigManager::shared().handleFetchResult(status, error);
            });
        });
}

}  // namespace app
