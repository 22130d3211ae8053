#pragma once

// An angle on the unit circle, shown as an animation: one round per full turn plus the last
// partial turn, each one second on the clock. Every round adds a coloured arc, turns the pointer
// and counts the degree, turn and coordinate labels; the end fades the quadrant label in and
// draws the projections of the point onto the axes. While the result page exports its image,
// every step applies at once.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/ChartData.h"
#include "platform/kits/Material.h"
#include "platform/ui/UILabel.h"

namespace app {

// The coordinate shown for an angle in degrees (exact at the axes), rounded to 2 places.
double unitCircleCoordinate(double degrees, bool isY);

class UnitCircleChartView : public platform::UIView {
  public:
    // Lays out its content view (the card, with the standard shadow): the circle picture on the
    // left with the arcs' layer host and the pointer over it, the quadrant labels about it, the
    // counting labels and the pink replay button on the right.
    explicit UnitCircleChartView(platform::CGRect frame);

    std::shared_ptr<platform::UIView> contentView;
    // The circle picture: its size gives the arcs' centre and radius. The arcs' host and the
    // pointer cover it exactly, so arcs, lines and the turning pointer meet the picture.
    std::shared_ptr<platform::UIImageView> circleImageView;
    std::shared_ptr<platform::UIView> animationView;
    std::shared_ptr<platform::UIImageView> arrowImageView;
    std::shared_ptr<platform::UILabel> q1Label, q2Label, q3Label, q4Label, alphaLabel, gammaLabel,
        fullCirclesLabel, pXLabel, pYLabel;
    std::vector<std::shared_ptr<platform::UILabel>> allLabels;
    std::shared_ptr<platform::FlatButton> animateAgainButton;
    std::shared_ptr<UnitCircleChartData> unitCircleChartData;
    bool isAnimationRunning = false;

    void startAnimation();
    // The replay button's action: replays the chart that holds the sender's container.
    static void tappedAnimateAgain(platform::UIView& sender);

  private:
    void setUpView();
    void animateRound(std::int64_t round);
    void drawArc(std::int64_t round, double angle, double duration);
    void rotateArrow(std::int64_t fullCircles, std::int64_t round, double angle, double duration);
    void finishAnimation();
    void showQuadrantLabel();
    void hideQuadrantLabels();
    void drawProjectionLines();
    void drawLine(platform::CGPoint from, platform::CGPoint to, const platform::UIColor& color);
    void countDegrees(platform::UILabel& label, double from, double to);
    void countCoordinate(platform::UILabel& label, bool isY, double angle);
};

}  // namespace app
