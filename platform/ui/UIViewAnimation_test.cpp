#include <gtest/gtest.h>

#include "platform/dispatch/SerialQueue.h"
#include "platform/ui/CALayer.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UITestSupport.h"

namespace platform {
namespace {

class ViewAnimationTest : public testing::UITest {};

// An alpha set in an animation block is the model value at once and shows as a fade on the
// clock, from what showed; a set outside a block ends the fade.
TEST_F(ViewAnimationTest, AlphaFadesOnTheClockInsideAnAnimationBlock) {
    struct Case {
        double from, to, duration;
        unsigned options;
        std::vector<std::pair<double, double>> shown;  // seconds since the start, alpha shown
    } cases[] = {
        {0, 1, 1, UIViewAnimationOptions::none, {{0, 0}, {0.25, 0.15625}, {0.5, 0.5}, {1, 1}}},
        {1, 0, 0.5, UIViewAnimationOptions::curveLinear, {{0, 1}, {0.125, 0.75}, {0.5, 0}}},
        {1, 0, 0, UIViewAnimationOptions::none, {{0, 0}}},
    };
    for (const auto& c : cases) {
        UILabel label(CGRect{0, 0, 10, 10});
        label.setAlpha(c.from);
        UIView::animate(c.duration, 0, c.options, [&] { label.setAlpha(c.to); });
        EXPECT_EQ(label.alpha(), c.to);
        double at = 0;
        for (const auto& [seconds, alpha] : c.shown) {
            clock_.advance(seconds - at);
            at = seconds;
            EXPECT_DOUBLE_EQ(label.presentedAlpha(), alpha) << c.to << " at " << seconds;
        }
    }
    UILabel label(CGRect{0, 0, 10, 10});
    UIView::animate(1, [&] { label.setAlpha(0); });
    clock_.advance(0.5);
    UIView::animate(1, 0, UIViewAnimationOptions::curveLinear, [&] { label.setAlpha(1); });
    clock_.advance(0.5);
    EXPECT_DOUBLE_EQ(label.presentedAlpha(), 0.75);  // from the 0.5 that showed
    label.setAlpha(0.8);
    EXPECT_EQ(label.presentedAlpha(), 0.8);
}

TEST(ClosedPaths, StrokeTheirClosingEdge) {
    UIBezierPath path;
    path.moveTo({0, 10});
    path.addLineTo({5, 0});
    path.addLineTo({10, 10});
    path.close();
    path.moveTo({20, 0});
    path.addLineTo({30, 0});  // an open subpath stays open
    CGContext ctx;
    ctx.translate(1, 1);
    ctx.drawPath(path, UIColor::black(), std::nullopt);
    EXPECT_EQ(ctx.items().at(0).points,
              (std::vector<CGPoint>{{1, 11}, {6, 1}, {11, 11}, {1, 11}, {21, 1}, {31, 1}}));
}

}  // namespace
}  // namespace platform
