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
    if (zoomScale_ > minimumZoomScale && zoomingView()) {
        scrollBy(-dx, -dy);
        return true;
    }
    if (std::abs(dx) > std::abs(dy)) {
        if (maxOffsetX() <= 0) return false;
        scrollBy(-dx, 0);
        return true;
    }
    if (maxOffsetY() <= 0) return false;
    scrollBy(0, -dy);
    return true;
}

std::shared_ptr<UIView> UIScrollView::zoomingView() const {
    if (!(maximumZoomScale > minimumZoomScale) || !(minimumZoomScale > 0)) return nullptr;
    const auto d = delegate.lock();
    auto view = d ? d->viewForZooming(const_cast<UIScrollView&>(*this)) : nullptr;
    return view && view->superview().get() == this ? view : nullptr;
}

void UIScrollView::setZoomScale(CGFloat scale, bool animated) {
    (void)animated;
    const CGRect shown = bounds();
    zoomTo(scale, shown.center());
}

bool UIScrollView::zoomTo(CGFloat scale, CGPoint anchor) {
    const auto view = zoomingView();
    if (!view) return false;
    if (!std::isfinite(scale)) return true;
    const CGFloat next = std::clamp(scale, minimumZoomScale, maximumZoomScale);
    if (next == zoomScale_) return true;
    const CGFloat ratio = next / zoomScale_;
    const CGRect f = view->frame();
    view->setFrame({f.minX() * ratio, f.minY() * ratio, f.width() * ratio, f.height() * ratio});
    zoomScale_ = next;
    setContentSize(view->frame().size);
    // The anchor's place in the visible area before the zoom, kept after it.
    const CGPoint offset = contentOffset();
    const CGPoint shown{anchor.x - offset.x, anchor.y - offset.y};
    setBoundsOrigin({std::clamp(anchor.x * ratio - shown.x, 0.0, maxOffsetX()),
                     std::clamp(anchor.y * ratio - shown.y, 0.0, maxOffsetY())});
    if (auto d = delegate.lock()) {
        d->scrollViewDidZoom(*this);
        d->scrollViewDidScroll(*this);
    }
    return true;
}

bool UIScrollView::handleDoubleTap(CGPoint anchor) {
    if (!zoomingView()) return false;
    const bool zoomedIn = zoomScale_ > minimumZoomScale;
    return zoomTo(zoomedIn ? minimumZoomScale : 2 * minimumZoomScale, anchor);
}

void UIScrollView::describe(ViewDescription& d) const {
    UIView::describe(d);
    if (contentOffset().y != 0) d.offset = contentOffset().y;
    if (contentOffset().x != 0) d.offsetX = contentOffset().x;
    if (zoomScale_ != 1) d.zoom = zoomScale_;
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
