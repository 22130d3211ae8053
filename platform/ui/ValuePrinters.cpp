// GoogleTest's printers for the value types of the UI, declared beside each type: without one,
// a failed comparison prints a value as its raw bytes. Numbers show in their shortest exact form
// and texts quoted, so that two values that differ never print alike.

#include <ostream>
#include <string>

#include "platform/foundation/Format.h"
#include "platform/foundation/Object.h"
#include "platform/ui/CALayer.h"
#include "platform/ui/Geometry.h"
#include "platform/ui/UIColor.h"
#include "platform/ui/UIDriver.h"
#include "platform/ui/UITableView.h"
#include "platform/ui/UITextField.h"

namespace platform {

namespace {

std::string number(CGFloat value) {
    return shortestNumberText(value);
}

std::string quoted(const std::string& text) {
    return Object(text).description();
}

}  // namespace

void PrintTo(const CGPoint& point, std::ostream* os) {
    *os << "CGPoint{x: " << number(point.x) << ", y: " << number(point.y) << '}';
}

void PrintTo(const CGSize& size, std::ostream* os) {
    *os << "CGSize{width: " << number(size.width) << ", height: " << number(size.height) << '}';
}

void PrintTo(const CGRect& rect, std::ostream* os) {
    *os << "CGRect{x: " << number(rect.origin.x) << ", y: " << number(rect.origin.y)
        << ", width: " << number(rect.size.width) << ", height: " << number(rect.size.height)
        << '}';
}

void PrintTo(const UIEdgeInsets& insets, std::ostream* os) {
    *os << "UIEdgeInsets{top: " << number(insets.top) << ", left: " << number(insets.left)
        << ", bottom: " << number(insets.bottom) << ", right: " << number(insets.right) << '}';
}

void PrintTo(const RGBA& color, std::ostream* os) {
    *os << "RGBA{r: " << number(color.r) << ", g: " << number(color.g) << ", b: " << number(color.b)
        << ", a: " << number(color.a) << '}';
}

void PrintTo(const UIColor& color, std::ostream* os) {
    *os << "UIColor{light: ";
    PrintTo(color.light_, os);
    if (color.dark_) {
        *os << ", dark: ";
        PrintTo(*color.dark_, os);
    }
    *os << '}';
}

void PrintTo(NSTextAlignment alignment, std::ostream* os) {
    static constexpr const char* kNames[] = {"left", "center", "right", "justified", "natural"};
    *os << kNames[static_cast<int>(alignment)];
}

void PrintTo(const UIFont& font, std::ostream* os) {
    *os << "UIFont{name: " << quoted(font.name) << ", pointSize: " << number(font.pointSize) << '}';
}

void PrintTo(CALineJoin join, std::ostream* os) {
    static constexpr const char* kNames[] = {"miter", "round", "bevel"};
    *os << kNames[static_cast<int>(join)];
}

void PrintTo(const TextStyle& style, std::ostream* os) {
    *os << "TextStyle{font: ";
    PrintTo(style.font, os);
    *os << ", alignment: ";
    PrintTo(style.alignment, os);
    *os << ", wraps: " << (style.wraps ? "true" : "false") << '}';
}

void PrintTo(DisplayItem::Kind kind, std::ostream* os) {
    static constexpr const char* kNames[] = {"fill",  "border", "shadow", "text",
                                             "latex", "image",  "path"};
    *os << kNames[static_cast<int>(kind)];
}

void PrintTo(const DisplayItem& item, std::ostream* os) {
    *os << "DisplayItem{kind: ";
    PrintTo(item.kind, os);
    *os << ", rect: ";
    PrintTo(item.rect, os);
    *os << ", color: ";
    PrintTo(item.color, os);
    *os << ", radius: " << number(item.radius) << ", text: " << quoted(item.text);
    if (item.fill) {
        *os << ", fill: ";
        PrintTo(*item.fill, os);
    }
    if (!item.points.empty()) {
        *os << ", points: [";
        for (std::size_t i = 0; i < item.points.size(); ++i) {
            if (i) *os << ", ";
            PrintTo(item.points[i], os);
        }
        *os << "], lineJoin: ";
        PrintTo(item.lineJoin, os);
    }
    if (item.rotation != 0) {
        *os << ", rotation: " << number(item.rotation) << ", pivot: ";
        PrintTo(item.pivot, os);
    }
    *os << ", style: ";
    PrintTo(item.style, os);
    *os << '}';
}

void PrintTo(const CATransform3D& transform, std::ostream* os) {
    *os << "CATransform3D{rotationZ: " << number(transform.rotationZ) << '}';
}

void PrintTo(const UITextRange& range, std::ostream* os) {
    *os << "UITextRange{start: " << range.start << ", end: " << range.end << '}';
}

void PrintTo(DriverResult::Status status, std::ostream* os) {
    static constexpr const char* kNames[] = {"ok", "notFound", "notHittable"};
    *os << kNames[static_cast<int>(status)];
}

void PrintTo(const DriverResult& result, std::ostream* os) {
    *os << "DriverResult{status: ";
    PrintTo(result.status, os);
    *os << ", reason: " << quoted(result.reason) << '}';
}

void PrintTo(const NSIndexPath& path, std::ostream* os) {
    *os << "NSIndexPath{section: " << path.section << ", row: " << path.row << '}';
}

}  // namespace platform
