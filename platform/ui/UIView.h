#pragma once
// Views and the responder chain. Views are shared_ptr; a superview owns its subviews, a subview
// sees its superview weakly. Frames are set by builders; autoresizing masks and containers that
// override layoutSubviews() move them; stored constraints are never solved.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui/CALayer.h"

namespace platform {

class UIView;
class UIWindow;

class UIResponder : public std::enable_shared_from_this<UIResponder> {
  public:
    virtual ~UIResponder() = default;
    virtual std::shared_ptr<UIResponder> nextResponder() const { return nullptr; }
    virtual bool canBecomeFirstResponder() const { return false; }
    virtual bool becomeFirstResponder();
    virtual bool resignFirstResponder();
    bool isFirstResponder() const;
    static std::shared_ptr<UIResponder> currentFirstResponder();
    // The dynamic class name without namespace ("CalculateViewController").
    std::string className() const;
    // Called by UINib and UIStoryboard once a builder has made the object and connected its
    // outlets.
    virtual void awakeFromNib() {}
    // Per-object storage for what a kit attaches to platform objects (a tab item, a depth).
    std::shared_ptr<void> associatedObject(const void* key) const;
    void setAssociatedObject(const void* key, std::shared_ptr<void> value);

    // Called by a controller's root view around its layout pass (viewWillLayoutSubviews).
    virtual void rootViewWillLayout() {}
    virtual void rootViewDidLayout() {}

  protected:
    // Called after this responder gained or lost first-responder status.
    virtual void firstResponderChanged(bool isFirst) { (void)isFirst; }

  private:
    std::map<const void*, std::shared_ptr<void>> associated_;
};

// What a view adds to its line of the screen dump; the dump prints the set fields in its fixed
// order. Views fill it in describe(), calling their base first.
struct ViewDescription {
    std::optional<std::string> text;
    std::optional<std::string> latex;
    std::optional<std::string> image;
    bool disabled = false;
    bool selected = false;
    std::optional<std::pair<std::size_t, std::size_t>> focus;  // selection in code points
    bool caretAtStart = false;  // the caret stands at the start of a focused selection
    std::optional<UIColor> mark;
    std::optional<UIColor> color;
    std::optional<std::pair<int, int>> segments;  // selected, count
    std::optional<std::vector<int>> rows;
    std::optional<CGFloat> offset;
    std::optional<CGFloat> offsetX;  // a scroll view moved sideways
    std::optional<CGFloat> zoom;     // a scroll view's zoom scale other than 1
    bool editing = false;
    std::optional<std::string> role;
};

enum class UIViewContentMode { scaleToFill, scaleAspectFit, scaleAspectFill, redraw, center };

namespace UIViewAutoresizing {
inline constexpr unsigned none = 0, flexibleLeftMargin = 1, flexibleWidth = 2,
                          flexibleRightMargin = 4, flexibleTopMargin = 8, flexibleHeight = 16,
                          flexibleBottomMargin = 32;
}

enum class NSLayoutAttribute {
    notAnAttribute,
    left,
    right,
    top,
    bottom,
    leading,
    trailing,
    width,
    height,
    centerX,
    centerY
};

enum class NSLayoutRelation { lessThanOrEqual = -1, equal = 0, greaterThanOrEqual = 1 };

// Stored and searchable; its constant is read back by the code that set it, never solved.
struct NSLayoutConstraint {
    std::weak_ptr<UIView> firstItem;
    NSLayoutAttribute firstAttribute = NSLayoutAttribute::notAnAttribute;
    NSLayoutRelation relation = NSLayoutRelation::equal;
    std::weak_ptr<UIView> secondItem;
    NSLayoutAttribute secondAttribute = NSLayoutAttribute::notAnAttribute;
    CGFloat multiplier = 1;
    CGFloat constant = 0;
    std::string identifier;
    bool isActive = false;

    static std::shared_ptr<NSLayoutConstraint> make(const std::shared_ptr<UIView>& first,
                                                    NSLayoutAttribute firstAttribute,
                                                    NSLayoutRelation relation,
                                                    const std::shared_ptr<UIView>& second,
                                                    NSLayoutAttribute secondAttribute,
                                                    CGFloat multiplier = 1, CGFloat constant = 0);
    // Installs each constraint on the nearest common ancestor of its items (the first item
    // alone: on it) and marks it active; items without a common ancestor are logged and skipped.
    static void activate(const std::vector<std::shared_ptr<NSLayoutConstraint>>& constraints);
    static void deactivate(const std::vector<std::shared_ptr<NSLayoutConstraint>>& constraints);
};

enum class UISwipeDirection { right, left, up, down };

// A gesture recognizer sees the taps or swipes that reach its view; the view handles nothing
// else of a gesture one of its enabled recognizers took.
class UIGestureRecognizer {
  public:
    virtual ~UIGestureRecognizer() = default;
    bool isEnabled = true;
    std::shared_ptr<UIView> view() const { return view_.lock(); }
    // Where the last recognized gesture fell, in the view's coordinates.
    CGPoint location() const { return location_; }

  protected:
    friend class UIView;
    virtual bool recognizeTap(CGPoint p) {
        (void)p;
        return false;
    }
    virtual bool recognizeSwipe(UISwipeDirection direction, CGPoint p) {
        (void)direction;
        (void)p;
        return false;
    }
    virtual bool recognizeDrag(CGPoint from, CGPoint to) {
        (void)from;
        (void)to;
        return false;
    }
    std::weak_ptr<UIView> view_;
    CGPoint location_;
};

class UITapGestureRecognizer : public UIGestureRecognizer {
  public:
    explicit UITapGestureRecognizer(std::function<void(UITapGestureRecognizer&)> action)
        : action_(std::move(action)) {}

  protected:
    bool recognizeTap(CGPoint p) override {
        location_ = p;
        if (action_) action_(*this);
        return true;
    }

  private:
    std::function<void(UITapGestureRecognizer&)> action_;
};

class UISwipeGestureRecognizer : public UIGestureRecognizer {
  public:
    UISwipeGestureRecognizer(UISwipeDirection direction,
                             std::function<void(UISwipeGestureRecognizer&)> action)
        : direction(direction), action_(std::move(action)) {}
    UISwipeDirection direction;

  protected:
    bool recognizeSwipe(UISwipeDirection d, CGPoint p) override {
        if (d != direction) return false;
        location_ = p;
        if (action_) action_(*this);
        return true;
    }

  private:
    std::function<void(UISwipeGestureRecognizer&)> action_;
};

// A drag across its view. Where it began is its location; how far it went, its translation.
class UIPanGestureRecognizer : public UIGestureRecognizer {
  public:
    explicit UIPanGestureRecognizer(std::function<void(UIPanGestureRecognizer&)> action)
        : action_(std::move(action)) {}
    CGPoint translation() const { return translation_; }
    // Asked with location and translation set whether the drag is this recognizer's (the
    // delegate's gestureRecognizerShouldBegin:); without it every drag is.
    std::function<bool(UIPanGestureRecognizer&)> shouldBegin;

  protected:
    bool recognizeDrag(CGPoint from, CGPoint to) override;
    // What the kind of recognizer asks of a drag before shouldBegin is asked.
    virtual bool accepts(CGPoint from, CGPoint to) const {
        (void)from;
        (void)to;
        return true;
    }

  private:
    std::function<void(UIPanGestureRecognizer&)> action_;
    CGPoint translation_;
};

enum class UIRectEdge { left, right };

// A drag that starts at an edge of the screen (the window) and moves mostly away from it.
class UIScreenEdgePanGestureRecognizer : public UIPanGestureRecognizer {
  public:
    using UIPanGestureRecognizer::UIPanGestureRecognizer;
    // How close to the edge, in points, a drag must start.
    static constexpr CGFloat kEdgeWidth = 24;
    UIRectEdge edges = UIRectEdge::left;

  protected:
    bool accepts(CGPoint from, CGPoint to) const override;
};

namespace UIViewAnimationOptions {
inline constexpr unsigned none = 0, curveEaseInOut = 0, curveEaseIn = 1 << 16,
                          curveEaseOut = 2 << 16, curveLinear = 3 << 16,
                          transitionCrossDissolve = 5 << 20;
}

class UIView : public UIResponder {
  public:
    UIView();
    explicit UIView(CGRect frame);
    ~UIView() override;
    UIView(const UIView&) = delete;
    UIView& operator=(const UIView&) = delete;

    template <typename T = UIView>
    std::shared_ptr<T> shared() {
        return std::dynamic_pointer_cast<T>(shared_from_this());
    }

    // Geometry. The frame is in the superview's coordinates; bounds() origin is the scroll
    // offset of a scrolling view, (0, 0) otherwise.
    CGRect frame() const { return layer_->frame; }
    virtual void setFrame(CGRect frame);
    CGRect bounds() const { return layer_->bounds(); }
    CGPoint center() const { return frame().center(); }
    void setCenter(CGPoint c);
    CGPoint convert(CGPoint p, const UIView* to) const;  // to == null: window coordinates
    CGRect convert(CGRect r, const UIView* to) const;

    // Hierarchy.
    std::shared_ptr<UIView> superview() const;
    const std::vector<std::shared_ptr<UIView>>& subviews() const { return subviews_; }
    void addSubview(std::shared_ptr<UIView> view);
    void insertSubview(std::shared_ptr<UIView> view, std::size_t index);
    void bringSubviewToFront(const std::shared_ptr<UIView>& view);
    void removeFromSuperview();
    bool isDescendant(const UIView* of) const;
    std::shared_ptr<UIView> viewWithTag(long tag);
    UIWindow* window() const;
    // Hooks for subclasses.
    virtual void didMoveToSuperview() {}
    virtual void didMoveToWindow() {}

    // Appearance.
    bool isHidden() const { return layer_->isHidden; }
    // Also asks the superview for layout (a stack view closes the gap).
    virtual void setHidden(bool hidden);
    // The model value: set at once, also inside an animation block.
    CGFloat alpha() const { return layer_->opacity; }
    // Inside UIView::animate() the change also fades on the clock from the alpha shown.
    void setAlpha(CGFloat alpha);
    // The alpha shown now: the model value, or where a fade has got to.
    CGFloat presentedAlpha() const;
    std::optional<UIColor> backgroundColor() const { return layer_->backgroundColor; }
    void setBackgroundColor(std::optional<UIColor> color) { layer_->backgroundColor = color; }
    // The tint, inherited from the nearest superview that has one (system blue at the top).
    UIColor tintColor() const;
    void setTintColor(std::optional<UIColor> color) { tintColor_ = color; }
    // A view whose layer's shape clips this view; it is not a subview and draws nothing.
    const std::shared_ptr<UIView>& maskView() const { return maskView_; }
    void setMaskView(std::shared_ptr<UIView> mask) { maskView_ = std::move(mask); }
    bool clipsToBounds() const { return layer_->masksToBounds; }
    void setClipsToBounds(bool clips) { layer_->masksToBounds = clips; }
    // Whether what lies outside the bounds is cut off: when clipping to them, and always for a
    // view that scrolls its content.
    virtual bool clipsContent() const { return clipsToBounds(); }
    const std::shared_ptr<CALayer>& layer() const { return layer_; }
    long tag = 0;
    std::string accessibilityIdentifier;
    bool isUserInteractionEnabled = true;
    UIViewContentMode contentMode = UIViewContentMode::scaleToFill;
    unsigned autoresizingMask = UIViewAutoresizing::none;
    bool translatesAutoresizingMaskIntoConstraints = true;

    // Layout.
    void setNeedsLayout() { needsLayout_ = true; }
    // Runs layoutSubviews() where marked, then in every subview.
    void layoutIfNeeded();
    virtual void layoutSubviews() {}
    virtual CGSize sizeThatFits(CGSize size) const { return size; }
    void sizeToFit();

    // Constraints: stored, searchable, never solved.
    const std::vector<std::shared_ptr<NSLayoutConstraint>>& constraints() const {
        return constraints_;
    }
    void addConstraint(std::shared_ptr<NSLayoutConstraint> c);
    void removeConstraint(const std::shared_ptr<NSLayoutConstraint>& c);

    // Drawing: the content of this view alone, in its own coordinates.
    virtual void draw(CGContext& ctx, CGRect rect) const {
        (void)ctx;
        (void)rect;
    }
    // How the texts this view draws are set; views that show text give their font and layout.
    virtual TextStyle textStyle() const { return {}; }
    // draw() over the bounds in this view's text style, which the context keeps for the layers
    // drawn after it that belong to no view.
    void drawContent(CGContext& ctx) const;
    void setNeedsDisplay() {}

    // Touches. hitTest() takes a point in this view's coordinates.
    virtual std::shared_ptr<UIView> hitTest(CGPoint p);
    virtual bool pointInside(CGPoint p) const { return bounds().contains(p); }
    // A tap (or swipe) that reached this view; true when handled. The driver offers it to the
    // hit view first, then up the superview chain.
    virtual bool handleTap(CGPoint p);
    virtual bool handleSwipe(UISwipeDirection direction, CGPoint p);
    // A drag from one point to another, both in this view's coordinates.
    virtual bool handleDrag(CGPoint from, CGPoint to) {
        (void)from;
        (void)to;
        return false;
    }
    // Offers a drag to this view's enabled recognizers; true when one took it. The driver asks
    // the recognizers up the chain before any view's own handleDrag(), as on the phone, where a
    // recognizer (a drawer's edge pan) wins over the dragging of the views beneath.
    bool recognizeDrag(CGPoint from, CGPoint to);
    void addGestureRecognizer(std::shared_ptr<UIGestureRecognizer> recognizer);
    const std::vector<std::shared_ptr<UIGestureRecognizer>>& gestureRecognizers() const {
        return recognizers_;
    }

    // The controller whose root view this is, if any.
    std::shared_ptr<UIResponder> owningViewController() const { return controller_.lock(); }
    void setOwningViewController(std::weak_ptr<UIResponder> controller) {
        controller_ = std::move(controller);
    }
    std::shared_ptr<UIResponder> nextResponder() const override;

    virtual void describe(ViewDescription& d) const { (void)d; }

    // Animation: the changes apply at once to the model; alpha changes also fade over
    // `duration` on the clock, starting at once (a delay only postpones the completion).
    // `completion` runs on the main queue after delay + duration of the clock.
    static void animate(double duration, double delay, unsigned options,
                        const std::function<void()>& animations,
                        std::function<void(bool)> completion = nullptr);
    static void animate(double duration, const std::function<void()>& animations,
                        std::function<void(bool)> completion = nullptr) {
        animate(duration, 0, 0, animations, std::move(completion));
    }
    static void transition(const std::shared_ptr<UIView>& view, double duration, unsigned options,
                           const std::function<void()>& animations,
                           std::function<void(bool)> completion = nullptr);
    static void performWithoutAnimation(const std::function<void()>& actions) {
        if (actions) actions();
    }

  protected:
    // For views backed by a layer of another class.
    UIView(CGRect frame, std::shared_ptr<CALayer> layer);
    void setBoundsOrigin(CGPoint origin) { layer_->boundsOrigin = origin; }
    // Called with the new and old sizes when the frame's size changed (before layoutSubviews()).
    void resizeSubviews(CGSize old);

  private:
    void notifyMovedToWindow();
    std::shared_ptr<CALayer> layer_ = std::make_shared<CALayer>();
    // Raw, so that a view may add subviews in its constructor; the superview clears it when it
    // lets the subview go or is destroyed.
    UIView* superview_ = nullptr;
    std::vector<std::shared_ptr<UIView>> subviews_;
    std::vector<std::shared_ptr<NSLayoutConstraint>> constraints_;
    std::vector<std::shared_ptr<UIGestureRecognizer>> recognizers_;
    std::optional<UIColor> tintColor_;
    std::shared_ptr<UIView> maskView_;
    std::weak_ptr<UIResponder> controller_;
    bool needsLayout_ = true;
};

// The shortest decimal text of a number ("19.5", "390", "-0.25"); -0 reads "0".
std::string formatNumber(CGFloat value);

}  // namespace platform
