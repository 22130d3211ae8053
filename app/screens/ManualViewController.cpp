#include "app/screens/ManualViewController.h"

#include "app/services/Texts.h"
#include "platform/ui/UIWindow.h"

namespace app {

void ManualViewController::presentManual(platform::UIViewController& presenter,
                                         const std::string& imageName) {
    auto manual = std::make_shared<ManualViewController>();
    manual->imageName = imageName;
    manual->modalPresentationStyle = platform::UIModalPresentationStyle::pageSheet;
    presenter.present(manual, true);
}

void ManualViewController::loadView() {
    const auto screen = platform::UIScreen::main().bounds;
    auto root = std::make_shared<platform::UIView>(screen);
    root->setBackgroundColor(platform::UIColor::systemBackground());
    label = std::make_shared<platform::UILabel>(platform::CGRect{20, 20, screen.width() - 100, 44});
    closeButton =
        std::make_shared<platform::UIButton>(platform::CGRect{screen.width() - 64, 20, 44, 44});
    closeButton->setTitle("\u2715");
    scrollView = std::make_shared<platform::UIScrollView>(
        platform::CGRect{0, 80, screen.width(), screen.height() - 80});
    scrollView->maximumZoomScale = 4;
    imageView = std::make_shared<platform::UIImageView>(
        platform::CGRect{0, 0, screen.width(), screen.height() - 80});
    imageView->contentMode = platform::UIViewContentMode::scaleAspectFit;
    scrollView->addSubview(imageView);
    std::weak_ptr<ManualViewController> weak = shared<ManualViewController>();
    closeButton->addTarget(platform::UIControlEvents::touchUpInside, [weak](auto&) {
        if (const auto self = weak.lock()) self->closeButtonPressed();
    });
    root->addSubview(label);
    root->addSubview(scrollView);
    root->addSubview(closeButton);
    setView(root);
}

void ManualViewController::viewDidLoad() {
    imageView->setImage(platform::UIImage::named(imageName));
    scrollView->delegate = std::static_pointer_cast<ManualViewController>(shared_from_this());
    label->setText(localized("Assistance"));
    closeButton->accessibilityIdentifier = kCloseManualButtonId;
}

std::shared_ptr<platform::UIView> ManualViewController::viewForZooming(platform::UIScrollView&) {
    return imageView;
}

void ManualViewController::closeButtonPressed() {
    dismiss(true);
}

}  // namespace app
