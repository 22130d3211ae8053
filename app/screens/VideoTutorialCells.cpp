#include "app/screens/VideoTutorialCells.h"

#include <mutex>

#include "app/core/LocalizedString.h"
#include "app/services/ColorManager.h"
#include "app/services/DsgvoManager.h"
#include "app/services/OnboardingManager.h"
#include "app/services/VideoLink.h"
#include "app/services/ViewManager.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/UIStoryboard.h"
#include "platform/ui/UIWindow.h"

namespace app {

namespace {

using platform::CGRect;

constexpr double kItemSideFactor = 0.95;
// The style tag of the row's round buttons: gold.
constexpr long kRowButtonTag = 101;

std::shared_ptr<platform::UIViewController> rootViewController() {
    const auto window = ViewManager::keyWindow();
    return window ? window->rootViewController() : nullptr;
}

void presentVideoIntroduction() {
    const auto root = rootViewController();
    if (!root) return;
    auto onboarding = makeOnboardViewController(vidmoraOnboardingPages());
    onboarding->modalPresentationStyle = platform::UIModalPresentationStyle::formSheet;
    onboarding->presentFrom(*root, true);
}

}  // namespace

std::shared_ptr<VideoCollectionViewCell> VideoCollectionViewCell::make() {
    auto cell = std::make_shared<VideoCollectionViewCell>();
    cell->setFrame({0, 0, 160, 160});
    cell->videoView = std::make_shared<platform::VMPlayerView>(CGRect{0, 0, 160, 160});
    cell->videoView->autoresizingMask =
        platform::UIViewAutoresizing::flexibleWidth | platform::UIViewAutoresizing::flexibleHeight;
    cell->coveringView = std::make_shared<platform::UIView>(CGRect{0, 0, 160, 160});
    cell->coveringView->autoresizingMask = cell->videoView->autoresizingMask;
    cell->coveringView->setBackgroundColor(platform::UIColor::systemBackground());
    cell->contentView()->addSubview(cell->videoView);
    cell->contentView()->addSubview(cell->coveringView);
    cell->awakeFromNib();
    return cell;
}

void VideoCollectionViewCell::awakeFromNib() {
    ColorManager::addShadow(*layer());
    videoView->delegate = std::static_pointer_cast<VideoCollectionViewCell>(shared_from_this());
}

void VideoCollectionViewCell::configure(const std::optional<std::string>& link) {
    coveringView->setHidden(false);
    const auto parsed = link ? parseVideoLink(*link) : std::nullopt;
    if (!parsed) {
        videoView->setHidden(true);
        return;
    }
    // A reused cell may have hidden its player for an earlier, unusable link.
    videoView->setHidden(false);
    videoView->loadWithVideoId(parsed->videoId, parsed->playerVars);
}

void VideoCollectionViewCell::playerViewDidBecomeReady(platform::VMPlayerView&) {
    coveringView->setHidden(true);
}

std::shared_ptr<VideoCollectionTableViewCell> VideoCollectionTableViewCell::make() {
    auto cell = std::make_shared<VideoCollectionTableViewCell>();
    cell->setReuseIdentifier(kVideoCollectionTableViewCellId);
    cell->setFrame({0, 0, 390, 260});
    const auto& content = cell->contentView();
    content->setFrame({0, 0, 390, 260});
    // Two lines, so that the whole title shows beside the buttons in any face.
    cell->titleLabel = std::make_shared<platform::UILabel>(CGRect{16, 4, 250, 48});
    cell->titleLabel->numberOfLines = 2;
    cell->privacyButton = std::make_shared<platform::FABButton>();
    cell->privacyButton->setFrame({274, 8, 40, 40});
    cell->privacyButton->accessibilityIdentifier = "videoPrivacyButton";
    cell->privacyButton->tag = kRowButtonTag;
    cell->manualButton = std::make_shared<platform::FABButton>();
    cell->manualButton->setFrame({330, 8, 40, 40});
    cell->manualButton->accessibilityIdentifier = "videoManualButton";
    cell->manualButton->tag = kRowButtonTag;
    cell->manualButton->setImage(platform::UIImage::named(kVideoIntroductionSymbol));
    // The players and their cover take the row's height below the title, whatever the table
    // makes it (the result screen: as tall as the screen is wide).
    const unsigned fill =
        platform::UIViewAutoresizing::flexibleWidth | platform::UIViewAutoresizing::flexibleHeight;
    cell->videoCollectionView =
        std::make_shared<platform::UICollectionView>(CGRect{0, 56, 390, 200});
    cell->videoCollectionView->autoresizingMask = fill;
    cell->lockingView = std::make_shared<platform::UIView>(CGRect{0, 56, 390, 200});
    cell->lockingView->autoresizingMask = fill;
    cell->lockingView->setBackgroundColor(platform::UIColor::systemBackground());
    cell->unlockButton = std::make_shared<platform::UIButton>(CGRect{95, 78, 200, 44});
    cell->unlockButton->autoresizingMask = platform::UIViewAutoresizing::flexibleLeftMargin |
                                           platform::UIViewAutoresizing::flexibleRightMargin |
                                           platform::UIViewAutoresizing::flexibleTopMargin |
                                           platform::UIViewAutoresizing::flexibleBottomMargin;
    cell->unlockButton->accessibilityIdentifier = "videoUnlockButton";
    cell->unlockButton->tag = kRowButtonTag;
    cell->lockingView->addSubview(cell->unlockButton);
    for (const auto& view : std::vector<std::shared_ptr<platform::UIView>>{
             cell->titleLabel, cell->privacyButton, cell->manualButton, cell->videoCollectionView,
             cell->lockingView})
        content->addSubview(view);
    std::weak_ptr<VideoCollectionTableViewCell> weak = cell;
    const auto action = [weak](void (VideoCollectionTableViewCell::*handler)()) {
        return [weak, handler](platform::UIControl&) {
            if (const auto self = weak.lock()) ((*self).*handler)();
        };
    };
    cell->unlockButton->addTarget(platform::UIControlEvents::touchUpInside,
                                  action(&VideoCollectionTableViewCell::tappedLockingViewButton));
    cell->privacyButton->addTarget(platform::UIControlEvents::touchUpInside,
                                   action(&VideoCollectionTableViewCell::tappedPrivacyButton));
    cell->manualButton->addTarget(platform::UIControlEvents::touchUpInside,
                                  action(&VideoCollectionTableViewCell::tappedManualButton));
    cell->awakeFromNib();
    return cell;
}

void VideoCollectionTableViewCell::awakeFromNib() {
    titleLabel->setText(LocalizedString::recommendedVideoIfUnclear());
    unlockButton->setTitle(LocalizedString::touchToUnlock());
    const bool accepted =
        platform::UserDefaults::standardUserDefaults().boolForKey(kIsVidmoraDsgvoAcceptedKey);
    lockingView->setHidden(accepted);
    privacyButton->setImage(platform::UIImage::named(accepted ? kLockOpenSymbol : kLockSymbol));
    ColorManager::styleView(*privacyButton);
    ColorManager::styleView(*manualButton);
    ColorManager::styleView(*unlockButton);
    const auto self = std::static_pointer_cast<VideoCollectionTableViewCell>(shared_from_this());
    videoCollectionView->collectionDelegate = self;
    videoCollectionView->dataSource = self;
    registerVideoTutorialNibs();
    videoCollectionView->registerNib(kVideoCollectionViewCellNib, kVideoCollectionViewCellId);
    videoCollectionView->setBackgroundColor(platform::UIColor::clear());
    setBackgroundColor(platform::UIColor::clear());
}

void VideoCollectionTableViewCell::tappedLockingViewButton() {
    std::weak_ptr<VideoCollectionTableViewCell> weak =
        std::static_pointer_cast<VideoCollectionTableViewCell>(shared_from_this());
    DsgvoManager::showVideoPrivacyAlertOnMainQueue(rootViewController(), [weak] {
        if (const auto self = weak.lock()) self->unlockRow();
    });
}

void VideoCollectionTableViewCell::tappedPrivacyButton() {
    std::weak_ptr<VideoCollectionTableViewCell> weak =
        std::static_pointer_cast<VideoCollectionTableViewCell>(shared_from_this());
    DsgvoManager::showVideoPrivacyAlertOnMainQueue(rootViewController(), nullptr, [weak] {
        if (const auto self = weak.lock()) self->lockRow();
    });
}

void VideoCollectionTableViewCell::tappedManualButton() {
    presentVideoIntroduction();
}

void VideoCollectionTableViewCell::unlockRow() {
    lockingView->setHidden(true);
    privacyButton->setImage(platform::UIImage::named(kLockOpenSymbol));
    presentVideoIntroduction();
}

void VideoCollectionTableViewCell::lockRow() {
    lockingView->setHidden(false);
    privacyButton->setImage(platform::UIImage::named(kLockSymbol));
}

int VideoCollectionTableViewCell::numberOfItemsInSection(platform::UICollectionView&, int) {
    return static_cast<int>(videoUrlStringArray.size());
}

std::shared_ptr<platform::UICollectionViewCell> VideoCollectionTableViewCell::cellForItemAt(
    platform::UICollectionView& collectionView, platform::NSIndexPath indexPath) {
    auto cell = collectionView.dequeueReusableCell(kVideoCollectionViewCellId, indexPath);
    if (auto video = std::dynamic_pointer_cast<VideoCollectionViewCell>(cell)) {
        const auto item = static_cast<std::size_t>(indexPath.row);
        video->configure(item < videoUrlStringArray.size()
                             ? std::optional<std::string>(videoUrlStringArray[item])
                             : std::nullopt);
    }
    return cell;
}

platform::CGSize VideoCollectionTableViewCell::sizeForItemAt(
    platform::UICollectionView& collectionView, platform::NSIndexPath) {
    const double side = kItemSideFactor * collectionView.frame().height();
    return {side, side};
}

void registerVideoTutorialNibs() {
    static std::once_flag once;
    std::call_once(once, [] {
        platform::UINib::registerNib(kVideoCollectionViewCellNib,
                                     [] { return VideoCollectionViewCell::make(); });
        platform::UINib::registerNib(kVideoCollectionTableViewCellNib,
                                     [] { return VideoCollectionTableViewCell::make(); });
    });
}

}  // namespace app
