#include <gtest/gtest.h>

#include "app/screens/VideoTutorialCells.h"
#include "app/services/DsgvoManager.h"
#include "app/services/OnboardingManager.h"
#include "app/services/ServicesTestSupport.h"
#include "app/services/VideoLink.h"
#include "platform/ui/ScreenDump.h"
#include "platform/ui/UIAlertController.h"

namespace app {
namespace {

using platform::Dictionary;
using platform::ViewQuery;

class VideoRowTest : public testing::ServicesTest {
  protected:
    // A table holding one video row, as the result screen shows it.
    class Host : public platform::UITableViewController {
      public:
        std::vector<std::string> links;
        double rowHeight = 260;
        std::shared_ptr<VideoCollectionTableViewCell> row;
        int numberOfRowsInSection(platform::UITableView&, int) override { return 1; }
        std::shared_ptr<platform::UITableViewCell> cellForRowAt(platform::UITableView& t,
                                                                platform::NSIndexPath ip) override {
            row = std::dynamic_pointer_cast<VideoCollectionTableViewCell>(
                t.dequeueReusableCell(kVideoCollectionTableViewCellId, ip));
            row->videoUrlStringArray = links;
            row->videoCollectionView->reloadData();
            return row;
        }
        void viewDidLoad() override {
            registerVideoTutorialNibs();
            tableView()->registerNib(kVideoCollectionTableViewCellNib,
                                     kVideoCollectionTableViewCellId);
            tableView()->rowHeight = rowHeight;
        }
    };

    std::shared_ptr<Host> showRow(std::vector<std::string> links, double rowHeight = 260) {
        auto host = std::make_shared<Host>();
        host->links = std::move(links);
        host->rowHeight = rowHeight;
        show(host);
        return host;
    }
    static std::shared_ptr<VideoCollectionViewCell> item(const Host& host, int i) {
        return std::dynamic_pointer_cast<VideoCollectionViewCell>(
            host.row->videoCollectionView->cellForItem({0, i}));
    }
};

TEST_F(VideoRowTest, PlayersLoadBehindTheLockAndUncoverWhenReady) {
    const std::string watch(kWatchLinkPrefix);
    const auto host = showRow({watch + "abcdefghijk&t=90s", "https://other.example/x"});
    ASSERT_TRUE(host->row);
    EXPECT_FALSE(host->row->lockingView->isHidden());
    EXPECT_EQ(host->row->titleLabel->text(), "Recommended video if unclear");
    EXPECT_EQ(host->row->privacyButton->image()->name(), kLockSymbol);
    EXPECT_EQ(host->row->videoCollectionView->numberOfItems(), 2);
    // Squares of 0.95 of the collection's height.
    EXPECT_EQ(host->row->videoCollectionView->frameForItem(1).width(), 190);
    const auto first = item(*host, 0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->videoView->videoId(), "abcdefghijk");
    EXPECT_EQ(first->videoView->playerVars(), (Dictionary{{"iv_load_policy", 1}, {"start", "90"}}));
    EXPECT_TRUE(item(*host, 1)->videoView->isHidden());
    EXPECT_FALSE(first->coveringView->isHidden());
    clock_.advance(1);
    platform::runUntilIdle();
    EXPECT_TRUE(first->coveringView->isHidden());
}

TEST_F(VideoRowTest, AReusedCellShowsItsPlayerAgainForAUsableLink) {
    const auto host = showRow({"bad"});
    auto cell = item(*host, 0);
    ASSERT_TRUE(cell);
    EXPECT_TRUE(cell->videoView->isHidden());
    host->row->videoUrlStringArray = {std::string(kShortLinkPrefix) + "abcdefghijk"};
    host->row->videoCollectionView->reloadData();
    EXPECT_EQ(item(*host, 0), cell);  // reused
    EXPECT_FALSE(cell->videoView->isHidden());
    EXPECT_FALSE(cell->coveringView->isHidden());
    EXPECT_EQ(cell->videoView->videoId(), "abcdefghijk");
}

TEST_F(VideoRowTest, ConsentUnlocksAndDeclineLocksAgain) {
    const auto host = showRow({});
    EXPECT_EQ(host->row->videoCollectionView->numberOfItems(), 0);
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("Touch to unlock")).ok());
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("Accept")).ok());
    EXPECT_TRUE(host->row->lockingView->isHidden());
    EXPECT_EQ(host->row->privacyButton->image()->name(), kLockOpenSymbol);
    EXPECT_TRUE(defaults().boolForKey(kIsVidmoraDsgvoAcceptedKey));
    // The video introduction follows; finishing it finishes onboarding.
    for (int page = 0; page < 5; ++page)
        ASSERT_TRUE(driver_.tap(ViewQuery::byId(platform::kOnboardAdvanceButtonId)).ok());
    EXPECT_TRUE(defaults().boolForKey(kIsOnboardingFinishedKey));

    ASSERT_TRUE(driver_.tap(ViewQuery::byId("videoPrivacyButton")).ok());
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("Decline")).ok());
    EXPECT_FALSE(host->row->lockingView->isHidden());
    EXPECT_EQ(host->row->privacyButton->image()->name(), kLockSymbol);
    EXPECT_EQ(defaults().objectForKey(kIsVidmoraDsgvoAcceptedKey), platform::Object(false));
    // A consent given before leaves a new row open.
    defaults().setBool(true, kIsVidmoraDsgvoAcceptedKey);
    EXPECT_TRUE(showRow({})->row->lockingView->isHidden());
}

// As the result screen shows it, the row is as tall as the screen is wide: the players and
// their cover take the height below the title, which shows whole in two lines beside the
// buttons, the book icon on the introduction's.
TEST_F(VideoRowTest, TheRowFillsItsHeightAndShowsItsWholeTitleAndIcons) {
    const std::string watch(kWatchLinkPrefix);
    const auto host = showRow({watch + "abcdefghijk", watch + "bcdefghijkl"}, 390);
    ASSERT_TRUE(host->row);
    const auto& row = *host->row;
    EXPECT_EQ(platform::dumpLine(*row.titleLabel),
              "UILabel 16,4,250,48 text=\"Recommended video if unclear\" color=#000000");
    EXPECT_LE(row.titleLabel->sizeThatFits({250, 0}).height, 48);
    EXPECT_EQ(row.manualButton->image()->name(), kVideoIntroductionSymbol);
    EXPECT_EQ(row.videoCollectionView->frame(), platform::CGRect(0, 56, 390, 330));
    EXPECT_EQ(row.lockingView->frame(), platform::CGRect(0, 56, 390, 330));
    EXPECT_EQ(row.unlockButton->frame(), platform::CGRect(95, 143, 200, 44));
    EXPECT_EQ(row.videoCollectionView->frameForItem(1), platform::CGRect(323.5, 0, 313.5, 313.5));
    ASSERT_TRUE(item(*host, 0));
    EXPECT_EQ(item(*host, 0)->frame(), platform::CGRect(0, 0, 313.5, 313.5));
}

}  // namespace
}  // namespace app
