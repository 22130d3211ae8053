#include "platform/ui/UIView.h"

#include <cxxabi.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <typeinfo>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/ui/UIWindow.h"

namespace platform {
namespace {

struct FirstResponderState {
    std::weak_ptr<UIResponder> current;
};

std::weak_ptr<UIResponder>& firstResponderSlot() {
    return SharedInstance<FirstResponderState>::get().current;
}

}  // namespace

bool UIResponder::becomeFirstResponder() {
    if (!canBecomeFirstResponder()) return false;
    auto current = firstResponderSlot().lock();
    if (current.get() == this) return true;
    if (current && !current->resignFirstResponder()) return false;
    firstResponderSlot() = weak_from_this();
    firstResponderChanged(true);
    return true;
}

bool UIResponder::resignFirstResponder() {
    if (firstResponderSlot().lock().get() != this) return true;
    firstResponderSlot().reset();
    firstResponderChanged(false);
    return true;
}

bool UIResponder::isFirstResponder() const {
    return firstResponderSlot().lock().get() == this;
}

std::shared_ptr<UIResponder> UIResponder::currentFirstResponder() {
    return firstResponderSlot().lock();
}

std::string UIResponder::className() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : mangled;
    std::free(demangled);
    auto lt = name.find('<');
    auto colon = name.rfind("::", lt);
    return colon == std::string::npos ? name : name.substr(colon + 2);
}

std::shared_ptr<void> UIResponder::associatedObject(const void* key) const {
    auto it = associated_.find(key);
    return it == associated_.end() ? nullptr : it->second;
}

void UIResponder::setAssociatedObject(const void* key, std::shared_ptr<void> value) {
    if (value)
        associated_[key] = std::move(value);
    else
        associated_.erase(key);
}

UIView::UIView() {
    layer_->drawDelegate = [this](CGContext& ctx) { drawContent(ctx); };
}

void UIView::drawContent(CGContext& ctx) const {
    ctx.setTextStyle(textStyle());
    draw(ctx, bounds());
}

UIView::UIView(CGRect frame) : UIView() {
    layer_->frame = frame;
}

UIView::UIView(CGRect frame, std::shared_ptr<CALayer> layer) : UIView(frame) {
    if (!layer) return;
    layer->frame = frame;
    layer->drawDelegate = std::move(layer_->drawDelegate);
    layer_ = std::move(layer);
}

UIView::~UIView() {
    layer_->drawDelegate = nullptr;
    for (auto& sub : subviews_)
        sub->superview_ = nullptr;
}

std::shared_ptr<UIView> UIView::superview() const {
    if (!superview_) return nullptr;
    return std::static_pointer_cast<UIView>(superview_->weak_from_this().lock());
}

void UIView::setFrame(CGRect frame) {
    CGSize old = layer_->frame.size;
    layer_->frame = frame;
    if (!(old == frame.size)) {
        resizeSubviews(old);
        needsLayout_ = true;
        layoutIfNeeded();
    }
}

void UIView::setCenter(CGPoint c) {
    CGRect f = frame();
    setFrame({c.x - f.width() / 2, c.y - f.height() / 2, f.width(), f.height()});
}

namespace {

// One axis of an autoresizing mask: the change is shared among the flexible parts in proportion
// to their sizes (equally when they are all zero).
void resizeAxis(CGFloat delta, CGFloat total, bool flexLead, bool flexSize, bool flexTrail,
                CGFloat& origin, CGFloat& size) {
    CGFloat lead = origin, trail = total - origin - size;
    CGFloat parts = (flexLead ? lead : 0) + (flexSize ? size : 0) + (flexTrail ? trail : 0);
    int count = flexLead + flexSize + flexTrail;
    if (count == 0) return;
    auto share = [&](CGFloat part) { return parts > 0 ? delta * part / parts : delta / count; };
    if (flexLead) origin += share(lead);
    if (flexSize) size = std::max(0.0, size + share(size));
}

}  // namespace

void UIView::resizeSubviews(CGSize old) {
    CGSize now = frame().size;
    for (auto& sub : subviews_) {
        unsigned m = sub->autoresizingMask;
        if (m == UIViewAutoresizing::none) continue;
        CGRect f = sub->frame();
        resizeAxis(now.width - old.width, old.width, m & UIViewAutoresizing::flexibleLeftMargin,
                   m & UIViewAutoresizing::flexibleWidth,
                   m & UIViewAutoresizing::flexibleRightMargin, f.origin.x, f.size.width);
        resizeAxis(now.height - old.height, old.height, m & UIViewAutoresizing::flexibleTopMargin,
                   m & UIViewAutoresizing::flexibleHeight,
                   m & UIViewAutoresizing::flexibleBottomMargin, f.origin.y, f.size.height);
        sub->setFrame(f);
    }
}

CGPoint UIView::convert(CGPoint p, const UIView* to) const {
    // Up to window coordinates, then down into `to`.
    CGPoint w = p;
    for (const UIView* v = this; v; v = v->superview().get()) {
        w.x += v->frame().minX() - v->bounds().minX();
        w.y += v->frame().minY() - v->bounds().minY();
    }
    if (!to) return w;
    CGPoint origin = to->convert(CGPoint{0, 0}, nullptr);
    return {w.x - origin.x, w.y - origin.y};
}

CGRect UIView::convert(CGRect r, const UIView* to) const {
    CGPoint o = convert(r.origin, to);
    return {o.x, o.y, r.width(), r.height()};
}

void UIView::addSubview(std::shared_ptr<UIView> view) {
    insertSubview(std::move(view), subviews_.size());
}

void UIView::insertSubview(std::shared_ptr<UIView> view, std::size_t index) {
    if (!view || view.get() == this || isDescendant(view.get())) return;
    if (view->superview().get() == this) {
        auto it = std::find(subviews_.begin(), subviews_.end(), view);
        std::size_t old = static_cast<std::size_t>(it - subviews_.begin());
        subviews_.erase(it);
        if (index > old) --index;
    } else {
        view->removeFromSuperview();
    }
    index = std::min(index, subviews_.size());
    // The layer goes before the layer of the subview that now follows it, so drawing order
    // follows the subview order even when plain sublayers were added.
    std::size_t layerIndex = layer_->sublayers().size();
    if (index < subviews_.size()) {
        auto& after = subviews_[index]->layer_;
        auto& list = layer_->sublayers();
        layerIndex =
            static_cast<std::size_t>(std::find(list.begin(), list.end(), after) - list.begin());
    }
    subviews_.insert(subviews_.begin() + index, view);
    view->superview_ = this;
    layer_->insertSublayer(view->layer_, layerIndex);
    view->didMoveToSuperview();
    if (window()) view->notifyMovedToWindow();
}

void UIView::bringSubviewToFront(const std::shared_ptr<UIView>& view) {
    if (view && view->superview().get() == this) insertSubview(view, subviews_.size());
}

void UIView::removeFromSuperview() {
    UIView* parent = superview_;
    if (!parent) return;
    bool hadWindow = window() != nullptr;
    auto self = std::static_pointer_cast<UIView>(weak_from_this().lock());
    auto& list = parent->subviews_;
    list.erase(
        std::remove_if(list.begin(), list.end(), [this](auto& v) { return v.get() == this; }),
        list.end());
    superview_ = nullptr;
    layer_->removeFromSuperlayer();
    // A first responder that leaves the window gives up its status.
    if (hadWindow) {
        auto first = currentFirstResponder();
        if (auto v = std::dynamic_pointer_cast<UIView>(first); v && v->isDescendant(this)) {
            v->resignFirstResponder();
        }
    }
    didMoveToSuperview();
    if (hadWindow) notifyMovedToWindow();
}

void UIView::notifyMovedToWindow() {
    didMoveToWindow();
    for (auto& sub : std::vector(subviews_))
        sub->notifyMovedToWindow();
}

bool UIView::isDescendant(const UIView* of) const {
    for (const UIView* v = this; v; v = v->superview().get()) {
        if (v == of) return true;
    }
    return false;
}

std::shared_ptr<UIView> UIView::viewWithTag(long t) {
    if (tag == t) return shared<UIView>();
    for (auto& sub : subviews_) {
        if (auto found = sub->viewWithTag(t)) return found;
    }
    return nullptr;
}

UIWindow* UIView::window() const {
    const UIView* top = this;
    while (auto parent = top->superview())
        top = parent.get();
    return dynamic_cast<UIWindow*>(const_cast<UIView*>(top));
}

void UIView::setHidden(bool hidden) {
    if (layer_->isHidden == hidden) return;
    layer_->isHidden = hidden;
    if (auto parent = superview()) parent->setNeedsLayout();
}

namespace {

// The innermost open animation block of the main thread: what a change of alpha fades by.
struct AnimationBlock {
    double duration;
    unsigned options;
};
std::vector<AnimationBlock>& openAnimationBlocks() {
    static std::vector<AnimationBlock> blocks;
    return blocks;
}

constexpr char kFadeKey[] = "opacity";
// The two bits of the options that choose the timing curve.
constexpr unsigned kCurveBits = UIViewAnimationOptions::curveLinear;

}  // namespace

void UIView::setAlpha(CGFloat alpha) {
    const CGFloat target = std::isnan(alpha) ? 0 : std::clamp(alpha, 0.0, 1.0);
    const auto& blocks = openAnimationBlocks();
    if (!blocks.empty() && blocks.back().duration > 0) {
        const CGFloat shown = presentedAlpha();
        if (shown != target) {
            CABasicAnimation fade(kFadeKey);
            fade.fromValue = shown;
            fade.toValue = target;
            fade.duration = blocks.back().duration;
            if ((blocks.back().options & kCurveBits) == UIViewAnimationOptions::curveLinear)
                fade.timingFunction = CAMediaTimingFunctionName::linear;
            layer_->add(std::move(fade), kFadeKey);
        }
    } else {
        // A change outside an animation ends a fade that is still running.
        layer_->removeAnimationForKey(kFadeKey);
    }
    layer_->opacity = target;
}

CGFloat UIView::presentedAlpha() const {
    return std::clamp(layer_->presentationValue(kFadeKey, layer_->opacity), 0.0, 1.0);
}

UIColor UIView::tintColor() const {
    for (const UIView* v = this; v; v = v->superview().get()) {
        if (v->tintColor_) return *v->tintColor_;
    }
    return UIColor::systemBlue();
}

void UIView::layoutIfNeeded() {
    if (needsLayout_) {
        needsLayout_ = false;
        auto controller = controller_.lock();
        if (controller) controller->rootViewWillLayout();
        layoutSubviews();
        if (controller) controller->rootViewDidLayout();
    }
    for (auto& sub : std::vector(subviews_))
        sub->layoutIfNeeded();
}

void UIView::sizeToFit() {
    CGSize s = sizeThatFits(frame().size);
    setFrame({frame().minX(), frame().minY(), s.width, s.height});
}

void UIView::addConstraint(std::shared_ptr<NSLayoutConstraint> c) {
    if (!c) return;
    c->isActive = true;
    constraints_.push_back(std::move(c));
}

std::shared_ptr<NSLayoutConstraint> NSLayoutConstraint::make(const std::shared_ptr<UIView>& first,
                                                             NSLayoutAttribute firstAttribute,
                                                             NSLayoutRelation relation,
                                                             const std::shared_ptr<UIView>& second,
                                                             NSLayoutAttribute secondAttribute,
                                                             CGFloat multiplier, CGFloat constant) {
    auto c = std::make_shared<NSLayoutConstraint>();
    c->firstItem = first;
    c->firstAttribute = firstAttribute;
    c->relation = relation;
    c->secondItem = second;
    c->secondAttribute = secondAttribute;
    c->multiplier = multiplier;
    c->constant = constant;
    return c;
}

namespace {

UIView* commonAncestor(UIView* a, UIView* b) {
    if (!b) return a;
    for (UIView* v = a; v; v = v->superview().get()) {
        if (b->isDescendant(v)) return v;
    }
    return nullptr;
}

}  // namespace

void NSLayoutConstraint::activate(const std::vector<std::shared_ptr<NSLayoutConstraint>>& list) {
    for (const auto& c : list) {
        if (!c || c->isActive) continue;
        auto first = c->firstItem.lock();
        auto second = c->secondItem.lock();
        UIView* owner = first ? commonAncestor(first.get(), second.get()) : nullptr;
        if (!owner) {
            systemLog("NSLayoutConstraint: the items have no common ancestor; not activated");
            continue;
        }
        owner->addConstraint(c);
        c->isActive = true;
    }
}

void NSLayoutConstraint::deactivate(const std::vector<std::shared_ptr<NSLayoutConstraint>>& list) {
    for (const auto& c : list) {
        if (!c || !c->isActive) continue;
        c->isActive = false;
        for (auto v = c->firstItem.lock(); v; v = v->superview())
            v->removeConstraint(c);
    }
}

void UIView::removeConstraint(const std::shared_ptr<NSLayoutConstraint>& c) {
    constraints_.erase(std::remove(constraints_.begin(), constraints_.end(), c),
                       constraints_.end());
}

std::shared_ptr<UIView> UIView::hitTest(CGPoint p) {
    if (isHidden() || !isUserInteractionEnabled || alpha() < 0.01 || !pointInside(p)) {
        return nullptr;
    }
    for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
        const auto& sub = *it;
        CGPoint q{p.x - sub->frame().minX() + sub->bounds().minX(),
                  p.y - sub->frame().minY() + sub->bounds().minY()};
        if (auto hit = sub->hitTest(q)) return hit;
    }
    return shared<UIView>();
}

bool UIView::handleTap(CGPoint p) {
    bool handled = false;
    for (auto& r : std::vector(recognizers_)) {
        if (r->isEnabled && r->recognizeTap(p)) handled = true;
    }
    return handled;
}

bool UIView::handleSwipe(UISwipeDirection direction, CGPoint p) {
    bool handled = false;
    for (auto& r : std::vector(recognizers_)) {
        if (r->isEnabled && r->recognizeSwipe(direction, p)) handled = true;
    }
    return handled;
}

bool UIView::recognizeDrag(CGPoint from, CGPoint to) {
    for (auto& r : std::vector(recognizers_)) {
        if (r->isEnabled && r->recognizeDrag(from, to)) return true;
    }
    return false;
}

bool UIPanGestureRecognizer::recognizeDrag(CGPoint from, CGPoint to) {
    if (!accepts(from, to)) return false;
    location_ = from;
    translation_ = {to.x - from.x, to.y - from.y};
    if (shouldBegin && !shouldBegin(*this)) return false;
    if (action_) action_(*this);
    return true;
}

bool UIScreenEdgePanGestureRecognizer::accepts(CGPoint from, CGPoint to) const {
    const auto v = view();
    const UIWindow* window = v ? v->window() : nullptr;
    if (!window) return false;
    const CGFloat x = v->convert(from, nullptr).x;
    const CGFloat dx = to.x - from.x, dy = to.y - from.y;
    if (std::abs(dx) <= std::abs(dy)) return false;
    if (edges == UIRectEdge::left) return x <= kEdgeWidth && dx > 0;
    return x >= window->bounds().width() - kEdgeWidth && dx < 0;
}

void UIView::addGestureRecognizer(std::shared_ptr<UIGestureRecognizer> recognizer) {
    if (!recognizer) return;
    recognizer->view_ = shared<UIView>();
    recognizers_.push_back(std::move(recognizer));
}

std::shared_ptr<UIResponder> UIView::nextResponder() const {
    if (auto vc = controller_.lock()) return vc;
    return superview();
}

void UIView::animate(double duration, double delay, unsigned options,
                     const std::function<void()>& animations,
                     std::function<void(bool)> completion) {
    if (animations) {
        struct Open {
            Open(double duration, unsigned options) {
                openAnimationBlocks().push_back({std::isfinite(duration) ? duration : 0, options});
            }
            ~Open() { openAnimationBlocks().pop_back(); }
            Open(const Open&) = delete;
            Open& operator=(const Open&) = delete;
        } open(duration, options);
        animations();
    }
    if (!completion) return;
    double total = std::max(0.0, delay) + std::max(0.0, duration);
    auto block = [completion = std::move(completion)] { completion(true); };
    if (total > 0)
        mainQueue().after(total, std::move(block));
    else
        mainQueue().async(std::move(block));
}

void UIView::transition(const std::shared_ptr<UIView>& view, double duration, unsigned options,
                        const std::function<void()>& animations,
                        std::function<void(bool)> completion) {
    (void)view;
    animate(duration, 0, options, animations, std::move(completion));
}

std::string formatNumber(CGFloat value) {
    if (!std::isfinite(value)) return "0";
    // Layout arithmetic leaves noise in the last bits (0.1 + 0.2); a thousandth of a point is
    // finer than anything the screen shows.
    value = std::round(value * 1000) / 1000;
    if (value == 0) return "0";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc()) return "0";
    return std::string(buf, end);
}

}  // namespace platform
