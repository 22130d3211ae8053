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
    if (floatingLabelShown && !text().empty() && !placeholder.empty()) {
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
