#pragma once

// An angle on the unit circle, shown as an animation: one round per full turn plus the last
// partial turn, each one second on the clock. Every round adds a coloured arc and counts the
// degree, turn and coordinate labels; the end shows the quadrant label and the projections of
// the point onto the axes. While the result page exports its image, every step applies at once.

#include <memory>
#include <optional>
#include <string>

#include "app/core/ChartData.h"
#include "platform/kits/Material.h"
#include "platform/ui/UILabel.h"

namespace app {

// The coordinate shown for an angle in degrees (exact at the axes), rounded to 2 places.
double unitCircleCoordinate(double degrees, bool isY);

class UnitCircleChartView : public platform::UIView {
  public:
    explicit UnitCircleChartView(platform::CGRect frame);

    // The pointer turns with its view, which covers the circle so that it turns about its centre.
    std::shared_ptr<platform::UIView> animationView, arrowView;
    std::shared_ptr<platform::UILabel> q1Label, q2Label, q3Label, q4Label, alphaLabel, gammaLabel,
        fullCirclesLabel, pXLabel, pYLabel;
    std::shared_ptr<platform::FlatButton> animateAgainButton;
    std::shared_ptr<UnitCircleChartData> unitCircleChartData;
    bool isAnimationRunning = false;

    void startAnimation();

  private:
    void animateRound(std::int64_t round);
    void drawArc(std::int64_t round, double angle, double duration);
    void rotateArrow(std::int64_t fullCircles, std::int64_t round, double angle, double duration);
    void finishAnimation();
    void drawLine(platform::CGPoint from, platform::CGPoint to, const platform::UIColor& color);
    void countDegrees(platform::UILabel& label, double from, double to);
    void countCoordinate(platform::UILabel& label, bool isY, double angle);
};

}  // namespace app
