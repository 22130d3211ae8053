#include "platform/ui/UILabel.h"

#include <algorithm>
#include <string_view>

#include "platform/foundation/Text.h"

namespace platform {

CGSize textSize(const std::string& text, const UIFont& font) {
    return {static_cast<CGFloat>(codePointCount(text)) * font.pointSize * 0.5,
            font.pointSize * 1.2};
}

namespace {

// Lines of `text` broken at blanks (a word longer than a line is cut) so that each holds at most
// `perLine` characters; a newline always breaks.
int wrappedLineCount(const std::string& text, std::size_t perLine) {
    int lines = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::size_t used = 0;
        int paragraphLines = 1;
        std::size_t wordStart = start;
        while (wordStart < end) {
            auto wordEnd = text.find(' ', wordStart);
            if (wordEnd == std::string::npos || wordEnd > end) wordEnd = end;
            std::size_t word =
                codePointCount(std::string_view(text).substr(wordStart, wordEnd - wordStart));
            std::size_t needed = used == 0 ? word : used + 1 + word;
            if (needed <= perLine) {
                used = needed;
            } else if (used == 0) {
                // A word wider than the line takes whole lines of its own.
                paragraphLines += static_cast<int>((word - 1) / perLine);
                used = (word - 1) % perLine + 1;
            } else {
                ++paragraphLines;
                used = word;
                if (used > perLine) {
                    paragraphLines += static_cast<int>((word - 1) / perLine);
                    used = (word - 1) % perLine + 1;
                }
            }
            wordStart = wordEnd + 1;
        }
        lines += paragraphLines;
        start = end + 1;
    }
    return lines;
}

}  // namespace

CGSize UILabel::sizeThatFits(CGSize size) const {
    const CGSize oneLine = textSize(text_, font);
    const CGFloat lineHeight = oneLine.height;
    if (numberOfLines == 1 || size.width <= 0) return oneLine;
    if (oneLine.width <= size.width && text_.find('\n') == std::string::npos) return oneLine;
    // Wrapping counts a tenth more per character than one line does, so that a browser face
    // wider than the model still fits in the lines counted here.
    const auto perLine =
        std::max<std::size_t>(1, static_cast<std::size_t>(size.width / (font.pointSize * 0.55)));
    int lines = wrappedLineCount(text_, perLine);
    if (numberOfLines > 0) lines = std::min(lines, numberOfLines);
    return {size.width, lines * lineHeight};
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
