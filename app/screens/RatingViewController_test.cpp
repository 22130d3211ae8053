#include "app/screens/RatingViewController.h"

#include <gtest/gtest.h>

#include "app/services/RemoteConfigManager.h"
#include "app/services/ServicesTestSupport.h"
#include "platform/ui/UIAlertController.h"
#include "testkit/LoopbackServer.h"

namespace app {
namespace {

using platform::ViewQuery;

class RatingTest : public testing::ServicesTest {
  protected:
    // The calculate screen stand-in, shown in the window.
    std::shared_ptr<platform::UIViewController> screen_ =
        std::make_shared<platform::UIViewController>();

    RatingTest() { show(screen_); }

    void appear() {
        RatingViewController::shared()->showRatingIfNeeded(screen_);
        platform::runUntilIdle();
    }
    bool promptShown() const {
        return screen_->presentedViewController() == RatingViewController::shared();
    }
    std::string alertTitle() const {
        const auto alert = std::dynamic_pointer_cast<platform::UIAlertController>(
            screen_->presentedViewController());
        return alert ? alert->alertTitle().value_or("") : "";
    }
    void send(double stars) {
        RatingViewController::shared()->StarRatingView->setRating(stars);
        ASSERT_TRUE(driver_.tap(ViewQuery::byId("sendRatingButton")).ok());
    }
    void useConnectivity(const std::string& url) {
        useBundle({{"TESSALINE_CONNECTIVITY_URL", url}});
        auto& manager = RemoteConfigManager::shared();
        manager.reloadAll(manager.remoteConfig());  // this app's entry from the defaults
    }
};

TEST_F(RatingTest, FifthAppearanceShowsThePromptOncePerProcess) {
    std::vector<std::int64_t> stored;
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(promptShown());
        appear();
        stored.push_back(defaults().integerForKey(kCounterForRatingKey));
    }
    EXPECT_EQ(stored, (std::vector<std::int64_t>{4, 3, 2, 1, 0}));
    ASSERT_TRUE(promptShown());
    EXPECT_NE(driver_.screen().find("text=\"Rate\""), std::string::npos);
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("Cancel")).ok());
    EXPECT_FALSE(promptShown());
    EXPECT_EQ(defaults().integerForKey(kCounterForRatingKey), 5);
    EXPECT_EQ(analytics_.names(), std::vector<std::string>{"tapped_rated_app_cancel"});
    for (int i = 0; i < 6; ++i)
        appear();
    EXPECT_FALSE(promptShown());
    EXPECT_EQ(defaults().integerForKey(kCounterForRatingKey), 5);
}

TEST_F(RatingTest, AStoredNegativeCounterShowsAtTheNextAppearance) {
    defaults().setInteger(-3, kCounterForRatingKey);
    appear();
    EXPECT_TRUE(promptShown());
    EXPECT_EQ(defaults().integerForKey(kCounterForRatingKey), -4);
}

TEST_F(RatingTest, FewerThanFourStarsAreOnlyThankedFor) {
    defaults().setInteger(1, kCounterForRatingKey);
    appear();
    send(3.5);
    EXPECT_TRUE(defaults().boolForKey(kIsRatingAlreadyDoneKey));
    EXPECT_EQ(alertTitle(), "Thanks");
    EXPECT_EQ(
        analytics_.events(),
        (std::vector<AppAnalytics::Event>{{"tapped_rated_app", {{"app", "py"}, {"rating", 3.5}}}}));
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("Close")).ok());
    appear();
    EXPECT_FALSE(promptShown());
    EXPECT_TRUE(platform::UIApplication::shared().openedURLs().empty());
}

TEST_F(RatingTest, FourStarsWithoutConnectionAskAgainLater) {
    testkit::LoopbackServer gone;
    const auto url = gone.baseURL() + "/";
    gone.stop();
    useConnectivity(url);
    defaults().setInteger(1, kCounterForRatingKey);
    appear();
    send(4.0);
    ASSERT_TRUE(pumpUntil([&] { return alertTitle() == "No internet connection"; }));
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("OK")).ok());
    EXPECT_EQ(defaults().integerForKey(kCounterForRatingKey), 5);
    EXPECT_FALSE(defaults().boolForKey(kIsRatingAlreadyDoneKey));
}

TEST_F(RatingTest, FourStarsWithAnAnswerOpenTheRatingPage) {
    testkit::LoopbackServer server;
    server.answer("GET", "/ping", {500, {}, ""});  // any answer means connected
    useConnectivity(server.baseURL() + "/ping");
    defaults().setInteger(1, kCounterForRatingKey);
    appear();
    send(5.0);
    ASSERT_TRUE(pumpUntil([&] { return alertTitle() == "Thanks"; }));
    EXPECT_EQ(platform::UIApplication::shared().openedURLs(),
              std::vector<std::string>{"https://apps.example/tessaline/review"});
    EXPECT_TRUE(defaults().boolForKey(kIsRatingAlreadyDoneKey));
    EXPECT_EQ(analytics_.names(),
              (std::vector<std::string>{"tapped_rated_app", "tapped_rating_in_menu"}));
    EXPECT_EQ(analytics_.events()[1].parameters, (platform::Dictionary{{"quroApp", "Tessaline"}}));
}

TEST_F(RatingTest, FourStarsWithoutThisAppsEntryAskAgainLater) {
    testkit::LoopbackServer server;
    server.answer("GET", "/ping", {200, {}, ""});
    useBundle({{"TESSALINE_CONNECTIVITY_URL", server.baseURL() + "/ping"}});
    defaults().setInteger(1, kCounterForRatingKey);
    appear();
    send(4.0);
    ASSERT_TRUE(pumpUntil([&] { return alertTitle() == "No internet connection"; }));
    EXPECT_EQ(defaults().integerForKey(kCounterForRatingKey), 5);
    EXPECT_FALSE(defaults().boolForKey(kIsRatingAlreadyDoneKey));
}

}  // namespace
}  // namespace app
