#include "platform/ui/UIControl.h"

#include <algorithm>
#include <cmath>

#include "platform/ui/UILabel.h"

namespace platform {

void UIControl::addTarget(unsigned events, std::function<void(UIControl&)> action) {
    if (action) targets_.push_back({events, std::move(action)});
}

void UIControl::sendActions(unsigned events) {
    auto keep = shared<UIControl>();  // an action may remove the control from its window
    for (auto& target : std::vector(targets_)) {
        if (target.events & events) target.action(*this);
    }
}

bool UIControl::handleTap(CGPoint p) {
    if (UIView::handleTap(p)) return true;
    if (!enabled_) return true;  // swallowed, as a disabled control does not pass touches on
    sendActions(UIControlEvents::touchDown);
    sendActions(UIControlEvents::touchUpInside);
    return true;
}

void UIControl::describe(ViewDescription& d) const {
    UIView::describe(d);
    d.disabled = !enabled_;
    d.selected = selected_;
}

std::shared_ptr<UIButton> UIButton::systemButton(const std::string& title) {
    auto button = std::make_shared<UIButton>();
    button->setTitle(title);
    button->setTitleColor(UIColor::systemBlue());
    return button;
}

void UIButton::draw(CGContext& ctx, CGRect rect) const {
    CGRect content = insetRect(rect, contentEdgeInsets);
    if (image_) ctx.drawImage(*image_, content);
    if (!title_.empty()) ctx.drawText(title_, content, titleColor_.value_or(tintColor()));
}

void UIButton::describe(ViewDescription& d) const {
    UIControl::describe(d);
    if (!title_.empty()) d.text = title_;
    if (image_ && !image_->name().empty()) d.image = image_->name();
    if (!title_.empty()) d.color = titleColor_.value_or(tintColor());
    if (!role.empty()) d.role = role;
}

void UISegmentedControl::insert(std::shared_ptr<UIView> content, int index) {
    auto segment = std::make_shared<UIView>();
    content->autoresizingMask =
        UIViewAutoresizing::flexibleWidth | UIViewAutoresizing::flexibleHeight;
    segment->addSubview(content);
    std::size_t at =
        std::clamp<std::size_t>(static_cast<std::size_t>(std::max(0, index)), 0, segments_.size());
    segments_.insert(segments_.begin() + at, Segment{segment, true});
    insertSubview(segment, at);
    if (selected_ >= static_cast<int>(at)) ++selected_;
    setNeedsLayout();
    layoutIfNeeded();
}

void UISegmentedControl::insertSegment(const std::string& title, int index) {
    auto label = std::make_shared<UILabel>();
    label->setText(title);
    label->textAlignment = NSTextAlignment::center;
    insert(label, index);
}

void UISegmentedControl::insertSegment(std::shared_ptr<UIImage> image, int index) {
    insert(std::make_shared<UIImageView>(std::move(image)), index);
}

void UISegmentedControl::removeAllSegments() {
    for (auto& s : segments_)
        s.view->removeFromSuperview();
    segments_.clear();
    selected_ = noSegment;
}

std::string UISegmentedControl::titleForSegment(int index) const {
    if (index < 0 || index >= numberOfSegments()) return {};
    auto label = std::dynamic_pointer_cast<UILabel>(segments_[index].view->subviews().front());
    return label ? label->text() : std::string();
}

std::shared_ptr<UIImage> UISegmentedControl::imageForSegment(int index) const {
    if (index < 0 || index >= numberOfSegments()) return nullptr;
    auto view = std::dynamic_pointer_cast<UIImageView>(segments_[index].view->subviews().front());
    return view ? view->image() : nullptr;
}

void UISegmentedControl::setImage(std::shared_ptr<UIImage> image, int index) {
    if (index < 0 || index >= numberOfSegments()) return;
    auto& view = segments_[index].view;
    view->subviews().front()->removeFromSuperview();
    auto content = std::make_shared<UIImageView>(std::move(image));
    content->setFrame(view->bounds());
    view->addSubview(content);
}

void UISegmentedControl::setTitle(const std::string& title, int index) {
    if (index < 0 || index >= numberOfSegments()) return;
    auto& view = segments_[index].view;
    view->subviews().front()->removeFromSuperview();
    auto label = std::make_shared<UILabel>(view->bounds());
    label->setText(title);
    label->textAlignment = NSTextAlignment::center;
    view->addSubview(label);
}

void UISegmentedControl::setSelectedSegmentIndex(int index) {
    selected_ = index >= 0 && index < numberOfSegments() ? index : noSegment;
}

void UISegmentedControl::setEnabled(bool enabled, int segment) {
    if (segment >= 0 && segment < numberOfSegments()) segments_[segment].enabled = enabled;
}

bool UISegmentedControl::isEnabledForSegment(int segment) const {
    return segment >= 0 && segment < numberOfSegments() && segments_[segment].enabled;
}

CGRect UISegmentedControl::segmentFrame(int index) const {
    if (segments_.empty()) return {};
    CGFloat w = bounds().width() / segments_.size();
    return {w * index, 0, w, bounds().height()};
}

void UISegmentedControl::layoutSubviews() {
    for (int i = 0; i < numberOfSegments(); ++i) {
        auto& view = segments_[i].view;
        view->setFrame(segmentFrame(i));
        for (auto& content : view->subviews())
            content->setFrame(view->bounds());
    }
}

void UISegmentedControl::draw(CGContext& ctx, CGRect rect) const {
    (void)rect;
    if (segments_.empty()) return;
    const UIColor tint = isEnabled() ? tintColor() : UIColor::systemGray();
    if (selected_ != noSegment) ctx.fill(segmentFrame(selected_), tint.withAlphaComponent(0.25));
    for (int i = 1; i < numberOfSegments(); ++i) {
        const CGRect divider = segmentFrame(i);
        ctx.fill({divider.minX() - 0.5, divider.minY(), 1, divider.height()}, tint);
    }
    ctx.stroke(bounds(), tint, 1, 4);
    if (selected_ != noSegment) ctx.stroke(segmentFrame(selected_), tint, 2);
}

bool UISegmentedControl::handleTap(CGPoint p) {
    if (!isEnabled() || segments_.empty()) return true;
    int index = static_cast<int>(std::floor(p.x / segmentFrame(0).width()));
    if (!isEnabledForSegment(index)) return true;
    selected_ = index;
    sendActions(UIControlEvents::valueChanged);
    return true;
}

void UISegmentedControl::describe(ViewDescription& d) const {
    UIControl::describe(d);
    d.segments = std::make_pair(selected_, numberOfSegments());
}

}  // namespace platform
