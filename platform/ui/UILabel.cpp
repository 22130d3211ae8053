#include "platform/ui/UILabel.h"

#include "platform/foundation/Text.h"

namespace platform {

CGSize textSize(const std::string& text, const UIFont& font) {
    return {static_cast<CGFloat>(codePointCount(text)) * font.pointSize * 0.5,
            font.pointSize * 1.2};
}

CGSize UILabel::sizeThatFits(CGSize) const {
    return textSize(text_, font);
}

void UILabel::draw(CGContext& ctx, CGRect rect) const {
    if (!text_.empty()) ctx.drawText(text_, rect, textColor);
}

void UILabel::describe(ViewDescription& d) const {
    UIView::describe(d);
    d.text = text_;
    d.color = textColor;
}

UIImageView::UIImageView(std::shared_ptr<UIImage> image) : image_(std::move(image)) {
    if (image_) setFrame({0, 0, image_->size().width, image_->size().height});
}

CGSize UIImageView::sizeThatFits(CGSize size) const {
    return image_ ? image_->size() : size;
}

void UIImageView::draw(CGContext& ctx, CGRect rect) const {
    if (image_) ctx.drawImage(*image_, rect);
}

void UIImageView::describe(ViewDescription& d) const {
    UIView::describe(d);
    if (image_ && !image_->name().empty()) d.image = image_->name();
}

UIActivityIndicatorView::UIActivityIndicatorView(Style style) : style_(style) {
    CGFloat side = style == Style::large ? 37 : 20;
    setFrame({0, 0, side, side});
    setHidden(true);
}

void UIActivityIndicatorView::startAnimating() {
    animating_ = true;
    setHidden(false);
}

void UIActivityIndicatorView::stopAnimating() {
    animating_ = false;
    if (hidesWhenStopped) setHidden(true);
}

}  // namespace platform
