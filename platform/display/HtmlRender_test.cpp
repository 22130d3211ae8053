#include "platform/display/HtmlRender.h"

#include <gtest/gtest.h>

#include <numbers>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/ui/UILabel.h"
#include "testkit/ManualClock.h"

namespace platform {
namespace {

// Draws a text slanted about a pivot, as the probability tree labels its leaves.
class Slanted : public UIView {
  public:
    using UIView::UIView;
    void draw(CGContext& ctx, CGRect) const override {
        ctx.saveGState();
        ctx.setTextStyle({UIFont::systemFont(12), NSTextAlignment::left, false});
        ctx.translate(20, 10);
        ctx.rotate(-std::numbers::pi / 4);
        ctx.drawText("25%   01", {-24, -7, 48, 14}, UIColor(1, 0, 0, 1));
        ctx.restoreGState();
    }
};

class PageRenderTest : public ::testing::Test {
  protected:
    PageRenderTest() { resetSharedInstances(); }
    ~PageRenderTest() override { resetSharedInstances(); }
    testkit::ScopedManualClock clock_;
};

TEST_F(PageRenderTest, TurnedTextsFadesTurnedViewsAndShadows) {
    UIView root(CGRect{0, 0, 100, 100});
    auto slanted = std::make_shared<Slanted>(CGRect{0, 0, 40, 20});
    root.addSubview(slanted);
    auto card = std::make_shared<UIView>(CGRect{0, 50, 40, 20});
    card->layer()->shadowColor = UIColor(0, 0, 0, 1);
    card->layer()->shadowOpacity = 0.5;
    card->layer()->shadowOffset = {0, 1.5};
    card->layer()->shadowRadius = 2;
    card->layer()->transform = CATransform3DMakeRotation(-std::numbers::pi / 2, 0, 0, 1);
    root.addSubview(card);
    auto fading = std::make_shared<UILabel>(CGRect{50, 0, 20, 20});
    fading->setText("I");
    fading->setAlpha(0);
    root.addSubview(fading);
    UIView::animate(1, [&] { fading->setAlpha(1); });
    clock_.advance(0.5);
    runUntilIdle();

    const std::string html = renderHtml(root);
    const std::string expected[] = {
        // The slanted text keeps its font and turns about its pivot, uncut.
        "<div class=\"text\" style=\"position:absolute;left:-4px;top:3px;width:48px;height:14px;"
        "color:rgba(255,0,0,1);font:400 12px system-ui,sans-serif;text-align:left;"
        "white-space:pre;line-height:14px;overflow:visible;transform-origin:24px 7px;"
        "transform:rotate(-45deg);\">25%   01</div>",
        // The blur spans twice the layer's shadow radius; the turned layer turns its box.
        "box-shadow:0px 1.5px 4px rgba(0,0,0,0.5);transform:rotate(-90deg);\">",
        // Half way through its fade.
        "data-type=\"UILabel\" style=\"position:absolute;left:50px;top:0px;width:20px;"
        "height:20px;opacity:0.5;\">",
    };
    for (const auto& part : expected)
        EXPECT_NE(html.find(part), std::string::npos) << part << "\n" << html;
    EXPECT_EQ(html.find("<text"), std::string::npos);
}

TEST(SvgOfTexts, ClearFillsStayLinesAndCentredTextsAnchorInTheMiddle) {
    DisplayItem arc{
        DisplayItem::Kind::path, {0, 0, 10, 10}, {1, 0, 0, 1}, 5, {}, RGBA{0, 0, 0, 0}, {}};
    arc.points = {{0, 10}, {10, 0}};
    DisplayItem value{DisplayItem::Kind::text, {10, 20, 30, 14}, {0, 0, 0, 1}, 0, "1", {}, {}};
    value.style.alignment = NSTextAlignment::center;
    const std::string svg = svgOf({arc, value}, {40, 40});
    EXPECT_NE(svg.find("<polyline points=\"0,10 10,0\" fill=\"none\" stroke=\"rgba(255,0,0,1)\" "
                       "stroke-width=\"5\"/>"),
              std::string::npos)
        << svg;
    EXPECT_NE(svg.find("<text x=\"25\" y=\"34\" text-anchor=\"middle\" font-family=\"sans-serif\""),
              std::string::npos)
        << svg;
}

}  // namespace
}  // namespace platform
