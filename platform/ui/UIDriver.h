#pragma once
// Acts as a user on the key window (main thread): reads the screen, taps, types, presses keys,
// swipes and drags. Every touch goes through hit-testing, so a covered or disabled target is
// reported, not reached. Before and after each action the main queue is drained.
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "platform/ui/UIWindow.h"

namespace platform {

// The first visible view that matches every given criterion, depth first (presented views come
// after the window's root, so an alert's buttons are found after what lies beneath).
struct ViewQuery {
    std::string id;             // accessibility identifier
    std::string text;           // the view's text or LaTeX, as in the dump
    std::optional<int> index;   // a segment of a segmented control
    std::optional<CGPoint> at;  // where to touch, in the view's coordinates (default: centre)

    static ViewQuery byId(std::string id) { return {std::move(id), {}, {}, {}}; }
    static ViewQuery byText(std::string text) { return {{}, std::move(text), {}, {}}; }
    ViewQuery segment(int i) const {
        ViewQuery q = *this;
        q.index = i;
        return q;
    }
    ViewQuery touching(CGPoint p) const {
        ViewQuery q = *this;
        q.at = p;
        return q;
    }
};

struct DriverResult {
    enum class Status { ok, notFound, notHittable };
    Status status = Status::ok;
    std::string reason;  // "covered by <Type>", "disabled", or what was not found
    bool ok() const { return status == Status::ok; }
    bool operator==(const DriverResult&) const = default;
};

// For failure messages: DriverResult{status: notHittable, reason: "disabled"} (ValuePrinters.cpp).
void PrintTo(DriverResult::Status status, std::ostream* os);
void PrintTo(const DriverResult& result, std::ostream* os);

class UIDriver {
  public:
    // A null window means the application's key window at the time of each call.
    explicit UIDriver(std::shared_ptr<UIWindow> window = nullptr) : window_(std::move(window)) {}

    // The dump of the window after layout (ScreenDump.h); empty without a window.
    std::string screen();
    std::shared_ptr<UIView> find(const ViewQuery& query);

    // With `caret`, a tap that leaves a text field focused puts its caret at that code point
    // offset (clamped to the text), as a tap between two characters does.
    DriverResult tap(const ViewQuery& query, std::optional<std::size_t> caret = std::nullopt);
    DriverResult tapAt(CGPoint point, std::optional<std::size_t> caret = std::nullopt);
    // Into the focused text field.
    DriverResult type(const std::string& text);
    // "Backspace", "Delete", "Return" (or "Enter"), or a caret key: "ArrowLeft", "ArrowRight",
    // "Home", "End", which with `shift` extend or shrink the selection.
    DriverResult pressKey(const std::string& key, bool shift = false);
    DriverResult swipe(const ViewQuery& query, UISwipeDirection direction);
    DriverResult drag(CGPoint from, CGPoint to);
    // The mouse wheel at `point`: the innermost scroll view there that can move by (dx, dy)
    // moves (the content moves up for a positive dy). Nothing moving is no error.
    DriverResult scroll(CGPoint point, CGFloat dx, CGFloat dy);
    // Two fingers pinching at `point`: the innermost scroll view there that zooms multiplies
    // its zoom scale by `scale`, about the point. Nothing zooming is no error.
    DriverResult pinch(CGPoint point, CGFloat scale);
    // A double tap at `point` (after the two taps it is made of): the innermost scroll view
    // there that zooms zooms in or back out.
    DriverResult doubleTap(CGPoint point);

  private:
    std::shared_ptr<UIWindow> window();
    // Drains the main queue and lays the window out.
    std::shared_ptr<UIWindow> preparedWindow();
    // Finds the query's view and the window point to touch.
    DriverResult locate(const ViewQuery& query, std::shared_ptr<UIView>& view, CGPoint& point);
    // Hit-tests `point` for `target` and offers the gesture up the chain from the hit view.
    DriverResult perform(CGPoint point, const UIView* target,
                         const std::function<bool(UIView&, CGPoint)>& handle);
    // The first responder when it is a text field in the window.
    std::shared_ptr<class UITextField> focusedField();
    // Hit-tests `point` (window coordinates) for `target` (null: any view) and reports what
    // stands in the way; on success `hit` is the view that takes the touch.
    DriverResult reach(UIWindow& window, CGPoint point, const UIView* target,
                       std::shared_ptr<UIView>& hit);
    std::shared_ptr<UIWindow> window_;
};

}  // namespace platform
