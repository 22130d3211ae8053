#include "app/services/QuroColor.h"

#include <array>
#include <mutex>
#include <optional>

#include "app/services/ColorManager.h"
#include "platform/foundation/SharedInstance.h"

namespace app {

namespace {

struct ThemeSpec {
    long tag;
    double red, green, blue;
};

// Indexed by tag - 101.
constexpr std::array<ThemeSpec, 5> kThemes{{
    {101, 0.79, 0.7, 0.31},   // gold
    {102, 1.0, 1.0, 0.69},    // pale yellow
    {103, 1.0, 0.9, 0.5},     // light yellow
    {104, 0.93, 0.25, 0.48},  // pink
    {105, 0.71, 0.0, 0.31},   // crimson
}};

constexpr double kThemeDarkBrightnessFactor = 0.7;

// The colours settled at first use.
struct SettledColors {
    std::mutex mutex;
    std::array<std::optional<platform::UIColor>, kThemes.size()> themes;
    std::optional<platform::UIColor> adaptiveGray;
};

SettledColors& settled() {
    return platform::SharedInstance<SettledColors>::get();
}

platform::UIColor theme(std::size_t index) {
    auto& s = settled();
    std::lock_guard lock(s.mutex);
    auto& slot = s.themes[index];
    if (!slot) {
        const auto& theme = kThemes[index];
        slot = ColorManager::darkModeVariant(
            platform::UIColor(theme.red, theme.green, theme.blue, QuroColor::alpha),
            kThemeDarkBrightnessFactor);
    }
    return *slot;
}

}  // namespace

bool isDarkMode() {
    return platform::UITraitCollection::current().userInterfaceStyle ==
           platform::UIUserInterfaceStyle::dark;
}

namespace QuroColor {
platform::UIColor groupedBackground() {
    return platform::UIColor::tertiarySystemGroupedBackground();
}
platform::UIColor systemGray() {
    return platform::UIColor::systemGray();
}
platform::UIColor label() {
    return platform::UIColor::label();
}
platform::UIColor primary() {
    return platform::UIColor::white(0.1, 1.0);
}
platform::UIColor indicatorLight() {
    return platform::UIColor::white(0.9, 1.0);
}
platform::UIColor shadowGray() {
    return platform::UIColor::systemGray();
}
platform::UIColor shadow() {
    return platform::UIColor::label();
}
platform::UIColor background() {
    return platform::UIColor::systemBackground();
}
platform::UIColor adaptiveGray() {
    auto& s = settled();
    std::lock_guard lock(s.mutex);
    if (!s.adaptiveGray) {
        s.adaptiveGray =
            isDarkMode() ? platform::UIColor::systemGray() : platform::UIColor::systemGray4();
    }
    return *s.adaptiveGray;
}
platform::UIColor enabledFieldBackground() {
    return platform::UIColor::systemBackground();
}
platform::UIColor disabledFieldBackground() {
    return platform::UIColor::systemFill();
}
}  // namespace QuroColor

platform::UIColor themeGold() {
    return theme(0);
}
platform::UIColor themePaleYellow() {
    return theme(1);
}
platform::UIColor themeLightYellow() {
    return theme(2);
}
platform::UIColor themePink() {
    return theme(3);
}
platform::UIColor themeCrimson() {
    return theme(4);
}

std::optional<platform::UIColor> themeColorForTag(long tag) {
    const long index = tag - kThemes.front().tag;
    if (index < 0 || index >= static_cast<long>(kThemes.size())) return std::nullopt;
    return theme(static_cast<std::size_t>(index));
}

}  // namespace app
