#pragma once

// The base of the two page screens: it reserves a banner view.

#include <memory>

#include "platform/ui/UIViewController.h"

namespace app {

class AdHandlingViewController : public platform::UIViewController {
  public:
    std::shared_ptr<platform::UIView> bannerView;
};

}  // namespace app
