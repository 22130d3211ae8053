#include "app/screens/QuroAdsViewController.h"

#include <gtest/gtest.h>

#include "app/screens/ManualViewController.h"
#include "app/services/QuroColor.h"
#include "app/services/ServicesTestSupport.h"

namespace app {
namespace {

using platform::Dictionary;
using platform::ViewQuery;

class AdsTest : public testing::ServicesTest {
  protected:
    std::shared_ptr<platform::UIViewController> root_ =
        std::make_shared<platform::UIViewController>();
    AdsTest() { show(root_); }
    std::shared_ptr<QuroAdsViewController> present(std::optional<QuroAdData> ad) {
        auto ads = std::make_shared<QuroAdsViewController>();
        ads->currentAd = std::move(ad);
        root_->present(ads, true);
        return ads;
    }
};

TEST_F(AdsTest, DiscountButtonOpensTheLinkAndReportsTheAd) {
    const auto ads = present(QuroAdData{"pq_formula", "https://apps.example/pq", "30"});
    EXPECT_EQ(ads->discountButton->title(), "Get 30% off");
    EXPECT_EQ(ads->adImageView->image()->name(), "pq_formula_en");
    EXPECT_EQ(ads->discountButton->backgroundColor(), themePaleYellow());
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("discountButton")).ok());
    EXPECT_EQ(platform::UIApplication::shared().openedURLs(),
              std::vector<std::string>{"https://apps.example/pq"});
    const Dictionary parameters{{"sendingApp", "org.tessaline.app"},
                                {"quroAdId", "pq_formula"},
                                {"countQuroAdsPresented", 1}};
    EXPECT_EQ(analytics_.events(),
              (std::vector<AppAnalytics::Event>{{"quroAds_presented", parameters},
                                                {"quroAds_openedAdProduct", parameters}}));
    EXPECT_FALSE(root_->presentedViewController());
}

TEST_F(AdsTest, WithoutAnAdOrBundleIdentifierTheEventsSayUnknown) {
    useBundle({{"CFBundleIdentifier", platform::Object()}});
    const auto ads = present(std::nullopt);
    EXPECT_EQ(ads->discountButton->title(), "");
    EXPECT_FALSE(ads->adImageView->image());
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("discountButton")).ok());
    EXPECT_TRUE(platform::UIApplication::shared().openedURLs().empty());
    EXPECT_EQ(
        analytics_.events().back(),
        (AppAnalytics::Event{
            "quroAds_openedAdProduct",
            {{"sendingApp", "unknown"}, {"quroAdId", "unknown"}, {"countQuroAdsPresented", 1}}}));
}

TEST_F(AdsTest, EveryAppearanceCounts) {
    defaults().setInteger(7, kCountQuroAdsPresentedKey);
    const auto ads = present(std::nullopt);
    ASSERT_TRUE(driver_.tap(ViewQuery::byId("closeAdsButton")).ok());
    root_->present(ads, false);  // the same screen again
    EXPECT_EQ(defaults().integerForKey(kCountQuroAdsPresentedKey), 9);
    EXPECT_EQ(
        analytics_.names(),
        (std::vector<std::string>{"quroAds_presented", "quroAds_closedAds", "quroAds_presented"}));
    EXPECT_EQ(analytics_.events()[1].parameters.at("countQuroAdsPresented"), platform::Object(8));
}

// The help screen, shown over the same plain root.
using HelpTest = AdsTest;

TEST_F(HelpTest, HelpScreenShowsItsImageAndCloses) {
    ManualViewController::presentManual(*root_, "qz_info");
    const auto manual =
        std::dynamic_pointer_cast<ManualViewController>(root_->presentedViewController());
    ASSERT_TRUE(manual);
    EXPECT_EQ(manual->modalPresentationStyle, platform::UIModalPresentationStyle::pageSheet);
    EXPECT_EQ(manual->label->text(), "Assistance");
    EXPECT_EQ(manual->imageView->image()->name(), "qz_info");
    EXPECT_EQ(manual->viewForZooming(*manual->scrollView), manual->imageView);
    // Pinches zoom the picture up to four times its size; a double tap zooms it back out.
    const auto unzoomed = manual->imageView->frame().size;
    const auto middle = manual->scrollView->convert(manual->scrollView->bounds().center(), nullptr);
    for (const double expected : {3.0, 4.0}) {
        ASSERT_TRUE(driver_.pinch(middle, 3).ok());
        EXPECT_EQ(manual->scrollView->zoomScale(), expected);
    }
    EXPECT_EQ(manual->imageView->frame().size,
              (platform::CGSize{unzoomed.width * 4, unzoomed.height * 4}));
    ASSERT_TRUE(driver_.doubleTap(middle).ok());
    EXPECT_EQ(manual->scrollView->zoomScale(), 1);
    EXPECT_EQ(manual->imageView->frame().size, unzoomed);
    ASSERT_TRUE(driver_.tap(ViewQuery::byId(kCloseManualButtonId)).ok());
    EXPECT_FALSE(root_->presentedViewController());
}

}  // namespace
}  // namespace app
