#pragma once
// The onboarding kit: a sequence of full pages, each a title, an image, a text and an advance
// button. The advance button (accessibility identifier "onboardAdvanceButton") goes to the next
// page; on the last page it dismisses the controller and then runs the completion, once.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/UIControl.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIViewController.h"

namespace platform {

inline constexpr char kOnboardAdvanceButtonId[] = "onboardAdvanceButton";

struct OnboardPage {
    std::string title;
    std::string imageName;
    // Shown under the title when not empty.
    std::string subtitle;
    std::string description;
    std::string advanceButtonTitle;
    std::optional<std::string> actionButtonTitle;
    std::function<void(std::function<void(bool, std::optional<std::string>)>)> action;
};

struct OnboardAppearanceConfiguration {
    UIColor tintColor = UIColor::systemBlue();
    UIColor titleColor = UIColor::label();
    UIColor textColor = UIColor::label();
    UIColor backgroundColor = UIColor::systemBackground();
    UIViewContentMode imageContentMode = UIViewContentMode::scaleAspectFit;
    UIFont titleFont = UIFont::boldSystemFont(28);
    UIFont textFont = UIFont::systemFont(17);
    std::function<void(UIButton&)> advanceButtonStyling;
    std::function<void(UIButton&)> actionButtonStyling;
};

class OnboardViewController : public UIViewController {
  public:
    OnboardViewController(std::vector<OnboardPage> pageItems,
                          OnboardAppearanceConfiguration appearanceConfiguration,
                          std::function<void()> completion = nullptr);
    const std::vector<OnboardPage>& pageItems() const { return pages_; }
    const OnboardAppearanceConfiguration& appearanceConfiguration() const { return appearance_; }
    int currentPage() const { return current_; }
    void presentFrom(UIViewController& presenter, bool animated);
    // What the advance button does.
    void advance();
    void loadView() override;

  private:
    void showPage(int index);
    std::vector<OnboardPage> pages_;
    OnboardAppearanceConfiguration appearance_;
    std::function<void()> completion_;
    int current_ = 0;
    bool finished_ = false;
    std::shared_ptr<UILabel> titleLabel_, textLabel_;
    std::shared_ptr<UIImageView> imageView_;
    std::shared_ptr<UIButton> advanceButton_;
};

}  // namespace platform
