#pragma once
// Scrolling (the content offset is the bounds origin) and the stack view, which lays out its
// arranged subviews along one axis.
#include <memory>
#include <vector>

#include "platform/ui/UIView.h"

namespace platform {

class UIScrollView;

class UIScrollViewDelegate {
  public:
    virtual ~UIScrollViewDelegate() = default;
    virtual void scrollViewDidScroll(UIScrollView& scrollView) { (void)scrollView; }
    virtual void scrollViewDidZoom(UIScrollView& scrollView) { (void)scrollView; }
    virtual std::shared_ptr<UIView> viewForZooming(UIScrollView& scrollView) {
        (void)scrollView;
        return nullptr;
    }
};

class UIScrollView : public UIView {
  public:
    using UIView::UIView;
    CGPoint contentOffset() const { return bounds().origin; }
    virtual void setContentOffset(CGPoint offset, bool animated = false);
    CGSize contentSize() const { return contentSize_; }
    virtual void setContentSize(CGSize size) { contentSize_ = size; }
    UIEdgeInsets contentInset;
    bool isScrollEnabled = true;
    // Whether the display shows a bar along the foot while the content is wider than the view.
    bool showsHorizontalScrollIndicator = true;
    CGFloat minimumZoomScale = 1, maximumZoomScale = 1;
    std::weak_ptr<UIScrollViewDelegate> delegate;
    // Zooming scales the delegate's view for zooming (its frame, which what it draws fills) and
    // the content size with it, within the minimum and maximum scale.
    CGFloat zoomScale() const { return zoomScale_; }
    // About the middle of what is shown.
    void setZoomScale(CGFloat scale, bool animated = false);
    // The view that zooms: the delegate's, when the limits leave room to zoom.
    std::shared_ptr<UIView> zoomingView() const;
    // A pinch: the scale becomes `scale` (kept within the limits) about `anchor`, in content
    // coordinates, which stays where it is on screen as far as the content's edges allow. False
    // when nothing here zooms.
    bool zoomTo(CGFloat scale, CGPoint anchor);
    // A double tap: zoomed out, the content zooms in twofold about `anchor`; zoomed in, it
    // zooms back out. False when nothing here zooms.
    bool handleDoubleTap(CGPoint anchor);
    // The largest offsets that keep content in view (never negative).
    CGFloat maxOffsetY() const;
    CGFloat maxOffsetX() const;
    // Moves the content offset by (dx, dy), kept within the content; true when it moved.
    bool scrollBy(CGFloat dx, CGFloat dy);
    // Scrolls the least so that `rect` (content coordinates) is visible.
    void scrollRectToVisible(CGRect rect, bool animated);
    // A swipe up scrolls one page down, a swipe down one page up.
    bool handleSwipe(UISwipeDirection direction, CGPoint p) override;
    // Dragging moves the content with the finger, along the drag's main direction (both ways
    // while zoomed in); a drag along a direction the content cannot move in is left to the
    // views beneath.
    bool handleDrag(CGPoint from, CGPoint to) override;
    bool clipsContent() const override { return true; }
    void describe(ViewDescription& d) const override;

  private:
    CGSize contentSize_;
    CGFloat zoomScale_ = 1;
};

enum class UILayoutConstraintAxis { horizontal, vertical };

class UIStackView : public UIView {
  public:
    enum class Distribution { fill, fillEqually, equalSpacing };
    enum class Alignment { fill, leading, center, trailing };
    using UIView::UIView;
    UILayoutConstraintAxis axis = UILayoutConstraintAxis::horizontal;
    Distribution distribution = Distribution::fill;
    Alignment alignment = Alignment::fill;
    CGFloat spacing = 0;
    const std::vector<std::shared_ptr<UIView>>& arrangedSubviews() const { return arranged_; }
    void addArrangedSubview(std::shared_ptr<UIView> view);
    void removeArrangedSubview(const std::shared_ptr<UIView>& view);
    // Hidden arranged views take no room. fill keeps each view's own length along the axis and
    // gives what is left to the last one; fillEqually shares the length out evenly.
    void layoutSubviews() override;

  private:
    std::vector<std::shared_ptr<UIView>> arranged_;
};

}  // namespace platform
