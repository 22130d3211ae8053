#include "platform/kits/MTMathUILabel.h"

namespace platform {

void MTMathUILabel::draw(CGContext& ctx, CGRect rect) const {
    if (!latex_.empty()) ctx.drawLatex(latex_, rect, textColor);
}

void MTMathUILabel::describe(ViewDescription& d) const {
    UIView::describe(d);
    d.latex = latex_;
    d.color = textColor;
}

}  // namespace platform
