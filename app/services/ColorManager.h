#pragma once

// Colours a screen's view tree by the style tags its interface gives the views (101 to 105: a
// theme colour, 200: translucent), puts the app's shadows on layers and formats colours. Dark mode
// is read at the moment of each call. Main thread only.

#include <optional>
#include <string>

#include "platform/kits/CosmosView.h"
#include "platform/ui/CALayer.h"
#include "platform/ui/UIView.h"

namespace app {

class ColorManager {
  public:
    ColorManager() = delete;

    // Walks the direct subviews by their exact class: plain views (recursing when they have
    // subviews), stack views, buttons, image views, star views and input fields; every other
    // class is left alone and not entered.
    static void styleSubviews(platform::UIView& view);
    static void styleView(platform::UIView& view);
    static void styleStarView(platform::CosmosView& starView);
    // The standard card shadow.
    static void addShadow(platform::CALayer& layer);
    // "#rrggbb" of the colour's components (alpha ignored), each clamped to 0...1.
    static std::optional<std::string> hexString(const platform::UIColor& color);
    // In dark mode the colour with its brightness multiplied by `brightnessFactor` (never below
    // 0); otherwise the colour itself.
    static platform::UIColor darkModeVariant(const platform::UIColor& color,
                                             double brightnessFactor);
};

// The light-mode shadow of tag-styled views, the star layers and the app's buttons; nothing in
// dark mode.
void applyLightShadow(platform::CALayer& layer);

}  // namespace app
