#pragma once
// The LaTeX label: draws one math string inside its bounds. The formula is recorded as it is
// given (the display list carries the source); an empty string draws nothing.
#include <string>

#include "platform/ui/UIView.h"

namespace platform {

class MTMathUILabel : public UIView {
  public:
    using UIView::UIView;
    const std::string& latex() const { return latex_; }
    void setLatex(std::string latex) { latex_ = std::move(latex); }
    UIColor textColor = UIColor::black();
    CGFloat fontSize = 20;
    // The formula's typeset size, estimated from its source on the generous side (the browser
    // typesets it): a container this wide shows the whole formula.
    CGSize sizeThatFits(CGSize size) const override;
    void draw(CGContext& ctx, CGRect rect) const override;
    // The formula is set at `fontSize`.
    TextStyle textStyle() const override { return {UIFont::systemFont(fontSize)}; }
    void describe(ViewDescription& d) const override;

  private:
    std::string latex_;
};

}  // namespace platform
