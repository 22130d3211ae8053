#include "platform/kits/CosmosView.h"

#include <algorithm>
#include <cmath>

namespace platform {

CosmosView::CosmosView() {
    update();
}

CosmosView::CosmosView(CGRect frame) : UIView(frame) {
    update();
}

void CosmosView::setRating(double rating) {
    rating_ = std::clamp(rating, 0.0, static_cast<double>(std::max(settings.totalStars, 0)));
    update();
}

void CosmosView::update() {
    while (!layer()->sublayers().empty()) {
        const auto last = layer()->sublayers().back();
        last->removeFromSuperlayer();
    }
    for (int star = 0; star < settings.totalStars; ++star) {
        auto starLayer = std::make_shared<CALayer>();
        starLayer->frame = {star * (settings.starSize + settings.starMargin), 0, settings.starSize,
                            settings.starSize};
        if (star < std::ceil(rating_)) starLayer->backgroundColor = settings.filledColor;
        starLayer->borderWidth = 1;
        starLayer->borderColor = settings.emptyBorderColor;
        layer()->addSublayer(std::move(starLayer));
    }
}

bool CosmosView::handleTap(CGPoint p) {
    if (settings.totalStars <= 0) return false;
    const CGFloat step = settings.starSize + settings.starMargin;
    const double touched = std::floor(std::max(p.x, 0.0) / step) + 1;
    setRating(std::max(touched, settings.minTouchRating));
    if (didFinishTouchingCosmos) didFinishTouchingCosmos(rating_);
    return true;
}

void CosmosView::describe(ViewDescription& d) const {
    UIView::describe(d);
    d.text = formatNumber(rating_) + "/" + std::to_string(settings.totalStars);
    d.color = settings.filledColor;
}

}  // namespace platform
