#include "app/services/ColorManager.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <typeinfo>

#include "app/services/QuroColor.h"
#include "platform/kits/DTTextField.h"
#include "platform/kits/Material.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIScrollView.h"

namespace app {

namespace {

using platform::UIView;

constexpr double kTranslucentAlphaDark = 0.3;
constexpr double kTranslucentAlphaLight = 0.5;

struct HSB {
    double hue, saturation, brightness;
};

HSB toHSB(const platform::RGBA& c) {
    const double maxC = std::max({c.r, c.g, c.b});
    const double minC = std::min({c.r, c.g, c.b});
    const double delta = maxC - minC;
    double hue = 0;
    if (delta > 0) {
        if (maxC == c.r) {
            hue = std::fmod((c.g - c.b) / delta, 6.0);
        } else if (maxC == c.g) {
            hue = (c.b - c.r) / delta + 2;
        } else {
            hue = (c.r - c.g) / delta + 4;
        }
        hue /= 6;
        if (hue < 0) hue += 1;
    }
    return {hue, maxC > 0 ? delta / maxC : 0, maxC};
}

template <typename T>
bool isExactly(const UIView& view) {
    return typeid(view) == typeid(T);
}

int component255(double value) {
    return static_cast<int>(std::clamp(value, 0.0, 1.0) * 255);
}

}  // namespace

void applyLightShadow(platform::CALayer& layer) {
    if (isDarkMode()) return;
    layer.masksToBounds = false;
    layer.shadowColor = QuroColor::shadowGray();
    layer.shadowOpacity = 0.7;
    layer.shadowOffset = {0, 1.0};
    layer.shadowRadius = 1.0;
}

void ColorManager::styleSubviews(UIView& view) {
    // A copy: styling never changes the tree, but the walk must not depend on that.
    const auto subviews = view.subviews();
    for (const auto& subview : subviews) {
        auto& v = *subview;
        if (isExactly<UIView>(v)) {
            if (v.subviews().empty()) {
                styleView(v);
            } else {
                styleSubviews(v);
            }
        } else if (isExactly<platform::UIStackView>(v)) {
            styleSubviews(v);
        } else if (isExactly<platform::UIButton>(v) || isExactly<platform::FlatButton>(v) ||
                   isExactly<platform::FABButton>(v) || isExactly<platform::UIImageView>(v)) {
            styleView(v);
        } else if (isExactly<platform::CosmosView>(v)) {
            styleStarView(static_cast<platform::CosmosView&>(v));
        } else if (isExactly<platform::DTTextField>(v)) {
            static_cast<platform::DTTextField&>(v).boxLayer()->backgroundColor =
                platform::UIColor::systemBackground();
        }
    }
}

void ColorManager::styleView(UIView& view) {
    if (const auto theme = themeColorForTag(view.tag)) {
        view.setBackgroundColor(*theme);
    } else if (view.tag == kTranslucentTag) {
        view.setAlpha(isDarkMode() ? kTranslucentAlphaDark : kTranslucentAlphaLight);
    }
    if (auto* button = dynamic_cast<platform::UIButton*>(&view)) {
        button->setTitleColor(QuroColor::primary());
        button->setTintColor(QuroColor::primary());
    }
    // A flat button's image takes the button's tint, which the step above has set.
    applyLightShadow(*view.layer());
}

void ColorManager::styleStarView(platform::CosmosView& starView) {
    if (const auto theme = themeColorForTag(starView.tag)) {
        starView.settings.filledColor = *theme;
        starView.update();
    }
    for (const auto& layer : starView.layer()->sublayers())
        applyLightShadow(*layer);
}

void ColorManager::addShadow(platform::CALayer& layer) {
    const bool dark = isDarkMode();
    layer.masksToBounds = false;
    layer.shadowColor = QuroColor::shadow();
    layer.shadowOpacity = 0.5;
    layer.shadowOffset = {0, dark ? 0.0 : 1.5};
    layer.shadowRadius = dark ? 1.0 : 2.0;
}

std::optional<std::string> ColorManager::hexString(const platform::UIColor& color) {
    const auto c = color.resolved();
    const int rgb = (component255(c.r) << 16) | (component255(c.g) << 8) | component255(c.b);
    char text[8];
    std::snprintf(text, sizeof text, "#%06x", rgb);
    return std::string(text);
}

platform::UIColor ColorManager::darkModeVariant(const platform::UIColor& color,
                                                double brightnessFactor) {
    if (!isDarkMode()) return color;
    const auto c = color.resolved();
    const auto hsb = toHSB(c);
    const double brightness = std::max(0.0, hsb.brightness * brightnessFactor);
    return platform::UIColor::hsb(hsb.hue, hsb.saturation, brightness, c.a);
}

}  // namespace app
