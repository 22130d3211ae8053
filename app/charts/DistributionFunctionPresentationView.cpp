#include "app/charts/DistributionFunctionPresentationView.h"

#include "app/core/QuroStringOutput.h"

namespace app {

DistributionFunctionPresentationView::DistributionFunctionPresentationView(platform::CGRect frame,
                                                                           double value)
    : platform::UIView(frame) {
    const double w = frame.width(), h = frame.height(), line = h / 3;
    auto add = [&](platform::CGRect r, std::string latex) {
        auto label = std::make_shared<platform::MTMathUILabel>(r);
        label->setLatex(std::move(latex));
        addSubview(label);
        return label;
    };
    labelLeft = add({0, line, 0.25 * w, line}, "F(X) = ");
    labelMid = add({0.25 * w, 0, 0.1 * w, h}, "\\{");
    labelMid->fontSize = 46;
    const std::string middle =
        QuroStringOutput::latexNumber(value, "", {}, "", 10, true, false) + ";";
    label1 = add({0.35 * w, 0, 0.25 * w, line}, "0;");
    label2 = add({0.35 * w, line, 0.25 * w, line}, middle);
    label3 = add({0.35 * w, 2 * line, 0.25 * w, line}, "1;");
    label4 = add({0.6 * w, 0, 0.4 * w, line}, "\\quad x<0");
    label5 = add({0.6 * w, line, 0.4 * w, line}, "\\quad 0 \\le x < 1");
    label6 = add({0.6 * w, 2 * line, 0.4 * w, line}, "\\quad 1 \\le x");
}

}  // namespace app
