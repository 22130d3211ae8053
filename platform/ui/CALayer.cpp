#include "platform/ui/CALayer.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "platform/dispatch/Clock.h"

namespace platform {

UIBezierPath UIBezierPath::rect(CGRect r) {
    UIBezierPath p;
    p.moveTo(r.origin);
    p.addLineTo({r.maxX(), r.minY()});
    p.addLineTo({r.maxX(), r.maxY()});
    p.addLineTo({r.minX(), r.maxY()});
    p.close();
    return p;
}

UIBezierPath UIBezierPath::roundedRect(CGRect r, CGFloat radius) {
    // The corners are left square: the model keeps the outline, not the curve.
    (void)radius;
    return rect(r);
}

UIBezierPath UIBezierPath::ovalIn(CGRect r) {
    UIBezierPath p;
    CGPoint c = r.center();
    for (int i = 0; i < 32; ++i) {
        double a = 2 * std::numbers::pi * i / 32;
        CGPoint q{c.x + r.width() / 2 * std::cos(a), c.y + r.height() / 2 * std::sin(a)};
        if (i == 0)
            p.moveTo(q);
        else
            p.addLineTo(q);
    }
    p.close();
    return p;
}

void UIBezierPath::addArc(CGPoint center, CGFloat radius, CGFloat startAngle, CGFloat endAngle,
                          bool clockwise) {
    if (!std::isfinite(startAngle) || !std::isfinite(endAngle) || !std::isfinite(radius)) return;
    const double turn = 2 * std::numbers::pi;
    double sweep = endAngle - startAngle;
    if (clockwise && sweep < 0) sweep = std::fmod(sweep, turn) + turn;
    if (!clockwise && sweep > 0) sweep = std::fmod(sweep, turn) - turn;
    sweep = std::clamp(sweep, -turn, turn);
    const int segments = std::max(1, static_cast<int>(std::ceil(std::fabs(sweep) / turn * 64)));
    for (int i = 0; i <= segments; ++i) {
        const double a = startAngle + sweep * i / segments;
        const CGPoint p{center.x + radius * std::cos(a), center.y + radius * std::sin(a)};
        if (i == 0 && elements.empty())
            moveTo(p);
        else
            addLineTo(p);
    }
}

UIBezierPath UIBezierPath::arc(CGPoint center, CGFloat radius, CGFloat startAngle, CGFloat endAngle,
                               bool clockwise) {
    UIBezierPath p;
    p.addArc(center, radius, startAngle, endAngle, clockwise);
    return p;
}

CGRect UIBezierPath::bounds() const {
    bool any = false;
    CGFloat x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    for (const auto& e : elements) {
        if (e.op == Op::close) continue;
        if (!any) {
            x0 = x1 = e.point.x;
            y0 = y1 = e.point.y;
            any = true;
        }
        x0 = std::min(x0, e.point.x);
        y0 = std::min(y0, e.point.y);
        x1 = std::max(x1, e.point.x);
        y1 = std::max(y1, e.point.y);
    }
    return {x0, y0, x1 - x0, y1 - y0};
}

void DisplayItem::offsetBy(CGFloat dx, CGFloat dy) {
    rect = rect.offsetBy(dx, dy);
    for (auto& p : points)
        p = {p.x + dx, p.y + dy};
    if (rotation != 0) pivot = {pivot.x + dx, pivot.y + dy};
}

void CGContext::translate(CGFloat dx, CGFloat dy) {
    const double c = std::cos(rotation_), s = std::sin(rotation_);
    origin_.x += dx * c - dy * s;
    origin_.y += dx * s + dy * c;
}

void CGContext::rotate(CGFloat angle) {
    if (std::isfinite(angle)) rotation_ += angle;
}

void CGContext::restoreGState() {
    if (saved_.empty()) return;
    origin_ = saved_.back().origin;
    rotation_ = saved_.back().rotation;
    style_ = std::move(saved_.back().style);
    saved_.pop_back();
}

void CGContext::record(DisplayItem item) {
    // Unturned, an item lies at origin + its coordinates; the turn is kept beside it, about
    // the origin, for whoever shows it.
    if (rotation_ != 0 && item.rotation == 0) {
        item.rotation = rotation_;
        item.pivot = origin_;
    }
    items_.push_back(std::move(item));
}

void CGContext::fill(CGRect rect, const UIColor& color, CGFloat radius) {
    record({DisplayItem::Kind::fill, abs(rect), color.resolved(), radius, {}, {}, {}});
}

void CGContext::stroke(CGRect rect, const UIColor& color, CGFloat width, CGFloat radius) {
    (void)radius;
    record({DisplayItem::Kind::border, abs(rect), color.resolved(), width, {}, {}, {}});
}

void CGContext::shadow(CGRect rect, const UIColor& color, CGFloat radius) {
    record({DisplayItem::Kind::shadow, abs(rect), color.resolved(), radius, {}, {}, {}});
}

void CGContext::drawText(const std::string& text, CGRect rect, const UIColor& color) {
    DisplayItem item{DisplayItem::Kind::text, abs(rect), color.resolved(), 0, text, {}, {}};
    item.style = style_;
    record(std::move(item));
}

void CGContext::drawLatex(const std::string& latex, CGRect rect, const UIColor& color) {
    DisplayItem item{DisplayItem::Kind::latex, abs(rect), color.resolved(), 0, latex, {}, {}};
    item.style = style_;
    record(std::move(item));
}

void CGContext::drawImage(const UIImage& image, CGRect rect) {
    if (image.displayList().empty()) {
        record({DisplayItem::Kind::image, abs(rect), {}, 0, image.name(), {}, {}});
        return;
    }
    // A rendered image brings what it shows, moved to where it is drawn.
    CGPoint at = abs(rect).origin;
    for (DisplayItem item : image.displayList()) {
        item.offsetBy(at.x, at.y);
        record(std::move(item));
    }
}

void CGContext::drawPath(const UIBezierPath& path, std::optional<UIColor> stroke,
                         std::optional<UIColor> fill) {
    DisplayItem item{DisplayItem::Kind::path, abs(path.bounds()), {}, path.lineWidth, {}, {}, {}};
    if (stroke) item.color = stroke->resolved();
    if (fill) item.fill = fill->resolved();
    item.lineJoin = path.lineJoinStyle;
    // A closed subpath ends where it began, so that its stroke draws the closing edge too.
    std::optional<CGPoint> subpathStart;
    for (const auto& e : path.elements) {
        if (e.op == UIBezierPath::Op::close) {
            if (subpathStart) item.points.push_back(*subpathStart);
            continue;
        }
        const CGPoint p{e.point.x + origin_.x, e.point.y + origin_.y};
        if (e.op == UIBezierPath::Op::move || !subpathStart) subpathStart = p;
        item.points.push_back(p);
    }
    record(std::move(item));
}

void CALayer::addSublayer(std::shared_ptr<CALayer> layer) {
    insertSublayer(std::move(layer), sublayers_.size());
}

void CALayer::insertSublayer(std::shared_ptr<CALayer> layer, std::size_t index) {
    if (!layer || layer.get() == this) return;
    layer->removeFromSuperlayer();
    layer->superlayer_ = weak_from_this();
    sublayers_.insert(sublayers_.begin() + std::min(index, sublayers_.size()), std::move(layer));
}

void CALayer::removeFromSuperlayer() {
    auto parent = superlayer_.lock();
    superlayer_.reset();
    if (!parent) return;
    auto& list = parent->sublayers_;
    auto it = std::find_if(list.begin(), list.end(), [this](auto& l) { return l.get() == this; });
    if (it != list.end()) list.erase(it);
}

CATransform3D CATransform3DMakeRotation(CGFloat angle, CGFloat x, CGFloat y, CGFloat z) {
    (void)x, (void)y;
    if (z == 0 || !std::isfinite(angle)) return CATransform3DIdentity;
    return {z > 0 ? angle : -angle};
}

void CALayer::add(CABasicAnimation animation, const std::string& key) {
    animation.beginTime = Clock::current().uptime();
    CATransaction::noteAnimation(animation.activeDuration());
    // Finished animations that no longer show are dropped, so that the list stays small.
    const double now = animation.beginTime;
    std::erase_if(animations_, [&](const auto& entry) {
        return entry.first == key || !entry.second.valueAt(now - entry.second.beginTime, 0);
    });
    animations_.emplace_back(key, std::move(animation));
}

const CABasicAnimation* CALayer::animationForKey(const std::string& key) const {
    for (const auto& [k, a] : animations_)
        if (k == key) return &a;
    return nullptr;
}

std::vector<std::string> CALayer::animationKeys() const {
    std::vector<std::string> keys;
    for (const auto& entry : animations_)
        keys.push_back(entry.first);
    return keys;
}

void CALayer::removeAnimationForKey(const std::string& key) {
    std::erase_if(animations_, [&](const auto& entry) { return entry.first == key; });
}

double CALayer::presentationValue(const std::string& keyPath, double modelValue) const {
    if (animations_.empty()) return modelValue;
    const double now = Clock::current().uptime();
    double value = modelValue;
    for (const auto& [key, a] : animations_)
        if (a.keyPath == keyPath)
            if (auto v = a.valueAt(now - a.beginTime, modelValue)) value = *v;
    return value;
}

CGFloat CALayer::presentationRotation() const {
    const double z = presentationValue("transform.rotation.z", transform.rotationZ);
    return presentationValue("transform.rotation", z);
}

namespace {

CGPoint rotated(CGPoint p, CGPoint c, double cosA, double sinA) {
    const double dx = p.x - c.x, dy = p.y - c.y;
    return {c.x + dx * cosA - dy * sinA, c.y + dx * sinA + dy * cosA};
}

// A drawn item turned about `c`: shapes become outlines through their turned corners; texts and
// images move with their centre and stay upright.
DisplayItem rotatedItem(DisplayItem item, CGPoint c, double angle) {
    const double cosA = std::cos(angle), sinA = std::sin(angle);
    if (item.rotation != 0) {
        // Already turned about its pivot: the pivot turns about `c`, the turns add up.
        const CGPoint pivot = rotated(item.pivot, c, cosA, sinA);
        item.offsetBy(pivot.x - item.pivot.x, pivot.y - item.pivot.y);
        item.rotation += angle;
        return item;
    }
    const CGRect r = item.rect;
    switch (item.kind) {
        case DisplayItem::Kind::fill:
        case DisplayItem::Kind::border:
        case DisplayItem::Kind::shadow: {
            const bool filled = item.kind != DisplayItem::Kind::border;
            item.points = {{r.minX(), r.minY()},
                           {r.maxX(), r.minY()},
                           {r.maxX(), r.maxY()},
                           {r.minX(), r.maxY()},
                           {r.minX(), r.minY()}};
            if (filled) item.fill = item.color, item.radius = 0;
            item.kind = DisplayItem::Kind::path;
            break;
        }
        case DisplayItem::Kind::path:
            break;
        default: {
            const CGPoint centre = rotated(r.center(), c, cosA, sinA);
            item.rect = {centre.x - r.width() / 2, centre.y - r.height() / 2, r.width(),
                         r.height()};
            return item;
        }
    }
    for (auto& p : item.points)
        p = rotated(p, c, cosA, sinA);
    UIBezierPath outline;
    for (const auto& p : item.points)
        outline.addLineTo(p);
    item.rect = outline.bounds();
    return item;
}

}  // namespace

void CALayer::render(CGContext& ctx) const {
    const CGFloat angle = presentationRotation();
    if (angle == 0 || !std::isfinite(angle)) {
        renderUnrotated(ctx);
        return;
    }
    CGContext turned;
    turned.translate(ctx.origin().x, ctx.origin().y);
    turned.setTextStyle(ctx.textStyle());
    renderUnrotated(turned);
    const CGPoint centre{ctx.origin().x + frame.width() / 2, ctx.origin().y + frame.height() / 2};
    for (auto& item : turned.takeItems())
        ctx.add(rotatedItem(std::move(item), centre, angle));
}

void CALayer::renderUnrotated(CGContext& ctx) const {
    if (isHidden || presentationValue("opacity", opacity) <= 0) return;
    CGRect local{0, 0, frame.width(), frame.height()};
    if (shadowColor && shadowOpacity > 0) {
        ctx.shadow(local.offsetBy(shadowOffset.width, shadowOffset.height),
                   shadowColor->withAlphaComponent(shadowOpacity), shadowRadius);
    }
    if (backgroundColor && backgroundColor->resolved().a > 0) {
        ctx.fill(local, *backgroundColor, cornerRadius);
    }
    if (contents) ctx.drawImage(*contents, local);
    drawInContext(ctx);
    if (drawDelegate) drawDelegate(ctx);
    // Sublayers that belong to no view of their own draw their texts in this layer's style.
    const TextStyle style = ctx.textStyle();
    for (const auto& layer : sublayers_) {
        CGFloat dx = layer->frame.minX() - boundsOrigin.x,
                dy = layer->frame.minY() - boundsOrigin.y;
        ctx.translate(dx, dy);
        layer->render(ctx);
        ctx.translate(-dx, -dy);
        ctx.setTextStyle(style);
    }
    if (borderWidth > 0 && borderColor) ctx.stroke(local, *borderColor, borderWidth, cornerRadius);
}

void CALayer::drawInContext(CGContext&) const {}

void CAShapeLayer::drawInContext(CGContext& ctx) const {
    if (!path) return;
    UIBezierPath p = *path;
    p.lineWidth = lineWidth;
    p.lineJoinStyle = lineJoin;
    const double shown = presentationValue("strokeEnd", strokeEnd);
    if (shown < 1) {
        // Keep the drawn share of the points; enough for a model of a stroke animation.
        std::size_t keep =
            static_cast<std::size_t>(std::ceil(p.elements.size() * std::max(0.0, shown)));
        p.elements.resize(std::min(keep, p.elements.size()));
    }
    ctx.drawPath(p, strokeColor, fillColor);
}

UIImage::UIImage(std::string name, CGSize size, CGFloat scale)
    : name_(std::move(name)), size_(size), scale_(scale) {}

std::shared_ptr<UIImage> UIImage::named(const std::string& name) {
    if (name.empty()) return nullptr;
    return std::make_shared<UIImage>(name, CGSize{24, 24});
}

std::shared_ptr<UIImage> UIImage::withRenderingMode(RenderingMode mode) const {
    auto copy = std::make_shared<UIImage>(*this);
    copy->mode_ = mode;
    return copy;
}

std::shared_ptr<UIImage> UIGraphicsImageRenderer::image(
    const std::function<void(CGContext&)>& actions) const {
    if (size_.width <= 0 || size_.height <= 0) return nullptr;
    CGContext ctx;
    if (actions) actions(ctx);
    auto image = std::make_shared<UIImage>("", size_, scale_);
    image->setDisplayList(ctx.takeItems());
    return image;
}

}  // namespace platform
