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

}  // namespace
}  // namespace platform
