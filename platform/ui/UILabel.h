#pragma once
// Content views: labels, image views and the activity indicator.
#include <memory>
#include <string>

#include "platform/ui/UIView.h"

namespace platform {

// The size one line of `text` takes in `font`. A model of text metrics, the one label layout
// uses: half an em per character (code point), 1.2 em per line.
CGSize textSize(const std::string& text, const UIFont& font);

// A label lets touches through to what lies beneath it, as on the phone.
class UILabel : public UIView {
  public:
    UILabel() { isUserInteractionEnabled = false; }
    explicit UILabel(CGRect frame) : UIView(frame) { isUserInteractionEnabled = false; }
    const std::string& text() const { return text_; }
    virtual void setText(std::string text) { text_ = std::move(text); }
    UIColor textColor = UIColor::label();
    UIFont font = UIFont::systemFont(17);
    NSTextAlignment textAlignment = NSTextAlignment::natural;
    int numberOfLines = 1;
    bool adjustsFontSizeToFitWidth = false;
    CGFloat minimumScaleFactor = 0;
    // One line of the text; with more than one line allowed and a width given, the text wrapped
    // at blanks to that width (at most numberOfLines lines, when not 0).
    CGSize sizeThatFits(CGSize size) const override;
    void draw(CGContext& ctx, CGRect rect) const override;
    TextStyle textStyle() const override { return {font, textAlignment, numberOfLines != 1}; }
    void describe(ViewDescription& d) const override;

  private:
    std::string text_;
};

class UIImageView : public UIView {
  public:
    using UIView::UIView;
    explicit UIImageView(std::shared_ptr<UIImage> image);
    const std::shared_ptr<UIImage>& image() const { return image_; }
    void setImage(std::shared_ptr<UIImage> image) { image_ = std::move(image); }
    CGSize sizeThatFits(CGSize size) const override;
    void draw(CGContext& ctx, CGRect rect) const override;
    void describe(ViewDescription& d) const override;

  private:
    std::shared_ptr<UIImage> image_;
};

class UIActivityIndicatorView : public UIView {
  public:
    enum class Style { medium, large };
    explicit UIActivityIndicatorView(Style style = Style::medium);
    Style style() const { return style_; }
    std::optional<UIColor> color;
    bool hidesWhenStopped = true;
    bool isAnimating() const { return animating_; }
    void startAnimating();
    void stopAnimating();

  private:
    Style style_;
    bool animating_ = false;
};

}  // namespace platform
