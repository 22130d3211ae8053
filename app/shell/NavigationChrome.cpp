#include "app/shell/NavigationChrome.h"

#include "app/screens/CalculateViewController.h"
#include "app/services/AppAnalytics.h"
#include "app/services/AppIdentity.h"
#include "app/services/QuroColor.h"

namespace app {

void BasicToolbarController::prepare() {
    platform::ToolbarController::prepare();
    prepareToolbar();
}

void BasicToolbarController::prepareToolbar() {
    const auto& bar = toolbar();
    platform::setDepthPreset(*bar, platform::DepthPreset::none);
    bar->setBackgroundColor(themePaleYellow());
    for (const auto& label : {bar->titleLabel(), bar->detailLabel()}) {
        label->textColor = QuroColor::primary();
        label->textAlignment = platform::NSTextAlignment::left;
    }
    bar->titleLabel()->font = {"Avenir-Heavy", 20};
}

void AppToolbarController::prepare() {
    BasicToolbarController::prepare();
    prepareMenuButton();
    statusBarStyle = platform::UIStatusBarStyle::lightContent;
    statusBar()->setBackgroundColor(themeGold());
    toolbar()->setLeftViews({menuButton});
    toolbar()->titleLabel()->adjustsFontSizeToFitWidth = true;
}

void AppToolbarController::prepareMenuButton() {
    menuButton = std::make_shared<platform::IconButton>(
        platform::Icon::menu(), QuroColor::primary(), platform::ThemingStyle::defaultStyle);
    menuButton->accessibilityIdentifier = "menuButton";
    std::weak_ptr<AppToolbarController> weak = shared<AppToolbarController>();
    menuButton->addTarget(platform::UIControlEvents::touchUpInside, [weak](platform::UIControl&) {
        if (const auto self = weak.lock()) self->handleMenuButton();
    });
}

void AppToolbarController::handleMenuButton() {
    AppAnalytics::logEventWithName("tapped_menu_button");
    if (isCalculating) return;
    if (const auto drawer = platform::navigationDrawerController(*this)) drawer->toggleLeftView(0);
}

void MenuToolbarController::prepare() {
    BasicToolbarController::prepare();
    statusBar()->setHidden(true);
    prepareToolbar();
}

void MenuToolbarController::prepareToolbar() {
    const auto& bar = toolbar();
    bar->setContentEdgeInsets({57, 0, 0, 0});
    bar->setBackgroundColor(themeGold());
    bar->setTitle("  " + appDisplayTitle() + "  ");
    bar->titleLabel()->adjustsFontSizeToFitWidth = true;
    const auto frame = bar->frame();
    bar->setFrame({frame.origin.x, frame.origin.y, frame.size.width, 90});
}

void AppNavigationDrawerController::prepare() {
    platform::NavigationDrawerController::prepare();
    delegate = shared<AppNavigationDrawerController>();
}

void AppPageTabBarController::prepare() {
    platform::TabsController::prepare();
    view()->setBackgroundColor(platform::Color::blueGrey::lighten5());
    delegate = shared<AppPageTabBarController>();
    tabBarAlignment = platform::TabBarAlignment::top;
    tabBar()->dividerColor.reset();
    tabBar()->setLineColor(themePink());
    tabBar()->lineAlignment = 1;
    tabBar()->setBackgroundColor(themeLightYellow());
}

void closeNavigationDrawer(platform::UIViewController& controller) {
    if (const auto drawer = platform::navigationDrawerController(controller)) {
        drawer->closeLeftView(0);
    }
}

}  // namespace app
