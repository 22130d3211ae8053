#include "platform/ui/UIDriver.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <utility>

#include "platform/dispatch/SerialQueue.h"
#include "platform/ui/ScreenDump.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UIScrollView.h"
#include "platform/ui/UITextField.h"

namespace platform {
namespace {

DriverResult notFound(std::string what) {
    return {DriverResult::Status::notFound, std::move(what)};
}

DriverResult notHittable(std::string why) {
    return {DriverResult::Status::notHittable, std::move(why)};
}

// The part of `view` that shows on screen, in window coordinates (empty when none): hidden or
// transparent ancestors hide it, scroll views and clipping views cut it.
CGRect visibleRect(const UIView& view, const UIWindow& window) {
    CGRect r = view.convert(view.bounds(), nullptr);
    r = {r.minX(), r.minY(), view.bounds().width(), view.bounds().height()};
    for (const UIView* v = &view; v; v = v->superview().get()) {
        if (v->isHidden() || v->alpha() < 0.01) return {};
        if (v != &view && v->clipsContent()) {
            CGRect clip = v->convert(v->bounds(), nullptr);
            clip = {clip.minX(), clip.minY(), v->bounds().width(), v->bounds().height()};
            if (!r.intersects(clip)) return {};
            CGFloat x0 = std::max(r.minX(), clip.minX()), y0 = std::max(r.minY(), clip.minY());
            CGFloat x1 = std::min(r.maxX(), clip.maxX()), y1 = std::min(r.maxY(), clip.maxY());
            r = {x0, y0, x1 - x0, y1 - y0};
        }
    }
    return r.intersects(window.bounds()) ? r : CGRect{};
}

bool matches(const UIView& view, const ViewQuery& q) {
    if (!q.id.empty() && view.accessibilityIdentifier != q.id) return false;
    if (!q.text.empty()) {
        ViewDescription d;
        view.describe(d);
        if (d.text != q.text && d.latex != q.text) return false;
    }
    if (q.index && !dynamic_cast<const UISegmentedControl*>(&view)) return false;
    return true;
}

std::shared_ptr<UIView> findIn(const std::shared_ptr<UIView>& view, const ViewQuery& q,
                               const UIWindow& window) {
    if (view->isHidden()) return nullptr;
    if (matches(*view, q) && !visibleRect(*view, window).isEmpty()) return view;
    for (const auto& sub : view->subviews()) {
        if (auto found = findIn(sub, q, window)) return found;
    }
    return nullptr;
}

CGPoint toView(const UIView& view, CGPoint windowPoint) {
    CGPoint origin = view.convert(CGPoint{0, 0}, nullptr);
    return {windowPoint.x - origin.x, windowPoint.y - origin.y};
}

// Offers the gesture to `hit`, then up its superview chain, until one view handles it.
bool deliver(const std::shared_ptr<UIView>& hit, CGPoint windowPoint,
             const std::function<bool(UIView&, CGPoint)>& handle) {
    for (auto v = hit; v; v = v->superview()) {
        if (handle(*v, toView(*v, windowPoint))) return true;
    }
    return false;
}

// A tap; one that a text field takes and leaves it editing puts its caret at `caret`.
std::function<bool(UIView&, CGPoint)> tapPlacing(std::optional<std::size_t> caret) {
    return [caret](UIView& v, CGPoint p) {
        if (!v.handleTap(p)) return false;
        if (auto* field = dynamic_cast<UITextField*>(&v); field && caret)
            field->setSelectedTextRange({*caret, *caret});
        return true;
    };
}

std::string describeQuery(const ViewQuery& q) {
    std::string s = "no visible view";
    if (!q.id.empty()) s += " #" + q.id;
    if (!q.text.empty()) s += " \"" + q.text + "\"";
    if (q.index) s += " with segment " + std::to_string(*q.index);
    return s;
}

}  // namespace

std::shared_ptr<UIWindow> UIDriver::window() {
    if (window_) return window_;
    return UIApplication::shared().keyWindow();
}

std::string UIDriver::screen() {
    runUntilIdle();
    auto w = window();
    if (!w) return {};
    w->layoutIfNeeded();
    return screenDump(*w);
}

std::shared_ptr<UIView> UIDriver::find(const ViewQuery& query) {
    auto w = window();
    if (!w) return nullptr;
    w->layoutIfNeeded();
    return findIn(w, query, *w);
}

DriverResult UIDriver::reach(UIWindow& w, CGPoint point, const UIView* target,
                             std::shared_ptr<UIView>& hit) {
    hit = w.bounds().contains(point) ? w.hitTest(point) : nullptr;
    if (!hit) return notHittable("outside the window");
    if (target && !hit->isDescendant(target) && !target->isDescendant(hit.get())) {
        return notHittable("covered by " + hit->className());
    }
    for (auto v = hit; v; v = v->superview()) {
        if (auto control = std::dynamic_pointer_cast<UIControl>(v)) {
            if (!control->isEnabled()) return notHittable("disabled");
            break;
        }
    }
    return {};
}

std::shared_ptr<UIWindow> UIDriver::preparedWindow() {
    runUntilIdle();
    auto w = window();
    if (w) w->layoutIfNeeded();
    return w;
}

DriverResult UIDriver::locate(const ViewQuery& query, std::shared_ptr<UIView>& view,
                              CGPoint& point) {
    auto w = preparedWindow();
    if (!w) return notFound("no key window");
    view = findIn(w, query, *w);
    if (!view) return notFound(describeQuery(query));
    CGPoint local = view->bounds().center();
    if (auto seg = std::dynamic_pointer_cast<UISegmentedControl>(view); seg && query.index) {
        if (*query.index < 0 || *query.index >= seg->numberOfSegments()) {
            return notFound("no segment " + std::to_string(*query.index));
        }
        local = seg->segmentFrame(*query.index).center();
    }
    point = view->convert(query.at.value_or(local), nullptr);
    return {};
}

DriverResult UIDriver::perform(CGPoint point, const UIView* target,
                               const std::function<bool(UIView&, CGPoint)>& handle) {
    auto w = window();
    if (!w) return notFound("no key window");
    std::shared_ptr<UIView> hit;
    if (auto r = reach(*w, point, target, hit); !r.ok()) return r;
    deliver(hit, point, handle);
    runUntilIdle();
    return {};
}

DriverResult UIDriver::tap(const ViewQuery& query, std::optional<std::size_t> caret) {
    std::shared_ptr<UIView> view;
    CGPoint point;
    if (auto r = locate(query, view, point); !r.ok()) return r;
    return perform(point, view.get(), tapPlacing(caret));
}

DriverResult UIDriver::tapAt(CGPoint point, std::optional<std::size_t> caret) {
    preparedWindow();
    return perform(point, nullptr, tapPlacing(caret));
}

std::shared_ptr<UITextField> UIDriver::focusedField() {
    runUntilIdle();
    auto field = std::dynamic_pointer_cast<UITextField>(UIResponder::currentFirstResponder());
    auto w = window();
    return field && w && field->window() == w.get() ? field : nullptr;
}

DriverResult UIDriver::type(const std::string& text) {
    auto field = focusedField();
    if (!field) return notFound("no focused text field");
    field->insertText(text);
    runUntilIdle();
    return {};
}

DriverResult UIDriver::pressKey(const std::string& key, bool shift) {
    static const std::pair<const char*, UITextCaretMove> kCaretKeys[] = {
        {"ArrowLeft", UITextCaretMove::left},
        {"ArrowRight", UITextCaretMove::right},
        {"Home", UITextCaretMove::home},
        {"End", UITextCaretMove::end},
    };
    auto field = focusedField();
    if (!field) return notFound("no focused text field");
    const auto caretKey = std::find_if(std::begin(kCaretKeys), std::end(kCaretKeys),
                                       [&](const auto& entry) { return key == entry.first; });
    if (caretKey != std::end(kCaretKeys))
        field->moveCaret(caretKey->second, shift);
    else if (key == "Backspace")
        field->deleteBackward();
    else if (key == "Delete")
        field->deleteForward();
    else if (key == "Return" || key == "Enter")
        field->pressReturn();
    else
        return notFound("no key \"" + key + "\"");
    runUntilIdle();
    return {};
}

DriverResult UIDriver::swipe(const ViewQuery& query, UISwipeDirection direction) {
    std::shared_ptr<UIView> view;
    CGPoint point;
    if (auto r = locate(query, view, point); !r.ok()) return r;
    return perform(point, view.get(),
                   [direction](UIView& v, CGPoint p) { return v.handleSwipe(direction, p); });
}

DriverResult UIDriver::scroll(CGPoint point, CGFloat dx, CGFloat dy) {
    preparedWindow();
    return perform(point, nullptr, [dx, dy](UIView& v, CGPoint) {
        auto* scrollView = dynamic_cast<UIScrollView*>(&v);
        return scrollView && scrollView->scrollBy(dx, dy);
    });
}

DriverResult UIDriver::pinch(CGPoint point, CGFloat scale) {
    preparedWindow();
    return perform(point, nullptr, [scale](UIView& v, CGPoint p) {
        auto* scrollView = dynamic_cast<UIScrollView*>(&v);
        return scrollView && scrollView->zoomTo(scrollView->zoomScale() * scale, p);
    });
}

DriverResult UIDriver::doubleTap(CGPoint point) {
    preparedWindow();
    return perform(point, nullptr, [](UIView& v, CGPoint p) {
        auto* scrollView = dynamic_cast<UIScrollView*>(&v);
        return scrollView && scrollView->handleDoubleTap(p);
    });
}

DriverResult UIDriver::drag(CGPoint from, CGPoint to) {
    auto w = preparedWindow();
    if (!w) return notFound("no key window");
    std::shared_ptr<UIView> hit;
    if (auto r = reach(*w, from, nullptr, hit); !r.ok()) return r;
    const auto moved = [by = CGPoint{to.x - from.x, to.y - from.y}](CGPoint p) {
        return CGPoint{p.x + by.x, p.y + by.y};
    };
    // The recognizers up the chain see the drag before any view's own dragging does.
    if (!deliver(hit, from, [&](UIView& v, CGPoint p) { return v.recognizeDrag(p, moved(p)); }))
        deliver(hit, from, [&](UIView& v, CGPoint p) { return v.handleDrag(p, moved(p)); });
    runUntilIdle();
    return {};
}

}  // namespace platform
