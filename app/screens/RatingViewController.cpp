#include "app/screens/RatingViewController.h"

#include "app/core/LocalizedString.h"
#include "app/services/AppAnalytics.h"
#include "app/services/ColorManager.h"
#include "app/services/ViewControllerHelpers.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/UIWindow.h"

namespace app {

namespace {

using platform::CGRect;

// The star view's style tag: gold stars.
constexpr long kStarViewTag = 101;

struct SharedPrompt {
    std::shared_ptr<RatingViewController> instance = std::make_shared<RatingViewController>();
};

platform::UserDefaults& defaults() {
    return platform::UserDefaults::standardUserDefaults();
}

std::shared_ptr<platform::UIButton> makeButton(const std::string& id, CGRect frame) {
    auto button = std::make_shared<platform::UIButton>(frame);
    button->accessibilityIdentifier = id;
    return button;
}

}  // namespace

std::shared_ptr<RatingViewController> RatingViewController::shared() {
    return platform::SharedInstance<SharedPrompt>::get().instance;
}

std::int64_t RatingViewController::counterForRating() {
    if (!defaults().objectForKey(kCounterForRatingKey).isNull()) {
        counterForRating_ = defaults().integerForKey(kCounterForRatingKey);
    } else {
        defaults().setInteger(counterForRating_, kCounterForRatingKey);
    }
    return counterForRating_;
}

void RatingViewController::storeCounter(std::int64_t value) {
    counterForRating_ = value;
    defaults().setInteger(value, kCounterForRatingKey);
}

void RatingViewController::showRatingIfNeeded(
    const std::shared_ptr<platform::UIViewController>& caller) {
    if (defaults().boolForKey(kIsRatingAlreadyDoneKey) || isShownInSession_) return;
    storeCounter(counterForRating() - 1);
    if (counterForRating() >= 1 || !caller) return;
    viewController_ = caller;
    std::weak_ptr<RatingViewController> weak = weakSelf();
    platform::mainQueue().async([weak] {
        const auto self = weak.lock();
        const auto presenter = self ? self->viewController_.lock() : nullptr;
        if (!presenter) return;
        self->modalPresentationStyle = platform::UIModalPresentationStyle::overCurrentContext;
        presenter->present(self, true);
    });
}

void RatingViewController::loadView() {
    const CGRect screen = platform::UIScreen::main().bounds;
    auto root = std::make_shared<platform::UIView>(screen);
    ratingBackgroundView = std::make_shared<platform::UIView>(screen);
    ratingBackgroundView->setBackgroundColor(platform::UIColor::white(0.0, 0.5));
    const double cardWidth = screen.width() - 60;
    ratingView =
        std::make_shared<platform::UIView>(CGRect{30, screen.height() / 2 - 110, cardWidth, 220});
    ratingView->setBackgroundColor(platform::UIColor::systemBackground());
    ratingLabel = std::make_shared<platform::UILabel>(CGRect{20, 20, cardWidth - 40, 40});
    ratingLabel->textAlignment = platform::NSTextAlignment::center;
    StarRatingView =
        std::make_shared<platform::CosmosView>(CGRect{(cardWidth - 170) / 2, 80, 170, 30});
    StarRatingView->tag = kStarViewTag;
    const double buttonWidth = (cardWidth - 60) / 2;
    cancelRatingButton = makeButton("cancelRatingButton", {20, 150, buttonWidth, 44});
    sendRatingButton = makeButton("sendRatingButton", {40 + buttonWidth, 150, buttonWidth, 44});
    std::weak_ptr<RatingViewController> weak = weakSelf();
    cancelRatingButton->addTarget(platform::UIControlEvents::touchUpInside, [weak](auto&) {
        if (const auto self = weak.lock()) self->tappedCancelRatingButton();
    });
    sendRatingButton->addTarget(platform::UIControlEvents::touchUpInside, [weak](auto&) {
        if (const auto self = weak.lock()) self->tappedSendRatingButton();
    });
    for (const auto& view : {std::static_pointer_cast<platform::UIView>(ratingLabel),
                             std::static_pointer_cast<platform::UIView>(StarRatingView),
                             std::static_pointer_cast<platform::UIView>(cancelRatingButton),
                             std::static_pointer_cast<platform::UIView>(sendRatingButton)})
        ratingView->addSubview(view);
    root->addSubview(ratingBackgroundView);
    root->addSubview(ratingView);
    setView(root);
}

void RatingViewController::viewDidLoad() {
    ColorManager::styleSubviews(*view());
    ratingView->layer()->cornerRadius = 2;
    sendRatingButton->layer()->cornerRadius = 2;
    cancelRatingButton->layer()->cornerRadius = 2;
    ratingLabel->setText(LocalizedString::rate());
    ratingView->layer()->masksToBounds = true;
    cancelRatingButton->setTitle(LocalizedString::cancel());
    sendRatingButton->setTitle(LocalizedString::send());
    isShownInSession_ = true;
}

void RatingViewController::viewDidLayoutSubviews() {
    if (StarRatingView) ColorManager::styleStarView(*StarRatingView);
}

void RatingViewController::tappedCancelRatingButton() {
    AppAnalytics::logEventWithName("tapped_rated_app_cancel");
    std::weak_ptr<RatingViewController> weak = weakSelf();
    dismiss(true, [weak] {
        if (const auto self = weak.lock()) self->resetCountdown();
    });
}

void RatingViewController::tappedSendRatingButton() {
    const double rating = StarRatingView ? StarRatingView->rating() : 0;
    AppAnalytics::logEventWithName("tapped_rated_app", {{"app", "py"}, {"rating", rating}});
    std::weak_ptr<RatingViewController> weak = weakSelf();
    dismiss(true, [weak, rating] {
        const auto self = weak.lock();
        if (!self) return;
        if (rating < kRatingForStore) {
            self->markDoneAndThank();
            return;
        }
        checkInternetConnection(
            self->viewController_.lock(),
            [weak] {
                const auto prompt = weak.lock();
                const auto presenter = prompt ? prompt->viewController_.lock() : nullptr;
                if (!presenter) return;
                // The prompt is gone, so the screen beneath it shows what follows. A link that
                // could not be opened leaves the rating to be asked for again.
                if (openRating(*presenter)) {
                    prompt->markDoneAndThank();
                } else {
                    prompt->resetCountdown();
                }
            },
            [weak] {
                if (const auto prompt = weak.lock()) prompt->resetCountdown();
            });
    });
}

void RatingViewController::markDoneAndThank() {
    defaults().setBool(true, kIsRatingAlreadyDoneKey);
    const auto presenter = viewController_.lock();
    if (!presenter) return;
    showAlert(*presenter, LocalizedString::thanks(), "",
              {std::make_shared<platform::UIAlertAction>(
                  LocalizedString::close(), platform::UIAlertAction::Style::defaultStyle)});
}

}  // namespace app
