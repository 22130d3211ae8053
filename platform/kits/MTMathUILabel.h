#pragma once
// The LaTeX label: draws one math string inside its bounds. The formula is recorded as it is
// given (the display list carries the source, which the page typesets); its size is that of the
// typeset formula (MathTypesetter). An empty string draws nothing.
#include <string>

#include "platform/kits/MathTypesetter.h"
#include "platform/ui/UIView.h"

namespace platform {

class MTMathUILabel : public UIView {
  public:
    using UIView::UIView;
    const std::string& latex() const { return latex_; }
    void setLatex(std::string latex) { latex_ = std::move(latex); }
    UIColor textColor = UIColor::black();
    CGFloat fontSize = 20;
    // The formula as the page sets it, at fontSize times kMathScale; typeset once per source
    // and size.
    const MathLayout& typeset() const;
    // The typeset formula's width (whole pixels, rounded up) and the height of its line, at
    // least the given height.
    CGSize sizeThatFits(CGSize size) const override;
    void draw(CGContext& ctx, CGRect rect) const override;
    // The formula is set at `fontSize`.
    TextStyle textStyle() const override { return {UIFont::systemFont(fontSize)}; }
    void describe(ViewDescription& d) const override;

  private:
    std::string latex_;
    mutable std::string typesetLatex_;
    mutable CGFloat typesetSize_ = -1;
    mutable MathLayout typeset_;
};

}  // namespace platform
