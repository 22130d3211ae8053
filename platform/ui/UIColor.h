#pragma once
// Colours and fonts. A system colour is dynamic: it resolves against the trait collection that is
// current when it is read (light unless a test or the app says otherwise).
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "platform/ui/Geometry.h"

namespace platform {

enum class UIUserInterfaceStyle { unspecified = 0, light = 1, dark = 2 };

struct UITraitCollection {
    UIUserInterfaceStyle userInterfaceStyle = UIUserInterfaceStyle::light;
    static UITraitCollection current();
    // Main thread; reset to light with the shared instances.
    static void setCurrent(UITraitCollection traits);
};

struct RGBA {
    CGFloat r = 0, g = 0, b = 0, a = 1;
    bool operator==(const RGBA&) const = default;
};

class UIColor {
  public:
    UIColor() = default;  // clear
    UIColor(CGFloat red, CGFloat green, CGFloat blue, CGFloat alpha);
    static UIColor white(CGFloat white, CGFloat alpha = 1);
    // Hue wraps modulo 1; saturation and brightness are clamped to 0...1.
    static UIColor hsb(CGFloat hue, CGFloat saturation, CGFloat brightness, CGFloat alpha = 1);
    // "#rrggbb" or "#rrggbbaa"; anything else is nullopt.
    static std::optional<UIColor> hex(const std::string& text);
    static UIColor dynamic(RGBA light, RGBA dark);

    static UIColor clear() { return {}; }
    static UIColor black() { return white(0); }
    static UIColor whiteColor() { return white(1); }
    static UIColor label();
    static UIColor systemGray();
    static UIColor systemGray4();
    static UIColor systemBackground();
    static UIColor tertiarySystemGroupedBackground();
    static UIColor systemFill();
    static UIColor systemOrange();
    static UIColor systemRed();
    static UIColor systemBlue();

    UIColor withAlphaComponent(CGFloat alpha) const;
    // Components under UITraitCollection::current() (or the given style).
    RGBA resolved() const;
    RGBA resolved(UIUserInterfaceStyle style) const;
    // "#rrggbb", plus "aa" when `withAlpha` and the alpha is below 1.
    std::string hexString(bool withAlpha = false) const;
    bool operator==(const UIColor&) const = default;
    // For failure messages: UIColor{light: RGBA{...}, dark: RGBA{...}}.
    friend void PrintTo(const UIColor& color, std::ostream* os);

  private:
    RGBA light_{0, 0, 0, 0};
    std::optional<RGBA> dark_;
};

enum class NSTextAlignment { left, center, right, justified, natural };

struct UIFont {
    std::string name = "System";
    CGFloat pointSize = 17;
    static UIFont systemFont(CGFloat size) { return {"System", size}; }
    static UIFont boldSystemFont(CGFloat size) { return {"System-Bold", size}; }
    bool operator==(const UIFont&) const = default;
};

// GoogleTest's printers for failure messages (ValuePrinters.cpp).
void PrintTo(const RGBA& color, std::ostream* os);
void PrintTo(NSTextAlignment alignment, std::ostream* os);
void PrintTo(const UIFont& font, std::ostream* os);

}  // namespace platform
