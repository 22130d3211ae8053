#include "platform/kits/MTMathUILabel.h"

#include <algorithm>
#include <cmath>

namespace platform {

const MathLayout& MTMathUILabel::typeset() const {
    if (typesetSize_ != fontSize || typesetLatex_ != latex_) {
        typeset_ = typesetMath(latex_, fontSize * kMathScale);
        typesetLatex_ = latex_;
        typesetSize_ = fontSize;
    }
    return typeset_;
}

CGSize MTMathUILabel::sizeThatFits(CGSize size) const {
    const MathLayout& layout = typeset();
    return {std::ceil(layout.width), std::max(size.height, std::ceil(layout.lineHeight()))};
}

void MTMathUILabel::draw(CGContext& ctx, CGRect rect) const {
    if (!latex_.empty()) ctx.drawLatex(latex_, rect, textColor);
}

void MTMathUILabel::describe(ViewDescription& d) const {
    UIView::describe(d);
    d.latex = latex_;
    d.color = textColor;
}

}  // namespace platform
