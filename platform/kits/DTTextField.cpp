#include "platform/kits/DTTextField.h"

namespace platform {

DTTextField::DTTextField() {
    box_->cornerRadius = 4;
}

DTTextField::DTTextField(CGRect frame) : DTTextField() {
    setFrame(frame);
}

void DTTextField::setFrame(CGRect frame) {
    UITextField::setFrame(frame);
    box_->frame = {0, 0, frame.width(), frame.height()};
}

void DTTextField::draw(CGContext& ctx, CGRect rect) const {
    // The box lies under the text: it is drawn here, first, rather than as a sublayer (which
    // would draw over the content).
    if (box_->backgroundColor) ctx.fill(rect, *box_->backgroundColor, box_->cornerRadius);
    if (borderShown && borderColor) ctx.stroke(rect, *borderColor, 1, box_->cornerRadius);
    // The field being typed into has a ring of the tint around its border.
    if (isFirstResponder()) {
        ctx.stroke({rect.minX() - 2, rect.minY() - 2, rect.width() + 4, rect.height() + 4},
                   tintColor(), 2, box_->cornerRadius);
    }
    // The placeholder floats above the field once there is text, or a caret, in its place.
    if (floatingLabelShown && (!text().empty() || isFirstResponder()) && !placeholder.empty()) {
        CGRect label{rect.minX(), rect.minY() + floatingLabelOffsetY, rect.width(),
                     floatingLabelFont.pointSize * 1.2};
        ctx.drawText(placeholder, label,
                     isFirstResponder() ? floatPlaceholderActiveColor : floatPlaceholderColor);
    }
    UITextField::draw(ctx, rect);
}

void DTTextField::describe(ViewDescription& d) const {
    UITextField::describe(d);
    if (borderColor) d.mark = *borderColor;
}

}  // namespace platform
