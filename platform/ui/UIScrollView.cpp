#include "platform/ui/UIScrollView.h"

#include <algorithm>
#include <cmath>

namespace platform {

void UIScrollView::setContentOffset(CGPoint offset, bool animated) {
    (void)animated;
    setBoundsOrigin(offset);
    if (auto d = delegate.lock()) d->scrollViewDidScroll(*this);
}

CGFloat UIScrollView::maxOffsetY() const {
    return std::max(0.0, contentSize_.height + contentInset.bottom - bounds().height());
}

void UIScrollView::scrollRectToVisible(CGRect rect, bool animated) {
    CGFloat y = contentOffset().y;
    if (rect.maxY() > y + bounds().height()) y = rect.maxY() - bounds().height();
    if (rect.minY() < y) y = rect.minY();
    y = std::clamp(y, 0.0, maxOffsetY());
    if (y != contentOffset().y) setContentOffset({contentOffset().x, y}, animated);
}

bool UIScrollView::handleSwipe(UISwipeDirection direction, CGPoint p) {
    if (UIView::handleSwipe(direction, p)) return true;
    if (!isScrollEnabled) return false;
    if (direction != UISwipeDirection::up && direction != UISwipeDirection::down) return false;
    CGFloat page = bounds().height() * 0.8;
    CGFloat y = contentOffset().y + (direction == UISwipeDirection::up ? page : -page);
    setContentOffset({contentOffset().x, std::clamp(y, 0.0, maxOffsetY())}, true);
    return true;
}

CGFloat UIScrollView::maxOffsetX() const {
    return std::max(0.0, contentSize_.width + contentInset.right - bounds().width());
}

bool UIScrollView::scrollBy(CGFloat dx, CGFloat dy) {
    if (!isScrollEnabled) return false;
    const CGPoint now = contentOffset();
    const CGPoint next{std::clamp(now.x + dx, 0.0, maxOffsetX()),
                       std::clamp(now.y + dy, 0.0, maxOffsetY())};
    if (next == now) return false;
    setContentOffset(next, false);
    return true;
}

bool UIScrollView::handleDrag(CGPoint from, CGPoint to) {
    if (!isScrollEnabled) return false;
    const CGFloat dx = to.x - from.x, dy = to.y - from.y;
    if (std::abs(dx) > std::abs(dy)) {
        if (maxOffsetX() <= 0) return false;
        scrollBy(-dx, 0);
        return true;
    }
    if (maxOffsetY() <= 0) return false;
    scrollBy(0, -dy);
    return true;
}

void UIScrollView::describe(ViewDescription& d) const {
    UIView::describe(d);
    if (contentOffset().y != 0) d.offset = contentOffset().y;
    if (contentOffset().x != 0) d.offsetX = contentOffset().x;
}

void UIStackView::addArrangedSubview(std::shared_ptr<UIView> view) {
    if (!view) return;
    removeArrangedSubview(view);
    arranged_.push_back(view);
    addSubview(view);
    setNeedsLayout();
}

void UIStackView::removeArrangedSubview(const std::shared_ptr<UIView>& view) {
    arranged_.erase(std::remove(arranged_.begin(), arranged_.end(), view), arranged_.end());
    setNeedsLayout();
}

void UIStackView::layoutSubviews() {
    std::vector<std::shared_ptr<UIView>> shown;
    for (auto& v : arranged_) {
        if (!v->isHidden()) shown.push_back(v);
    }
    if (shown.empty()) return;
    bool horizontal = axis == UILayoutConstraintAxis::horizontal;
    CGFloat length = horizontal ? bounds().width() : bounds().height();
    CGFloat cross = horizontal ? bounds().height() : bounds().width();
    CGFloat free = length - spacing * (shown.size() - 1);
    std::vector<CGFloat> sizes;
    CGFloat used = 0;
    for (auto& v : shown) {
        CGFloat own = horizontal ? v->frame().width() : v->frame().height();
        sizes.push_back(distribution == Distribution::fillEqually ? free / shown.size() : own);
        used += sizes.back();
    }
    CGFloat gap = spacing;
    if (distribution == Distribution::fill)
        sizes.back() = std::max(0.0, sizes.back() + free - used);
    if (distribution == Distribution::equalSpacing && shown.size() > 1) {
        gap = std::max(spacing, (length - used) / (shown.size() - 1));
    }
    CGFloat pos = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        auto& v = shown[i];
        CGFloat ownCross = horizontal ? v->frame().height() : v->frame().width();
        CGFloat c = alignment == Alignment::fill ? cross : ownCross;
        CGFloat at = alignment == Alignment::center     ? (cross - c) / 2
                     : alignment == Alignment::trailing ? cross - c
                                                        : 0;
        v->setFrame(horizontal ? CGRect{pos, at, sizes[i], c} : CGRect{at, pos, c, sizes[i]});
        pos += sizes[i] + gap;
    }
}

}  // namespace platform
