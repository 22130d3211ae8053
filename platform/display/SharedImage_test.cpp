#include "platform/display/SharedImage.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(SharedImageTest, FormulasReadAsPlainText) {
    const std::pair<std::string, std::string> cases[] = {
        {"\\log_{2}\\left(4\\cdot8\\right)", "log_2(4·8)"},
        {"\\frac{1}{v}\\cdot log_au", "1/v· log_au"},
        {"\\log_{2^{3}}\\left(4^{6}\\right) = \\infty", "log_2^3(4^6) = ∞"},
        {"\\sqrt[3]{8} = 2", "√[3]8 = 2"},
        {"\\;\\color{red}{x}\\pi", " xπ"},
        {"\\logx", "logx"},  // an unknown command reads as its name
    };
    for (const auto& [latex, text] : cases)
        EXPECT_EQ(readableMath(latex), text) << latex;
}

// The formulas go into boxes that the document's script typesets: the source travels in an
// attribute, the plain reading stands in the box, and no text element carries LaTeX.
TEST(SharedImageTest, FormulasAreTypesetInTheirBoxes) {
    UIGraphicsImageRenderer renderer({390, 100});
    const auto image = renderer.image([](CGContext& ctx) {
        ctx.fill({0, 0, 390, 100}, UIColor::white(1));
        ctx.drawText("Insert", {16, 8, 343, 20}, UIColor::black());
        ctx.drawLatex("\\frac{a}{b} < 1 & 2", {20, 36, 600, 64}, UIColor::black());
    });
    ASSERT_TRUE(image);
    const auto svg = sharedImageSvg(*image);
    EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
    EXPECT_NE(svg.find("<text x=\"16\" y=\"28\" font-family=\"sans-serif\" font-size=\"14\" "
                       "fill=\"rgba(0,0,0,1)\">Insert</text>"),
              std::string::npos);
    EXPECT_NE(svg.find("<foreignObject x=\"20\" y=\"36\" width=\"600\" height=\"64\" "
                       "overflow=\"visible\"><div xmlns=\"http://www.w3.org/1999/xhtml\" "
                       "class=\"tex\" data-tex=\"\\frac{a}{b} &lt; 1 &amp; 2\">a/b &lt; 1 &amp; "
                       "2</div></foreignObject>"),
              std::string::npos);
    EXPECT_EQ(svg.find("<text x=\"20\""), std::string::npos);
    EXPECT_NE(svg.find("<script href=\"/katex/katex.min.js\""), std::string::npos);
    EXPECT_NE(svg.find("width=\"390\" height=\"100\" viewBox=\"0 0 390 100\""), std::string::npos);
}

}  // namespace
}  // namespace platform
