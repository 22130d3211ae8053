#include <gtest/gtest.h>

#include "platform/dispatch/SerialQueue.h"
#include "platform/ui/CALayer.h"
#include "platform/ui/ScreenDump.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UITestSupport.h"

namespace platform {
namespace {

class ViewAnimationTest : public testing::UITest {
  protected:
    void advance(double seconds) {
        runUntilIdle();
        clock_.advance(seconds);
        runUntilIdle();
    }
};

// An alpha set in an animation block is the model value at once and shows as a fade on the
// clock; the dump and the layer rendering read what shows.
TEST_F(ViewAnimationTest, AlphaFadesOnTheClockInsideAnAnimationBlock) {
    struct Case {
        const char* name;
        double from, to, duration;
        unsigned options;
        std::vector<std::pair<double, double>> shown;  // seconds since the start, alpha shown
    } cases[] = {
        {"eased fade in",
         0,
         1,
         1,
         UIViewAnimationOptions::none,
         {{0, 0}, {0.25, 0.15625}, {0.5, 0.5}, {1, 1}, {5, 1}}},
        {"linear fade out",
         1,
         0,
         0.5,
         UIViewAnimationOptions::curveLinear,
         {{0, 1}, {0.125, 0.75}, {0.25, 0.5}, {0.5, 0}}},
        {"no duration", 1, 0, 0, UIViewAnimationOptions::none, {{0, 0}}},
        {"no change", 1, 1, 1, UIViewAnimationOptions::none, {{0, 1}, {0.5, 1}, {1, 1}}},
    };
    for (const auto& c : cases) {
        UILabel label(CGRect{0, 0, 10, 10});
        label.setAlpha(c.from);
        bool done = false;
        UIView::animate(
            c.duration, 0, c.options, [&] { label.setAlpha(c.to); }, [&](bool) { done = true; });
        EXPECT_EQ(label.alpha(), c.to) << c.name;
        double at = 0;
        for (const auto& [seconds, alpha] : c.shown) {
            advance(seconds - at);
            at = seconds;
            EXPECT_DOUBLE_EQ(label.presentedAlpha(), alpha) << c.name << " at " << seconds;
        }
        EXPECT_TRUE(done) << c.name;
    }
}

TEST_F(ViewAnimationTest, DumpAndRenderingShowTheFadeAndAPlainSetEndsIt) {
    auto label = std::make_shared<UILabel>(CGRect{0, 0, 40, 20});
    label->setText("IV");
    label->setAlpha(0);
    UIView::animate(1, [&] { label->setAlpha(1); });
    EXPECT_EQ(dumpLine(*label), "UILabel 0,0,40,20 text=\"IV\" alpha=0 color=#000000");
    CGContext hidden;
    label->layer()->render(hidden);
    EXPECT_TRUE(hidden.items().empty());
    advance(0.5);
    EXPECT_EQ(dumpLine(*label), "UILabel 0,0,40,20 text=\"IV\" alpha=0.5 color=#000000");
    CGContext showing;
    label->layer()->render(showing);
    EXPECT_FALSE(showing.items().empty());
    // A fade starts from what shows: half way in, a fade out over 0.5 s starts at 0.5.
    UIView::animate(0.5, 0, UIViewAnimationOptions::curveLinear, [&] { label->setAlpha(0); });
    advance(0.25);
    EXPECT_DOUBLE_EQ(label->presentedAlpha(), 0.25);
    label->setAlpha(0.8);  // outside a block: at once
    EXPECT_EQ(label->presentedAlpha(), 0.8);
    EXPECT_EQ(label->layer()->animationForKey("opacity"), nullptr);
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
    ASSERT_EQ(ctx.items().size(), 1u);
    EXPECT_EQ(ctx.items()[0].points,
              (std::vector<CGPoint>{{1, 11}, {6, 1}, {11, 11}, {1, 11}, {21, 1}, {31, 1}}));
}

}  // namespace
}  // namespace platform
