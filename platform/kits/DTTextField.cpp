#include "platform/kits/DTTextField.h"

namespace platform {

DTTextField::DTTextField() {
    layer()->insertSublayer(box_, 0);
}

DTTextField::DTTextField(CGRect frame) : DTTextField() {
    setFrame(frame);
}

void DTTextField::setFrame(CGRect frame) {
    UITextField::setFrame(frame);
    box_->frame = {0, 0, frame.width(), frame.height()};
    box_->cornerRadius = 4;
}

void DTTextField::draw(CGContext& ctx, CGRect rect) const {
    // The box layer is a sublayer and draws after this content in the layer tree, so the box,
    // the border and the text are recorded here in their visual order.
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
