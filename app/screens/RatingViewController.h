#pragma once

// The rating prompt: after the calculate screen has appeared often enough it asks for one to
// five stars. Four or more lead to the store's rating page; fewer are only thanked for. One
// shared instance, shown at most once per process. Main thread only.

#include <cstdint>
#include <memory>

#include "platform/kits/CosmosView.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIViewController.h"

namespace app {

inline constexpr char kCounterForRatingKey[] = "counterForRating";
inline constexpr char kIsRatingAlreadyDoneKey[] = "isRatingAlreadyDone";
inline constexpr std::int64_t kRatingCountdown = 5;
inline constexpr double kRatingForStore = 4.0;

class RatingViewController : public platform::UIViewController {
  public:
    static std::shared_ptr<RatingViewController> shared();

    // Counts one appearance of `caller` down and, when the countdown is over, presents the
    // prompt from it on the main queue.
    void showRatingIfNeeded(const std::shared_ptr<platform::UIViewController>& caller);
    // The stored countdown (stored as 5 when absent).
    std::int64_t counterForRating();

    void tappedCancelRatingButton();
    void tappedSendRatingButton();

    void loadView() override;
    void viewDidLoad() override;
    void viewDidLayoutSubviews() override;

    bool isShownInSession() const { return isShownInSession_; }
    std::shared_ptr<platform::UIView> ratingView;
    std::shared_ptr<platform::CosmosView> StarRatingView;
    std::shared_ptr<platform::UILabel> ratingLabel;
    std::shared_ptr<platform::UIButton> cancelRatingButton;
    std::shared_ptr<platform::UIButton> sendRatingButton;
    std::shared_ptr<platform::UIView> ratingBackgroundView;

  private:
    std::weak_ptr<RatingViewController> weakSelf() {
        return std::static_pointer_cast<RatingViewController>(shared_from_this());
    }
    void storeCounter(std::int64_t value);
    void resetCountdown() { storeCounter(kRatingCountdown); }
    void markDoneAndThank();

    bool isShownInSession_ = false;
    std::int64_t counterForRating_ = kRatingCountdown;
    // The screen that presented the prompt; the alerts that follow are shown on it. Held weakly:
    // that screen holds the prompt while presenting it.
    std::weak_ptr<platform::UIViewController> viewController_;
};

}  // namespace app
