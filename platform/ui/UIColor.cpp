#include "platform/ui/UIColor.h"

#include <cmath>
#include <cstdio>
#include <mutex>

#include "platform/foundation/SharedInstance.h"

namespace platform {
namespace {

struct TraitState {
    std::mutex mutex;
    UITraitCollection traits;
};

CGFloat clamp01(CGFloat v) {
    return std::isnan(v) ? 0 : std::clamp(v, 0.0, 1.0);
}

RGBA rgb(unsigned hex, CGFloat alpha = 1) {
    return {((hex >> 16) & 0xff) / 255.0, ((hex >> 8) & 0xff) / 255.0, (hex & 0xff) / 255.0, alpha};
}

int byte(CGFloat c) {
    return static_cast<int>(std::lround(clamp01(c) * 255));
}

}  // namespace

UITraitCollection UITraitCollection::current() {
    auto& s = SharedInstance<TraitState>::get();
    std::lock_guard lock(s.mutex);
    return s.traits;
}

void UITraitCollection::setCurrent(UITraitCollection traits) {
    auto& s = SharedInstance<TraitState>::get();
    std::lock_guard lock(s.mutex);
    s.traits = traits;
}

UIColor::UIColor(CGFloat red, CGFloat green, CGFloat blue, CGFloat alpha)
    : light_{clamp01(red), clamp01(green), clamp01(blue), clamp01(alpha)} {}

UIColor UIColor::white(CGFloat white, CGFloat alpha) {
    return {white, white, white, alpha};
}

UIColor UIColor::hsb(CGFloat hue, CGFloat saturation, CGFloat brightness, CGFloat alpha) {
    CGFloat h = std::isfinite(hue) ? hue - std::floor(hue) : 0;
    CGFloat s = clamp01(saturation), v = clamp01(brightness);
    CGFloat h6 = h * 6;
    int sector = static_cast<int>(h6) % 6;
    CGFloat f = h6 - std::floor(h6);
    CGFloat p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    switch (sector) {
        case 0:
            return {v, t, p, alpha};
        case 1:
            return {q, v, p, alpha};
        case 2:
            return {p, v, t, alpha};
        case 3:
            return {p, q, v, alpha};
        case 4:
            return {t, p, v, alpha};
        default:
            return {v, p, q, alpha};
    }
}

std::optional<UIColor> UIColor::hex(const std::string& text) {
    if (text.size() != 7 && text.size() != 9) return std::nullopt;
    if (text[0] != '#') return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = 1; i < text.size(); ++i) {
        char c = text[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * 16 + d;
    }
    if (text.size() == 7) {
        RGBA c = rgb(value);
        return UIColor(c.r, c.g, c.b, 1);
    }
    RGBA c = rgb(value >> 8);
    return UIColor(c.r, c.g, c.b, (value & 0xff) / 255.0);
}

UIColor UIColor::dynamic(RGBA light, RGBA dark) {
    UIColor c;
    c.light_ = light;
    c.dark_ = dark;
    return c;
}

UIColor UIColor::label() {
    return dynamic(rgb(0x000000), rgb(0xffffff));
}
UIColor UIColor::systemGray() {
    return dynamic(rgb(0x8e8e93), rgb(0x8e8e93));
}
UIColor UIColor::systemGray4() {
    return dynamic(rgb(0xd1d1d6), rgb(0x3a3a3c));
}
UIColor UIColor::systemBackground() {
    return dynamic(rgb(0xffffff), rgb(0x000000));
}
UIColor UIColor::tertiarySystemGroupedBackground() {
    return dynamic(rgb(0xf2f2f7), rgb(0x2c2c2e));
}
UIColor UIColor::systemFill() {
    return dynamic(rgb(0x787880, 0.2), rgb(0x787880, 0.36));
}
UIColor UIColor::systemOrange() {
    return dynamic(rgb(0xff9500), rgb(0xff9f0a));
}
UIColor UIColor::systemRed() {
    return dynamic(rgb(0xff3b30), rgb(0xff453a));
}
UIColor UIColor::systemBlue() {
    return dynamic(rgb(0x007aff), rgb(0x0a84ff));
}

UIColor UIColor::withAlphaComponent(CGFloat alpha) const {
    UIColor c = *this;
    c.light_.a = clamp01(alpha);
    if (c.dark_) c.dark_->a = clamp01(alpha);
    return c;
}

RGBA UIColor::resolved() const {
    return resolved(UITraitCollection::current().userInterfaceStyle);
}

RGBA UIColor::resolved(UIUserInterfaceStyle style) const {
    return style == UIUserInterfaceStyle::dark && dark_ ? *dark_ : light_;
}

std::string UIColor::hexString(bool withAlpha) const {
    RGBA c = resolved();
    char buf[16];
    if (withAlpha && byte(c.a) < 255) {
        std::snprintf(buf, sizeof buf, "#%02x%02x%02x%02x", byte(c.r), byte(c.g), byte(c.b),
                      byte(c.a));
    } else {
        std::snprintf(buf, sizeof buf, "#%02x%02x%02x", byte(c.r), byte(c.g), byte(c.b));
    }
    return buf;
}

}  // namespace platform
