#include "app/screens/QuroAdsViewController.h"

#include "app/core/Strings.h"
#include "app/services/AppAnalytics.h"
#include "app/services/AppIdentity.h"
#include "app/services/ColorManager.h"
#include "app/services/QuroColor.h"
#include "app/services/RemoteConfigManager.h"
#include "app/services/Texts.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/UIWindow.h"

namespace app {

namespace {

constexpr char kUnknown[] = "unknown";
constexpr char kDiscountPlaceholder[] = "\u00a7";

}  // namespace

void QuroAdsViewController::loadView() {
    const auto screen = platform::UIScreen::main().bounds;
    auto root = std::make_shared<platform::UIView>(screen);
    root->setBackgroundColor(platform::UIColor::systemBackground());
    adImageView = std::make_shared<platform::UIImageView>(
        platform::CGRect{20, 100, screen.width() - 40, screen.height() - 300});
    closeButton =
        std::make_shared<platform::UIButton>(platform::CGRect{screen.width() - 64, 50, 44, 44});
    closeButton->accessibilityIdentifier = "closeAdsButton";
    discountButton = std::make_shared<platform::UIButton>(
        platform::CGRect{40, screen.height() - 160, screen.width() - 80, 56});
    discountButton->accessibilityIdentifier = "discountButton";
    std::weak_ptr<QuroAdsViewController> weak = shared<QuroAdsViewController>();
    closeButton->addTarget(platform::UIControlEvents::touchUpInside, [weak](auto&) {
        if (const auto self = weak.lock()) self->tappedCloseButton();
    });
    discountButton->addTarget(platform::UIControlEvents::touchUpInside, [weak](auto&) {
        if (const auto self = weak.lock()) self->tappedDiscountButton();
    });
    root->addSubview(adImageView);
    root->addSubview(closeButton);
    root->addSubview(discountButton);
    setView(root);
}

void QuroAdsViewController::viewDidLoad() {
    closeButton->setTintColor(themePink());
    applyLightShadow(*closeButton->layer());
    if (currentAd) {
        adImageView->setImage(
            platform::UIImage::named(currentAd->imageName + "_" + supportedLanguageCode()));
        const auto title =
            platform::Bundle::mainBundle().localizedString("grabAdsDiscountForPercentage");
        discountButton->setTitle(
            replaceAll(title, kDiscountPlaceholder, currentAd->discountNumber + "%"));
    }
    discountButton->layer()->cornerRadius = 2;
    discountButton->setBackgroundColor(themePaleYellow());
    discountButton->setTitleColor(QuroColor::primary());
    applyLightShadow(*discountButton->layer());
}

void QuroAdsViewController::viewDidAppear(bool animated) {
    UIViewController::viewDidAppear(animated);
    auto& defaults = platform::UserDefaults::standardUserDefaults();
    defaults.setInteger(defaults.integerForKey(kCountQuroAdsPresentedKey) + 1,
                        kCountQuroAdsPresentedKey);
    log("quroAds_presented");
}

void QuroAdsViewController::tappedCloseButton() {
    log("quroAds_closedAds");
    dismiss(true);
}

void QuroAdsViewController::tappedDiscountButton() {
    if (currentAd) openAdLink(currentAd->linkingString);
    log("quroAds_openedAdProduct");
    dismiss(true);
}

void QuroAdsViewController::log(const char* event) const {
    const auto bundleId = mainBundleIdentifier();
    AppAnalytics::logEventWithName(
        event,
        {{"sendingApp", bundleId.empty() ? kUnknown : bundleId},
         {"quroAdId", currentAd ? currentAd->imageName : kUnknown},
         {"countQuroAdsPresented", platform::UserDefaults::standardUserDefaults().integerForKey(
                                       kCountQuroAdsPresentedKey)}});
}

}  // namespace app
