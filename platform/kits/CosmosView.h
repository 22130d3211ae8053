#pragma once
// The star-rating kit: a row of stars, each a sublayer of the view's layer; a tap sets the rating
// to the full stars up to the touched one.
#include <functional>

#include "platform/ui/UIView.h"

namespace platform {

struct CosmosSettings {
    int totalStars = 5;
    CGFloat starSize = 30;
    CGFloat starMargin = 5;
    UIColor filledColor = UIColor::systemOrange();
    UIColor emptyBorderColor = UIColor::systemOrange();
    double minTouchRating = 1;
};

class CosmosView : public UIView {
  public:
    CosmosView();
    explicit CosmosView(CGRect frame);
    double rating() const { return rating_; }
    void setRating(double rating);
    CosmosSettings settings;
    // Runs after a tap changed the rating.
    std::function<void(double)> didFinishTouchingCosmos;
    // Rebuilds the star sublayers (one per star) from the settings and the rating.
    void update();
    bool handleTap(CGPoint p) override;
    void describe(ViewDescription& d) const override;

  private:
    double rating_ = 0;
};

}  // namespace platform
