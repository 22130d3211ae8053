#pragma once
// Points, sizes and rectangles of the screen model. Frames are set by builders and by the few
// containers that lay out; nothing is solved.
#include <algorithm>
#include <iosfwd>

namespace platform {

using CGFloat = double;

struct CGPoint {
    CGFloat x = 0, y = 0;
    bool operator==(const CGPoint&) const = default;
};

struct CGSize {
    CGFloat width = 0, height = 0;
    bool operator==(const CGSize&) const = default;
};

struct CGRect {
    CGPoint origin;
    CGSize size;
    CGRect() = default;
    CGRect(CGFloat x, CGFloat y, CGFloat w, CGFloat h) : origin{x, y}, size{w, h} {}
    CGFloat minX() const { return origin.x; }
    CGFloat minY() const { return origin.y; }
    CGFloat maxX() const { return origin.x + size.width; }
    CGFloat maxY() const { return origin.y + size.height; }
    CGFloat width() const { return size.width; }
    CGFloat height() const { return size.height; }
    CGPoint center() const { return {origin.x + size.width / 2, origin.y + size.height / 2}; }
    bool isEmpty() const { return size.width <= 0 || size.height <= 0; }
    // Half-open on the far edges, as hit-testing is.
    bool contains(CGPoint p) const {
        return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
    }
    bool intersects(const CGRect& o) const {
        return minX() < o.maxX() && o.minX() < maxX() && minY() < o.maxY() && o.minY() < maxY();
    }
    CGRect offsetBy(CGFloat dx, CGFloat dy) const {
        return {origin.x + dx, origin.y + dy, size.width, size.height};
    }
    bool operator==(const CGRect&) const = default;
};

struct UIEdgeInsets {
    CGFloat top = 0, left = 0, bottom = 0, right = 0;
    bool operator==(const UIEdgeInsets&) const = default;
};

inline CGRect insetRect(const CGRect& r, const UIEdgeInsets& i) {
    return {r.minX() + i.left, r.minY() + i.top, std::max(0.0, r.width() - i.left - i.right),
            std::max(0.0, r.height() - i.top - i.bottom)};
}

// GoogleTest's printers for failure messages: CGRect{x: 0, y: 0, width: 390, height: 844}
// (ValuePrinters.cpp, with those of the other value types of the UI).
void PrintTo(const CGPoint& point, std::ostream* os);
void PrintTo(const CGSize& size, std::ostream* os);
void PrintTo(const CGRect& rect, std::ostream* os);
void PrintTo(const UIEdgeInsets& insets, std::ostream* os);

}  // namespace platform
