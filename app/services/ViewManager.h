#pragma once

// What lies above every screen: the key window, the modal loading overlay and the short-lived
// toast; and the fitting of segment images. Main thread only, except the OnMainQueue entries.

#include <memory>
#include <string>

#include "platform/ui/UIWindow.h"

namespace app {

inline constexpr long kLoadingOverlayTag = 8989;
// How long a toast stays fully visible, then how long it fades.
inline constexpr double kToastVisibleSeconds = 3.0;
inline constexpr double kToastFadeSeconds = 2.0;

class ViewManager {
  public:
    ViewManager() = delete;

    // The first window of the first connected scene, when that is a window scene.
    static std::shared_ptr<platform::UIWindow> keyWindow();
    static void showLoadingOverlay();
    static void removeLoadingOverlay();
    static void showLoadingOverlayOnMainQueue();
    static void removeLoadingOverlayOnMainQueue();
    // Without a key window, root controller or root view there is nothing to show it on.
    static void showToast(const std::string& text);
    static void fitSegmentImages(platform::UIView& view);
};

// The bottom safe-area inset of the last window of the first scene; 0 without one.
double windowBottomSafeAreaInset();
// The width of the key window's root view, kept from the first read that finds a width above 0.
double rootViewWidth();

}  // namespace app
