#pragma once

// The cumulative distribution function of a variable taking 0 and 1, typeset as a piecewise
// definition: "F(X) = ", a brace, and three values beside their conditions.

#include <memory>

#include "platform/kits/MTMathUILabel.h"

namespace app {

class DistributionFunctionPresentationView : public platform::UIView {
  public:
    DistributionFunctionPresentationView(platform::CGRect frame, double value);
    std::shared_ptr<platform::MTMathUILabel> labelLeft, labelMid, label1, label2, label3, label4,
        label5, label6;
};

}  // namespace app
