#include "platform/ui/CAAnimation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "platform/dispatch/SerialQueue.h"
#include "platform/ui/CALayer.h"
#include "platform/ui/UITestSupport.h"

namespace platform {
namespace {

using testing::UITest;

constexpr double kPi = std::numbers::pi;

class AnimationTest : public UITest {
  protected:
    void advance(double seconds) {
        runUntilIdle();
        clock_.advance(seconds);
        runUntilIdle();
    }
    static CABasicAnimation strokeEnd(double duration) {
        CABasicAnimation a("strokeEnd");
        a.fromValue = 0, a.toValue = 1, a.duration = duration;
        a.timingFunction = CAMediaTimingFunctionName::linear;
        return a;
    }
};

TEST_F(AnimationTest, ValuesFollowTheClockAndTheFillMode) {
    CAShapeLayer layer;
    auto kept = strokeEnd(2);
    kept.isRemovedOnCompletion = false, kept.fillMode = CAFillMode::forwards;
    auto removed = strokeEnd(2);
    removed.fromValue = 0.2, removed.toValue = 0.6;
    struct Step {
        double advance, kept, removed;
    } steps[] = {{0, 0, 0.2}, {0.5, 0.25, 0.3}, {1.5, 1, 0.5}, {5, 1, 0.5}};
    layer.strokeEnd = 0.5;  // the model value once the removed animation is over
    layer.add(kept, "kept");
    CALayer other;
    other.add(removed, "removed");
    for (const auto& s : steps) {
        advance(s.advance);
        EXPECT_DOUBLE_EQ(layer.presentationValue("strokeEnd", 0.5), s.kept);
        EXPECT_DOUBLE_EQ(other.presentationValue("strokeEnd", 0.5), s.removed);
    }
    // A key is kept once: adding under it again replaces the animation.
    layer.add(strokeEnd(1), "second");
    layer.add(strokeEnd(1), "kept");
    EXPECT_EQ(layer.animationKeys(), (std::vector<std::string>{"second", "kept"}));
}

TEST_F(AnimationTest, RepeatsEaseAndDegenerateDurations) {
    CABasicAnimation a("opacity");
    a.fromValue = 0, a.toValue = 10, a.duration = 1, a.repeatCount = 2;
    EXPECT_DOUBLE_EQ(*a.valueAt(0.25, 0), 1.5625);  // eased in
    a.timingFunction = CAMediaTimingFunctionName::linear, a.isCumulative = true;
    EXPECT_DOUBLE_EQ(*a.valueAt(1.5, 0), 15);
    EXPECT_FALSE(a.valueAt(2, 0));
    a.duration = std::nan(""), a.isRemovedOnCompletion = false, a.fillMode = CAFillMode::forwards;
    EXPECT_DOUBLE_EQ(*a.valueAt(0, 3), 10);
}

TEST_F(AnimationTest, TransactionCompletesAfterItsLongestAnimation) {
    CALayer layer;
    std::vector<std::string> done;
    CATransaction::begin();
    CATransaction::setCompletionBlock([&] { done.push_back("outer"); });
    layer.add(strokeEnd(1), "a");
    CATransaction::begin();
    CATransaction::setCompletionBlock([&] { done.push_back("inner"); });
    layer.add(strokeEnd(3), "b");
    CATransaction::commit();
    CATransaction::commit();
    CATransaction::commit();  // unbalanced: nothing
    CATransaction::begin();
    CATransaction::setCompletionBlock([&] { done.push_back("empty"); });
    CATransaction::commit();
    advance(0);
    EXPECT_EQ(done, std::vector<std::string>{"empty"});
    advance(2.9);
    EXPECT_EQ(done.size(), 1u);
    advance(0.1);
    EXPECT_EQ(done, (std::vector<std::string>{"empty", "inner", "outer"}));
}

TEST_F(AnimationTest, ArcsRunByDirectionAndWrap) {
    const CGPoint c{50, 50};
    struct Case {
        double start, end;
        bool clockwise;
        std::size_t points, at;  // the point at index `at` lies at `expected`
        CGPoint expected;
    } cases[] = {
        {0, kPi, true, 33, 16, {50, 60}},       // down first: clockwise on screen
        {0, -kPi, false, 33, 16, {50, 40}},     // up first
        {0, -kPi / 2, true, 49, 32, {40, 50}},  // wraps to three quarters
        {0, 10 * kPi, true, 65, 16, {50, 60}},  // at most one turn
    };
    for (const auto& k : cases) {
        const auto arc = UIBezierPath::arc(c, 10, k.start, k.end, k.clockwise);
        ASSERT_EQ(arc.elements.size(), k.points) << k.end;
        EXPECT_EQ(arc.elements.front().op, UIBezierPath::Op::move);
        const auto q = arc.elements[k.at].point;
        EXPECT_NEAR(q.x, k.expected.x, 1e-9) << k.end;
        EXPECT_NEAR(q.y, k.expected.y, 1e-9) << k.end;
    }
    EXPECT_TRUE(UIBezierPath::arc(c, 10, 0, std::nan(""), true).elements.empty());
}

TEST_F(AnimationTest, RotationTurnsTheDrawingAboutTheCentre) {
    CALayer layer;
    layer.frame = {0, 0, 20, 10};
    layer.backgroundColor = UIColor::systemRed();
    CABasicAnimation turn("transform.rotation.z");
    turn.toValue = kPi / 2, turn.duration = 1, turn.isRemovedOnCompletion = false;
    turn.fillMode = CAFillMode::forwards;
    layer.add(turn, "rotationAnimation");
    advance(1);
    CGContext ctx;
    layer.render(ctx);
    ASSERT_EQ(ctx.items().size(), 1u);
    const auto& item = ctx.items()[0];
    EXPECT_EQ(item.kind, DisplayItem::Kind::path);
    ASSERT_TRUE(item.fill);
    EXPECT_NEAR(item.rect.minX(), 5, 1e-9);
    EXPECT_NEAR(item.rect.height(), 20, 1e-9);
    // The model stays unrotated; the transform sets it directly.
    EXPECT_EQ(layer.transform, CATransform3DIdentity);
    EXPECT_EQ(CATransform3DMakeRotation(-1, 0, 0, 1).rotationZ, -1);
    EXPECT_EQ(CATransform3DMakeRotation(1, 1, 0, 0), CATransform3DIdentity);
}

TEST_F(AnimationTest, TurnedContextKeepsItsTurnBesideEachItem) {
    CGContext ctx;
    ctx.translate(10, 20);
    ctx.saveGState();
    ctx.translate(5, 0);
    ctx.rotate(-kPi / 2);
    ctx.translate(0, 4);  // along the turned axes: 4 to the right on screen
    ctx.drawText("t", {-1, -2, 2, 4}, UIColor(1, 0, 0, 1));
    UIBezierPath path;
    path.moveTo({0, 0});
    path.addLineTo({3, 0});
    ctx.drawPath(path, UIColor(1, 0, 0, 1), std::nullopt);
    ctx.restoreGState();
    ctx.restoreGState();  // unbalanced: nothing to restore
    ctx.drawText("u", {0, 0, 1, 1}, UIColor(1, 0, 0, 1));
    EXPECT_EQ(ctx.origin(), (CGPoint{10, 20}));
    EXPECT_EQ(ctx.rotation(), 0);

    const auto& items = ctx.items();
    ASSERT_EQ(items.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(items[i].pivot.x, 19, 1e-9) << i;
        EXPECT_NEAR(items[i].pivot.y, 20, 1e-9) << i;
        EXPECT_EQ(items[i].rotation, -kPi / 2) << i;
    }
    EXPECT_NEAR(items[0].rect.minX(), 18, 1e-9);
    EXPECT_NEAR(items[0].rect.minY(), 18, 1e-9);
    EXPECT_NEAR(items[1].points.at(1).x, 22, 1e-9);
    EXPECT_EQ(items[2].rect, (CGRect{10, 20, 1, 1}));
    EXPECT_EQ(items[2].rotation, 0);
    EXPECT_EQ(items[2].pivot, (CGPoint{}));

    // A turned drawing inside a turned layer: its pivot turns about the layer's centre and the
    // turns add up.
    CALayer layer;
    layer.frame = {0, 0, 20, 10};
    layer.transform = CATransform3DMakeRotation(kPi, 0, 0, 1);
    layer.drawDelegate = [](CGContext& c) {
        c.rotate(0.5);
        c.drawText("v", {0, 0, 2, 2}, UIColor(1, 0, 0, 1));
    };
    CGContext turned;
    layer.render(turned);
    ASSERT_EQ(turned.items().size(), 1u);
    const auto& v = turned.items()[0];
    EXPECT_NEAR(v.rotation, 0.5 + kPi, 1e-9);
    EXPECT_NEAR(v.pivot.x, 20, 1e-9);
    EXPECT_NEAR(v.pivot.y, 10, 1e-9);
    EXPECT_NEAR(v.rect.minX(), 20, 1e-9);
}

}  // namespace
}  // namespace platform
