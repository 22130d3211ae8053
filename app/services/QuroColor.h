#pragma once

// The app's colour constants and the five theme colours. A constant whose value depends on the
// appearance settles light or dark at its first use and keeps that choice for the process (until
// the shared instances are reset).

#include "platform/ui/UIColor.h"

namespace app {

namespace QuroColor {
platform::UIColor groupedBackground();
platform::UIColor systemGray();
platform::UIColor label();
platform::UIColor primary();
platform::UIColor indicatorLight();
platform::UIColor shadowGray();
platform::UIColor shadow();
platform::UIColor background();
platform::UIColor adaptiveGray();
platform::UIColor enabledFieldBackground();
platform::UIColor disabledFieldBackground();
inline constexpr double alpha = 1.0;
}  // namespace QuroColor

// The theme colours, each darkened by 0.7 when first used in dark mode.
platform::UIColor themeGold();
platform::UIColor themePaleYellow();
platform::UIColor themeLightYellow();
platform::UIColor themePink();
platform::UIColor themeCrimson();

// The theme colour a style tag (101 to 105) selects, or nothing for any other tag.
std::optional<platform::UIColor> themeColorForTag(long tag);

inline constexpr long kTranslucentTag = 200;

// Whether the current trait collection is dark, read now.
bool isDarkMode();

}  // namespace app
