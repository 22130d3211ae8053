#pragma once
// Controls: the target-action base, buttons and the segmented control.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/UIView.h"

namespace platform {

namespace UIControlEvents {
inline constexpr unsigned touchDown = 1 << 0, touchUpInside = 1 << 6, valueChanged = 1 << 12,
                          editingDidBegin = 1 << 16, editingChanged = 1 << 17,
                          editingDidEnd = 1 << 18;
}

class UIControl : public UIView {
  public:
    using UIView::UIView;
    bool isEnabled() const { return enabled_; }
    virtual void setEnabled(bool enabled) { enabled_ = enabled; }
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected) { selected_ = selected; }
    // The action runs with the control when one of `events` is sent. Capture the target weakly.
    void addTarget(unsigned events, std::function<void(UIControl&)> action);
    void removeAllTargets() { targets_.clear(); }
    void sendActions(unsigned events);
    // A tap on an enabled control sends touch-up-inside.
    bool handleTap(CGPoint p) override;
    void describe(ViewDescription& d) const override;

  private:
    struct Target {
        unsigned events;
        std::function<void(UIControl&)> action;
    };
    std::vector<Target> targets_;
    bool enabled_ = true;
    bool selected_ = false;
};

class UIButton : public UIControl {
  public:
    using UIControl::UIControl;
    static std::shared_ptr<UIButton> systemButton(const std::string& title);
    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    std::optional<UIColor> titleColor() const { return titleColor_; }
    void setTitleColor(std::optional<UIColor> color) { titleColor_ = color; }
    UIFont titleFont = UIFont::systemFont(15);
    const std::shared_ptr<UIImage>& image() const { return image_; }
    void setImage(std::shared_ptr<UIImage> image) { image_ = std::move(image); }
    UIEdgeInsets contentEdgeInsets;
    // The kind of action the button stands for in an alert or sheet ("cancel", "destructive");
    // empty for every other button.
    std::string role;
    void draw(CGContext& ctx, CGRect rect) const override;
    TextStyle textStyle() const override { return {titleFont, NSTextAlignment::center, false}; }
    void describe(ViewDescription& d) const override;

  private:
    std::string title_;
    std::optional<UIColor> titleColor_;
    std::shared_ptr<UIImage> image_;
};

// The segments are views (a segment holding an image view or a label), laid out side by side.
class UISegmentedControl : public UIControl {
  public:
    using UIControl::UIControl;
    static constexpr int noSegment = -1;
    int numberOfSegments() const { return static_cast<int>(segments_.size()); }
    void insertSegment(const std::string& title, int index);
    void insertSegment(std::shared_ptr<UIImage> image, int index);
    void removeAllSegments();
    std::string titleForSegment(int index) const;
    std::shared_ptr<UIImage> imageForSegment(int index) const;
    void setImage(std::shared_ptr<UIImage> image, int index);
    void setTitle(const std::string& title, int index);
    int selectedSegmentIndex() const { return selected_; }
    // Out-of-range indices select no segment. Does not send value-changed (as on the phone).
    void setSelectedSegmentIndex(int index);
    using UIControl::setEnabled;
    void setEnabled(bool enabled, int segment);
    bool isEnabledForSegment(int segment) const;
    CGRect segmentFrame(int index) const;
    void layoutSubviews() override;
    // The outline and dividers in the tint, the selected segment filled with it, faintly.
    void draw(CGContext& ctx, CGRect rect) const override;
    // A tap selects the segment under it and sends value-changed.
    bool handleTap(CGPoint p) override;
    void describe(ViewDescription& d) const override;

  private:
    struct Segment {
        std::shared_ptr<UIView> view;
        bool enabled = true;
    };
    void insert(std::shared_ptr<UIView> content, int index);
    std::vector<Segment> segments_;
    int selected_ = noSegment;
};

}  // namespace platform
