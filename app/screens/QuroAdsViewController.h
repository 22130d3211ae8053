#pragma once

// The house advertisement screen: one advertisement of another app of the product family, a
// discount button that opens its link and a close button. It counts its appearances over all
// launches and reports showing, closing and opening.

#include <memory>
#include <optional>

#include "app/services/RemoteConfigModels.h"
#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIViewController.h"

namespace app {

inline constexpr char kCountQuroAdsPresentedKey[] = "countQuroAdsPresented";

class QuroAdsViewController : public platform::UIViewController {
  public:
    std::shared_ptr<platform::UIButton> closeButton;
    std::shared_ptr<platform::UIImageView> adImageView;
    std::shared_ptr<platform::UIButton> discountButton;
    std::optional<QuroAdData> currentAd;

    void loadView() override;
    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;
    void tappedCloseButton();
    void tappedDiscountButton();

  private:
    void log(const char* event) const;
};

}  // namespace app
