#pragma once
// Layers and drawing. A model, not pixels: rendering a layer tree records what would be drawn
// (fills with their radii, borders, shadows, texts, LaTeX, images, paths) as a display list in
// window coordinates, which image export and tests read back.
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/CAAnimation.h"
#include "platform/ui/UIColor.h"

namespace platform {

class UIImage;

// How the segments of a stroked path meet.
enum class CALineJoin { miter, round, bevel };

struct UIBezierPath {
    enum class Op { move, line, close };
    struct Element {
        Op op;
        CGPoint point;
    };
    std::vector<Element> elements;
    CGFloat lineWidth = 1;
    CALineJoin lineJoinStyle = CALineJoin::miter;

    static UIBezierPath rect(CGRect r);
    static UIBezierPath roundedRect(CGRect r, CGFloat radius);
    // A polygon of 32 points on the ellipse inside `r`.
    static UIBezierPath ovalIn(CGRect r);
    void moveTo(CGPoint p) { elements.push_back({Op::move, p}); }
    void addLineTo(CGPoint p) { elements.push_back({Op::line, p}); }
    void close() { elements.push_back({Op::close, {}}); }
    // An arc about `center` from `startAngle` to `endAngle` (radians; positive angles turn
    // clockwise on screen, where y grows downwards), as line segments of at most 1/64 turn. It
    // joins the current point with a line, or starts the path. An end on the other side of the
    // start than `clockwise` says wraps round; a sweep of more than one turn draws one turn.
    void addArc(CGPoint center, CGFloat radius, CGFloat startAngle, CGFloat endAngle,
                bool clockwise);
    static UIBezierPath arc(CGPoint center, CGFloat radius, CGFloat startAngle, CGFloat endAngle,
                            bool clockwise);
    CGRect bounds() const;
};

// How a text is set: its font, its alignment in its box, and whether it wraps at the box's width
// (one line otherwise). A formula is set at the font's size.
struct TextStyle {
    UIFont font = UIFont::systemFont(17);
    NSTextAlignment alignment = NSTextAlignment::left;
    bool wraps = false;
    bool operator==(const TextStyle&) const = default;
};

struct DisplayItem {
    enum class Kind { fill, border, shadow, text, latex, image, path };
    Kind kind = Kind::fill;
    CGRect rect;  // window (or image) coordinates
    RGBA color;
    CGFloat radius = 0;                       // corner radius, border or line width, shadow radius
    std::string text;                         // text, LaTeX source or image name
    std::optional<RGBA> fill;                 // paths
    std::vector<CGPoint> points;              // paths, absolute
    CALineJoin lineJoin = CALineJoin::miter;  // paths
    // A drawing made under a turned context: the item is shown turned by `rotation` radians
    // (clockwise on screen) about `pivot`; `rect` and `points` are where it lies unturned.
    CGFloat rotation = 0;
    CGPoint pivot{};
    TextStyle style{};  // texts and LaTeX: the style of the context they were drawn in
    bool operator==(const DisplayItem&) const = default;
    // Moves the item with everything it is placed by.
    void offsetBy(CGFloat dx, CGFloat dy);
};

// Records drawing; coordinates given to it are relative to the current transform: an origin
// and a turn, changed by translate() and rotate() and kept with the text style by saveGState()
// until restoreGState(). Texts and LaTeX are recorded with the current text style. Drawing a
// rendered image copies its display list to where the image goes.
class CGContext {
  public:
    // Moves the origin by (dx, dy) along the current (possibly turned) axes.
    void translate(CGFloat dx, CGFloat dy);
    // Turns the axes about the current origin by `angle` radians, clockwise on screen.
    void rotate(CGFloat angle);
    // Pushes the current transform; restoreGState() pops it (an unbalanced restore does
    // nothing).
    void saveGState() { saved_.push_back({origin_, rotation_, style_}); }
    void restoreGState();
    CGPoint origin() const { return origin_; }
    CGFloat rotation() const { return rotation_; }
    const TextStyle& textStyle() const { return style_; }
    void setTextStyle(TextStyle style) { style_ = std::move(style); }
    void fill(CGRect rect, const UIColor& color, CGFloat radius = 0);
    void stroke(CGRect rect, const UIColor& color, CGFloat width, CGFloat radius = 0);
    void shadow(CGRect rect, const UIColor& color, CGFloat radius);
    void drawText(const std::string& text, CGRect rect, const UIColor& color);
    void drawLatex(const std::string& latex, CGRect rect, const UIColor& color);
    void drawImage(const UIImage& image, CGRect rect);
    void drawPath(const UIBezierPath& path, std::optional<UIColor> stroke,
                  std::optional<UIColor> fill);
    const std::vector<DisplayItem>& items() const { return items_; }
    std::vector<DisplayItem> takeItems() { return std::move(items_); }
    // Appends an item already in window coordinates.
    void add(DisplayItem item) { items_.push_back(std::move(item)); }

  private:
    struct State {
        CGPoint origin;
        CGFloat rotation;
        TextStyle style;
    };
    CGRect abs(CGRect r) const { return r.offsetBy(origin_.x, origin_.y); }
    // Records an item placed at the current origin, with the current turn.
    void record(DisplayItem item);
    CGPoint origin_;
    CGFloat rotation_ = 0;
    TextStyle style_;
    std::vector<State> saved_;
    std::vector<DisplayItem> items_;
};

// A layer's transform: a rotation about the z axis (radians, clockwise on screen), about the
// layer's centre.
struct CATransform3D {
    CGFloat rotationZ = 0;
    bool operator==(const CATransform3D&) const = default;
};
inline constexpr CATransform3D CATransform3DIdentity{};
// Rotations about the x or y axis have no place in a flat model and give the identity.
CATransform3D CATransform3DMakeRotation(CGFloat angle, CGFloat x, CGFloat y, CGFloat z);

// GoogleTest's printers for failure messages (ValuePrinters.cpp).
void PrintTo(CALineJoin join, std::ostream* os);
void PrintTo(const TextStyle& style, std::ostream* os);
void PrintTo(DisplayItem::Kind kind, std::ostream* os);
void PrintTo(const DisplayItem& item, std::ostream* os);
void PrintTo(const CATransform3D& transform, std::ostream* os);

class CALayer : public std::enable_shared_from_this<CALayer> {
  public:
    virtual ~CALayer() = default;

    CGRect frame;
    CGPoint boundsOrigin;  // scroll offset of a scrolling view's layer
    std::optional<UIColor> backgroundColor;
    CGFloat cornerRadius = 0;
    CGFloat borderWidth = 0;
    std::optional<UIColor> borderColor;
    std::optional<UIColor> shadowColor;
    CGFloat shadowOpacity = 0;
    CGFloat shadowRadius = 3;
    CGSize shadowOffset{0, -3};
    bool masksToBounds = false;
    CGFloat opacity = 1;
    bool isHidden = false;
    std::string name;
    std::shared_ptr<UIImage> contents;
    CATransform3D transform;
    // Set by a view on its own layer: draws the view's content (UIView::draw).
    std::function<void(CGContext&)> drawDelegate;

    CGRect bounds() const {
        return {boundsOrigin.x, boundsOrigin.y, frame.width(), frame.height()};
    }
    void addSublayer(std::shared_ptr<CALayer> layer);
    void insertSublayer(std::shared_ptr<CALayer> layer, std::size_t index);
    void removeFromSuperlayer();
    const std::vector<std::shared_ptr<CALayer>>& sublayers() const { return sublayers_; }
    std::shared_ptr<CALayer> superlayer() const { return superlayer_.lock(); }
    // Records this layer and its sublayers into `ctx`, in the layer's own coordinates (its
    // position in its superlayer plays no part; a scrolled layer shows its visible region).
    void render(CGContext& ctx) const;

    // Animations by key; adding under a used key replaces the animation. The animation starts
    // at the clock's uptime now.
    void add(CABasicAnimation animation, const std::string& key);
    const CABasicAnimation* animationForKey(const std::string& key) const;
    std::vector<std::string> animationKeys() const;
    void removeAnimationForKey(const std::string& key);
    void removeAllAnimations() { animations_.clear(); }
    // The value of `keyPath` as shown now: the model value unless an animation applies.
    double presentationValue(const std::string& keyPath, double modelValue) const;
    // The rotation shown now ("transform.rotation.z", or "transform.rotation").
    CGFloat presentationRotation() const;

  protected:
    virtual void drawInContext(CGContext& ctx) const;

  private:
    void renderUnrotated(CGContext& ctx) const;
    std::vector<std::shared_ptr<CALayer>> sublayers_;
    std::vector<std::pair<std::string, CABasicAnimation>> animations_;
    std::weak_ptr<CALayer> superlayer_;
};

class CAShapeLayer : public CALayer {
  public:
    std::optional<UIBezierPath> path;
    std::optional<UIColor> strokeColor;
    std::optional<UIColor> fillColor;
    CGFloat lineWidth = 1;
    CALineJoin lineJoin = CALineJoin::miter;
    CGFloat strokeEnd = 1;

  protected:
    void drawInContext(CGContext& ctx) const override;
};

class UIImage {
  public:
    enum class RenderingMode { automatic, alwaysOriginal, alwaysTemplate };
    UIImage(std::string name, CGSize size, CGFloat scale = 3);
    // An image resource by name (24 x 24 points); null for the empty name.
    static std::shared_ptr<UIImage> named(const std::string& name);
    const std::string& name() const { return name_; }
    CGSize size() const { return size_; }
    CGFloat scale() const { return scale_; }
    RenderingMode renderingMode() const { return mode_; }
    std::shared_ptr<UIImage> withRenderingMode(RenderingMode mode) const;
    // What a rendered image shows (empty for a resource image).
    const std::vector<DisplayItem>& displayList() const { return displayList_; }
    void setDisplayList(std::vector<DisplayItem> items) { displayList_ = std::move(items); }

  private:
    std::string name_;
    CGSize size_;
    CGFloat scale_;
    RenderingMode mode_ = RenderingMode::automatic;
    std::vector<DisplayItem> displayList_;
};

class UIGraphicsImageRenderer {
  public:
    explicit UIGraphicsImageRenderer(CGSize size, CGFloat scale = 3) : size_(size), scale_(scale) {}
    // Null for an empty size, as no drawing context can be made for it.
    std::shared_ptr<UIImage> image(const std::function<void(CGContext&)>& actions) const;

  private:
    CGSize size_;
    CGFloat scale_;
};

}  // namespace platform
