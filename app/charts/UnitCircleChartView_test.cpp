#include "app/charts/UnitCircleChartView.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <tuple>

#include "app/charts/ChartTableViewCell.h"
#include "app/services/QuroColor.h"
#include "platform/dispatch/SerialQueue.h"
#include "testkit/ManualClock.h"

namespace app {
namespace {

constexpr double kPi = std::numbers::pi;

class UnitCircleTest : public ::testing::Test {
  protected:
    std::shared_ptr<UnitCircleChartView> make(double alpha, double b, std::int64_t circles,
                                              Quadrant q) {
        auto view = std::make_shared<UnitCircleChartView>(platform::CGRect{0, 0, 360, 180});
        view->unitCircleChartData = std::make_shared<UnitCircleChartData>(alpha, b, 0, circles, q);
        return view;
    }
    void run(double seconds) {
        platform::runUntilIdle();
        clock_.advance(seconds);
        platform::runUntilIdle();
    }
    static std::size_t animationLayers(const UnitCircleChartView& v) {
        std::size_t n = 0;
        for (const auto& l : v.animationView->layer()->sublayers())
            n += l->name == "animation";
        return n;
    }
    testkit::ScopedManualClock clock_;
};

TEST_F(UnitCircleTest, PlaysEachCaseToItsFinalLabels) {
    struct Case {
        double alpha, b;
        std::int64_t circles;
        Quadrant quadrant;
        std::string alphaText, gammaText, circlesText, x, y;
        std::size_t arcs;
        int visibleQuadrant;
    } cases[] = {
        {45, kPi / 4, 0, Quadrant::first, "45°", "45°", "0", "0.71", "0.71", 1, 0},
        {120, 2 * kPi / 3, 0, Quadrant::second, "120°", "120°", "0", "-0.5", "0.87", 1, 1},
        {-450, -2.5 * kPi, 1, Quadrant::fourth, "-450°", "-90°", "-1", "0.0", "-1.0", 2, 3},
        {720 + 180, 5 * kPi, 2, Quadrant::third, "900°", "180°", "2", "-1.0", "0.0", 3, 2},
    };
    for (const auto& c : cases) {
        auto view = make(c.alpha, c.b, c.circles, c.quadrant);
        view->startAnimation();
        EXPECT_TRUE(view->isAnimationRunning);
        EXPECT_EQ(view->animateAgainButton->alpha(), 0.5);
        run(1.0 * static_cast<double>(c.arcs) + 0.01);
        for (std::size_t i = 0; i < c.arcs; ++i)
            run(1);
        EXPECT_FALSE(view->isAnimationRunning) << c.alphaText;
        EXPECT_EQ(view->alphaLabel->text(), c.alphaText);
        EXPECT_EQ(view->gammaLabel->text(), c.gammaText);
        EXPECT_EQ(view->fullCirclesLabel->text(), c.circlesText);
        EXPECT_EQ(view->pXLabel->text(), c.x);
        EXPECT_EQ(view->pYLabel->text(), c.y);
        EXPECT_EQ(animationLayers(*view), c.arcs + 2);  // arcs and two projection lines
        // The arcs keep the default joins; the two projection lines meet bevelled.
        std::vector<platform::CALineJoin> joins;
        for (const auto& l : view->animationView->layer()->sublayers()) {
            if (const auto shape = std::dynamic_pointer_cast<platform::CAShapeLayer>(l))
                joins.push_back(shape->lineJoin);
        }
        std::vector<platform::CALineJoin> expectedJoins(c.arcs, platform::CALineJoin::miter);
        expectedJoins.insert(expectedJoins.end(), 2, platform::CALineJoin::bevel);
        EXPECT_EQ(joins, expectedJoins) << c.alphaText;
        platform::UILabel* q[] = {view->q1Label.get(), view->q2Label.get(), view->q3Label.get(),
                                  view->q4Label.get()};
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(q[i]->alpha(), i == c.visibleQuadrant ? 1 : 0);
        EXPECT_EQ(view->animateAgainButton->alpha(), 1);
    }
}

TEST_F(UnitCircleTest, ReplayWhileRunningIsIgnoredAndReplayAfterwardsStartsAfresh) {
    auto view = make(90, kPi / 2, 0, Quadrant::first);
    view->startAnimation();
    view->startAnimation();
    run(0.5);
    EXPECT_EQ(animationLayers(*view), 1u);
    EXPECT_EQ(view->alphaLabel->text(), "45°");  // counting halfway
    run(1);
    EXPECT_EQ(animationLayers(*view), 3u);
    view->startAnimation();
    EXPECT_EQ(animationLayers(*view), 1u);  // the previous arcs and lines are gone
}

TEST_F(UnitCircleTest, ArcAndPointerMoveWithTheClock) {
    auto view = make(-450, -2.5 * kPi, 1, Quadrant::fourth);
    view->startAnimation();
    const auto& arrow = *view->arrowImageView->layer();
    auto arc = [&](std::size_t i) {
        return std::dynamic_pointer_cast<platform::CAShapeLayer>(
            view->animationView->layer()->sublayers().at(i));
    };
    run(0.5);
    // Halfway through the first (clockwise) round: half the arc, the pointer half a turn on.
    EXPECT_DOUBLE_EQ(arc(0)->presentationValue("strokeEnd", 1), 0.5);
    EXPECT_NEAR(arrow.presentationRotation(), kPi, 1e-12);
    ASSERT_NE(arc(0)->animationForKey("animateCircle"), nullptr);
    const auto& points = arc(0)->path->elements;
    EXPECT_NEAR(points[16].point.y, 90 + 0.375 * 180, 1e-9);  // a quarter on: straight down
    run(0.5);
    // The second round starts the pointer afresh for the last quarter turn.
    EXPECT_NEAR(arrow.presentationRotation(), 0, 1e-12);
    EXPECT_DOUBLE_EQ(arrow.animationForKey("rotationAnimation")->toValue.value(), kPi / 2);
    run(1);
    EXPECT_NEAR(arrow.presentationRotation(), kPi / 2, 1e-12);  // kept at the end
    EXPECT_FALSE(view->isAnimationRunning);
    EXPECT_NE(arc(2)->animationForKey("strokeEnd"), nullptr);  // the projection lines draw in
}

TEST_F(UnitCircleTest, ScreenshotModeAppliesEverythingAtOnce) {
    isTakingScreenshot = true;
    auto view = make(-45, -kPi / 4, 0, Quadrant::fourth);
    view->startAnimation();
    isTakingScreenshot = false;
    EXPECT_FALSE(view->isAnimationRunning);
    EXPECT_EQ(view->alphaLabel->text(), "-45°");
    EXPECT_EQ(view->pYLabel->text(), "-0.71");
    EXPECT_DOUBLE_EQ(view->arrowImageView->layer()->transform.rotationZ, kPi / 4);
    EXPECT_TRUE(view->arrowImageView->layer()->animationKeys().empty());
    EXPECT_EQ(animationLayers(*view), 3u);
}

TEST_F(UnitCircleTest, ArcHueGrowsUnclampedAndCoordinatesAreExactOnTheAxes) {
    auto view = make(6 * 360 + 90, 12.5 * kPi, 6, Quadrant::first);
    isTakingScreenshot = true;
    view->startAnimation();
    isTakingScreenshot = false;
    const auto& layers = view->animationView->layer()->sublayers();
    auto arc = [&](std::size_t i) {
        return *std::dynamic_pointer_cast<platform::CAShapeLayer>(layers.at(i))->strokeColor;
    };
    // Round r has hue 0.18 r and brightness 1 - 0.02 r; the colour initialiser carries a hue
    // past 1 round the wheel, so the seventh arc is a valid orange-red.
    EXPECT_EQ(arc(0).resolved(), platform::UIColor::hsb(0, 0.9, 1).resolved());
    EXPECT_EQ(arc(5).resolved(), platform::UIColor::hsb(0.18 * 5, 0.9, 1 - 0.02 * 5).resolved());
    EXPECT_EQ(arc(6), platform::UIColor::hsb(0.18 * 6, 0.9, 1 - 0.02 * 6));
    const auto seventh = arc(6).resolved();
    EXPECT_NEAR(seventh.r, 0.88, 1e-9);  // hue 0.08: red, some green, little blue
    EXPECT_NEAR(seventh.g, 0.88 * (1 - 0.9 * (1 - 0.48)), 1e-9);
    EXPECT_NEAR(seventh.b, 0.88 * (1 - 0.9), 1e-9);
    for (const auto& [deg, isY, want] :
         std::vector<std::tuple<double, bool, double>>{{90, false, 0},
                                                       {-270, false, 0},
                                                       {360, false, 1},
                                                       {-180, false, -1},
                                                       {180, true, 0},
                                                       {90, true, 1},
                                                       {-90, true, -1},
                                                       {30, true, 0.5}})
        EXPECT_EQ(unitCircleCoordinate(deg, isY), want) << deg;
}

// The card with its shadow holds the picture, the arcs' host and the pointer, all one square,
// and the replay button, which replays the chart that holds it.
TEST_F(UnitCircleTest, SetUpBuildsTheCardAroundThePictureAndTheReplayButton) {
    auto view = make(90, kPi / 2, 0, Quadrant::first);
    const auto& content = view->contentView;
    EXPECT_EQ(view->subviews(), (std::vector<std::shared_ptr<platform::UIView>>{content}));
    EXPECT_EQ(content->frame(), (platform::CGRect{0, 0, 360, 180}));
    EXPECT_EQ(content->layer()->shadowColor, QuroColor::shadow());
    EXPECT_EQ(content->layer()->shadowOffset, (platform::CGSize{0, 1.5}));
    for (const auto* part :
         {static_cast<platform::UIView*>(view->circleImageView.get()), view->animationView.get(),
          static_cast<platform::UIView*>(view->arrowImageView.get())})
        EXPECT_EQ(part->frame(), (platform::CGRect{0, 0, 180, 180}));
    // The picture's circle is the one the arcs are drawn on: radius 0.375 x 180 about the centre.
    bool circle = false;
    for (const auto& item : view->circleImageView->image()->displayList())
        circle |= item.points.size() == 33 && std::fabs(item.rect.width() - 135) < 1e-9 &&
                  std::fabs(item.rect.center().x - 90) < 1e-9;
    EXPECT_TRUE(circle);
    EXPECT_EQ(view->animateAgainButton->layer()->shadowOpacity, 0.2);
    view->animateAgainButton->sendActions(platform::UIControlEvents::touchUpInside);
    EXPECT_TRUE(view->isAnimationRunning);
    platform::UIView stray;
    UnitCircleChartView::tappedAnimateAgain(stray);  // belongs to no chart: nothing
}

// The quadrant labels fade out over half a second as the animation starts and the quadrant's
// label fades in over a second at its end; during the image export both happen at once.
TEST_F(UnitCircleTest, QuadrantLabelsFadeOutAndInOnTheClock) {
    auto view = make(45, kPi / 4, 0, Quadrant::first);
    view->startAnimation();
    const std::pair<double, std::vector<double>> steps[] = {
        // seconds since the start: I, II, III, IV as shown
        {0, {1, 1, 1, 1}}, {0.25, {0.5, 0.5, 0.5, 0.5}}, {0.5, {0, 0, 0, 0}},
        {1, {0, 0, 0, 0}}, {1.5, {0.5, 0, 0, 0}},        {2, {1, 0, 0, 0}},
    };
    double at = 0;
    for (const auto& [seconds, shown] : steps) {
        run(seconds - at);
        at = seconds;
        EXPECT_EQ((std::vector{view->q1Label->presentedAlpha(), view->q2Label->presentedAlpha(),
                               view->q3Label->presentedAlpha(), view->q4Label->presentedAlpha()}),
                  shown)
            << seconds;
    }
    isTakingScreenshot = true;
    view->startAnimation();
    isTakingScreenshot = false;
    EXPECT_EQ(view->q1Label->presentedAlpha(), 1);
    EXPECT_EQ(view->q2Label->presentedAlpha(), 0);
}

TEST_F(UnitCircleTest, ChartCellStartsOnlyAUnitCircleRow) {
    platform::UIView parent(platform::CGRect{0, 0, 400, 800});
    ChartTableViewCell cell;
    cell.configure({std::make_shared<UnitCircleChartData>(30, kPi / 6, 0, 0, Quadrant::first)},
                   parent);
    auto view = std::dynamic_pointer_cast<UnitCircleChartView>(cell.contentView()->subviews()[0]);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->frame(), (platform::CGRect{20, 10, 360, 180}));
    cell.startChartAnimation();
    EXPECT_TRUE(view->isAnimationRunning);
    auto line = std::make_shared<LineChartData>(2);
    cell.configure({line}, parent);
    cell.startChartAnimation();  // nothing to start; must not crash
    EXPECT_EQ(cell.contentView()->subviews().size(), 1u);
}

}  // namespace
}  // namespace app
