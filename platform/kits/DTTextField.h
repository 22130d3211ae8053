#pragma once
// The input field kit: a text field drawn on a box layer, with a floating placeholder label and
// a border whose colour marks the field (neutral, or an error colour).
#include <optional>

#include "platform/ui/UITextField.h"

namespace platform {

class DTTextField : public UITextField {
  public:
    DTTextField();
    explicit DTTextField(CGRect frame);
    // The box under the text; its background is the field's box colour. It is drawn as part of
    // the field's content, beneath the text.
    const std::shared_ptr<CALayer>& boxLayer() const { return box_; }

    // The appearance settings, in the order callers give them.
    UIColor floatPlaceholderColor = UIColor::systemGray();
    UIColor floatPlaceholderActiveColor = UIColor::systemBlue();
    bool floatingLabelShown = false;
    CGFloat floatingLabelOffsetY = 0;
    UIFont floatingLabelFont = UIFont::systemFont(12);
    bool borderShown = false;
    // The marking colour.
    std::optional<UIColor> borderColor;

    void setFrame(CGRect frame) override;
    void draw(CGContext& ctx, CGRect rect) const override;
    void describe(ViewDescription& d) const override;

  private:
    std::shared_ptr<CALayer> box_ = std::make_shared<CALayer>();
};

}  // namespace platform
