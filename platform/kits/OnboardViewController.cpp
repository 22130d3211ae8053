#include "platform/kits/OnboardViewController.h"

#include "platform/ui/UIWindow.h"

namespace platform {

OnboardViewController::OnboardViewController(std::vector<OnboardPage> pageItems,
                                             OnboardAppearanceConfiguration appearanceConfiguration,
                                             std::function<void()> completion)
    : pages_(std::move(pageItems)),
      appearance_(std::move(appearanceConfiguration)),
      completion_(std::move(completion)) {}

void OnboardViewController::presentFrom(UIViewController& presenter, bool animated) {
    presenter.present(shared<OnboardViewController>(), animated);
}

void OnboardViewController::loadView() {
    const CGRect screen = UIScreen::main().bounds;
    auto root = std::make_shared<UIView>(screen);
    root->setBackgroundColor(appearance_.backgroundColor);
    const CGFloat width = screen.width() - 40;
    titleLabel_ = std::make_shared<UILabel>(CGRect{20, 80, width, 40});
    titleLabel_->textColor = appearance_.titleColor;
    titleLabel_->font = appearance_.titleFont;
    titleLabel_->textAlignment = NSTextAlignment::center;
    imageView_ = std::make_shared<UIImageView>(CGRect{20, 140, width, 300});
    imageView_->contentMode = appearance_.imageContentMode;
    textLabel_ = std::make_shared<UILabel>(CGRect{20, 460, width, 120});
    textLabel_->textColor = appearance_.textColor;
    textLabel_->font = appearance_.textFont;
    textLabel_->textAlignment = NSTextAlignment::center;
    textLabel_->numberOfLines = 0;
    advanceButton_ = std::make_shared<UIButton>(CGRect{20, screen.height() - 140, width, 50});
    advanceButton_->accessibilityIdentifier = kOnboardAdvanceButtonId;
    advanceButton_->setTintColor(appearance_.tintColor);
    advanceButton_->setTitleColor(appearance_.tintColor);
    if (appearance_.advanceButtonStyling) appearance_.advanceButtonStyling(*advanceButton_);
    std::weak_ptr<OnboardViewController> weak = shared<OnboardViewController>();
    advanceButton_->addTarget(UIControlEvents::touchUpInside, [weak](UIControl&) {
        if (const auto self = weak.lock()) self->advance();
    });
    for (const auto& view :
         std::vector<std::shared_ptr<UIView>>{titleLabel_, imageView_, textLabel_, advanceButton_})
        root->addSubview(view);
    setView(root);
    showPage(0);
}

void OnboardViewController::showPage(int index) {
    current_ = index;
    if (index < 0 || index >= static_cast<int>(pages_.size())) return;
    const auto& page = pages_[static_cast<std::size_t>(index)];
    titleLabel_->setText(page.title);
    imageView_->setImage(UIImage::named(page.imageName));
    textLabel_->setText(page.description);
    advanceButton_->setTitle(page.advanceButtonTitle);
}

void OnboardViewController::advance() {
    if (finished_) return;
    if (current_ + 1 < static_cast<int>(pages_.size())) {
        showPage(current_ + 1);
        return;
    }
    finished_ = true;
    auto completion = std::move(completion_);
    completion_ = nullptr;
    dismiss(true, [completion = std::move(completion)] {
        if (completion) completion();
    });
}

}  // namespace platform
