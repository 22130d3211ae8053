#pragma once

// The result screen's row of tutorial videos: a horizontal collection of embedded players, one
// per link, covered by a lock until the user has given the video consent.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/kits/Material.h"
#include "platform/kits/VMPlayerView.h"
#include "platform/ui/UICollectionView.h"
#include "platform/ui/UITableView.h"

namespace app {

inline constexpr char kVideoCollectionTableViewCellNib[] = "VideoCollectionTableViewCell";
inline constexpr char kVideoCollectionTableViewCellId[] = "videoCollectionTableViewCell";
inline constexpr char kVideoCollectionViewCellNib[] = "VideoCollectionViewCell";
inline constexpr char kVideoCollectionViewCellId[] = "videoCollectionViewCell";
inline constexpr char kLockOpenSymbol[] = "lock.open.fill";
inline constexpr char kLockSymbol[] = "lock.fill";
inline constexpr char kVideoIntroductionSymbol[] = "book.fill";

// One player. It stays covered until the player is ready.
class VideoCollectionViewCell : public platform::UICollectionViewCell,
                                public platform::VMPlayerViewDelegate {
  public:
    std::shared_ptr<platform::UIView> coveringView;
    std::shared_ptr<platform::VMPlayerView> videoView;

    // Builds the outlets (what the interface resource holds), then awakeFromNib.
    static std::shared_ptr<VideoCollectionViewCell> make();
    void awakeFromNib() override;
    void configure(const std::optional<std::string>& link);
    void playerViewDidBecomeReady(platform::VMPlayerView& playerView) override;
};

class VideoCollectionTableViewCell : public platform::UITableViewCell,
                                     public platform::UICollectionViewDataSource,
                                     public platform::UICollectionViewDelegateFlowLayout {
  public:
    std::shared_ptr<platform::UIView> lockingView;
    std::shared_ptr<platform::UIButton> unlockButton;
    std::shared_ptr<platform::UILabel> titleLabel;
    std::shared_ptr<platform::FABButton> privacyButton;
    std::shared_ptr<platform::FABButton> manualButton;
    std::shared_ptr<platform::UICollectionView> videoCollectionView;
    std::vector<std::string> videoUrlStringArray;

    static std::shared_ptr<VideoCollectionTableViewCell> make();
    void awakeFromNib() override;

    void tappedLockingViewButton();
    void tappedPrivacyButton();
    void tappedManualButton();

    int numberOfItemsInSection(platform::UICollectionView& collectionView, int section) override;
    std::shared_ptr<platform::UICollectionViewCell> cellForItemAt(
        platform::UICollectionView& collectionView, platform::NSIndexPath indexPath) override;
    platform::CGSize sizeForItemAt(platform::UICollectionView& collectionView,
                                   platform::NSIndexPath indexPath) override;

  private:
    void unlockRow();
    void lockRow();
};

// Registers the two nibs (idempotent).
void registerVideoTutorialNibs();

}  // namespace app
