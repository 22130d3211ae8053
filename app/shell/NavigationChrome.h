#pragma once

// The app's frame: a navigation drawer whose root is a toolbar around the two pages (calculate and
// result) and whose left side is a second toolbar around the side menu. Main thread only.

#include <memory>

#include "platform/kits/Material.h"

namespace app {

class BasicToolbarController : public platform::ToolbarController {
  public:
    using platform::ToolbarController::ToolbarController;
    void prepare() override;
    // The common styling; each toolbar controller's own styling follows it.
    void prepareToolbar();
};

class AppToolbarController : public BasicToolbarController {
  public:
    using BasicToolbarController::BasicToolbarController;
    std::shared_ptr<platform::IconButton> menuButton;
    void prepare() override;
    void prepareMenuButton();
    // Logs "tapped_menu_button", then toggles the drawer unless a calculation runs.
    void handleMenuButton();
};

class MenuToolbarController : public BasicToolbarController {
  public:
    using BasicToolbarController::BasicToolbarController;
    void prepare() override;
    void prepareToolbar();
};

class AppNavigationDrawerController : public platform::NavigationDrawerController,
                                      public platform::NavigationDrawerControllerDelegate {
  public:
    using platform::NavigationDrawerController::NavigationDrawerController;
    void prepare() override;
};

class AppPageTabBarController : public platform::TabsController,
                                public platform::TabsControllerDelegate {
  public:
    using platform::TabsController::TabsController;
    void prepare() override;
};

// Closes the left view of the controller's drawer, if it sits in one.
void closeNavigationDrawer(platform::UIViewController& controller);

}  // namespace app
