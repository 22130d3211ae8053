#pragma once

// The help screen: one explanatory image that the user can zoom, a title and a close button.

#include <memory>
#include <string>

#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIScrollView.h"
#include "platform/ui/UIViewController.h"

namespace app {

inline constexpr char kCloseManualButtonId[] = "closeManualButton";

class ManualViewController : public platform::UIViewController,
                             public platform::UIScrollViewDelegate {
  public:
    std::shared_ptr<platform::UILabel> label;
    std::shared_ptr<platform::UIImageView> imageView;
    std::shared_ptr<platform::UIScrollView> scrollView;
    std::shared_ptr<platform::UIButton> closeButton;
    std::string imageName;

    // A help screen for `imageName`, presented animated as a page sheet from `presenter`.
    static void presentManual(platform::UIViewController& presenter, const std::string& imageName);

    void loadView() override;
    void viewDidLoad() override;
    std::shared_ptr<platform::UIView> viewForZooming(platform::UIScrollView& scrollView) override;
    void closeButtonPressed();
};

}  // namespace app
