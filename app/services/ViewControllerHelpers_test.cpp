#include "app/services/ViewControllerHelpers.h"

#include <gtest/gtest.h>

#include "app/services/QuroColor.h"
#include "app/services/RemoteConfigManager.h"
#include "app/services/ServicesTestSupport.h"
#include "platform/kits/Material.h"
#include "platform/ui/UIAlertController.h"
#include "testkit/LoopbackServer.h"

namespace app {
namespace {

using platform::ViewQuery;

class HelpersTest : public testing::ServicesTest {
  protected:
    std::shared_ptr<platform::UIViewController> root_ =
        std::make_shared<platform::UIViewController>();
    HelpersTest() { show(root_); }
    std::shared_ptr<platform::UIAlertController> alert() const {
        return std::dynamic_pointer_cast<platform::UIAlertController>(
            root_->presentedViewController());
    }
};

TEST_F(HelpersTest, AlertButtons) {
    showAlert(*root_, "Title", std::nullopt);
    ASSERT_EQ(alert()->actions().size(), 1u);
    EXPECT_EQ(alert()->actions()[0]->title(), "OK");
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("OK")).ok());
    int cleared = 0;
    showAlert(*root_, "Clear History", "Sure?",
              {std::make_shared<platform::UIAlertAction>(
                   "Clear", platform::UIAlertAction::Style::defaultStyle,
                   [&](platform::UIAlertAction&) { ++cleared; }),
               std::make_shared<platform::UIAlertAction>("Cancel",
                                                         platform::UIAlertAction::Style::cancel)});
    ASSERT_EQ(alert()->actions().size(), 2u);
    EXPECT_FALSE(driver_.find(ViewQuery::byText("OK")));
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("Clear")).ok());
    EXPECT_EQ(cleared, 1);
}

TEST_F(HelpersTest, ConnectivityCheck) {
    testkit::LoopbackServer server;
    server.answer("GET", "/ping", {500, {}, ""});
    const struct {
        const char* name;
        platform::Object url;
        bool connected;
    } cases[] = {
        {"server error still answers", platform::Object(server.baseURL() + "/ping"), true},
        {"no URL", platform::Object(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        useBundle({{kConnectivityURLKey, c.url}});
        int successes = 0, failures = 0;
        checkInternetConnection(
            root_, [&] { ++successes; }, [&] { ++failures; });
        ASSERT_TRUE(pumpUntil([&] { return successes > 0 || alert(); }));
        EXPECT_EQ(successes, c.connected ? 1 : 0);
        if (c.connected) continue;
        EXPECT_EQ(alert()->alertTitle(), "No internet connection");
        ASSERT_TRUE(driver_.tap(ViewQuery::byText("OK")).ok());
        EXPECT_EQ(failures, 1);
    }
}

TEST_F(HelpersTest, RatingLinkOfTheEdition) {
    EXPECT_FALSE(openRating(*root_));  // no entry yet
    EXPECT_EQ(alert()->alertTitle(), "No internet connection");
    ASSERT_TRUE(driver_.tap(ViewQuery::byText("OK")).ok());
    auto& manager = RemoteConfigManager::shared();
    manager.reloadAll(manager.remoteConfig());
    EXPECT_TRUE(openRating(*root_));
    EXPECT_EQ(platform::UIApplication::shared().openedURLs(),
              std::vector<std::string>{"https://apps.example/tessaline/review"});
    EXPECT_EQ(
        analytics_.events(),
        (std::vector<AppAnalytics::Event>{{"tapped_rating_in_menu", {{"quroApp", "Tessaline"}}}}));
    // The pro edition opens its own link.
    useBundle({{"CFBundleIdentifier", "org.tessaline-pro-app"}});
    manager.reloadAll(manager.remoteConfig());
    EXPECT_TRUE(openRating(*root_));
    EXPECT_EQ(platform::UIApplication::shared().openedURLs().back(),
              "https://apps.example/tessaline-pro/review");
}

TEST_F(HelpersTest, TabItemColours) {
    setTabItem(*root_, "Result", false);
    const auto item = platform::tabItem(*root_);
    EXPECT_EQ(item->title(), "Result");
    EXPECT_FALSE(item->isEnabled());
    EXPECT_EQ(item->titleColor(), QuroColor::systemGray());
    EXPECT_EQ(item->titleFont, (platform::UIFont{"Avenir-Medium", 14}));
    setTabItem(*root_, "Result", true);
    EXPECT_EQ(item->titleColor(), QuroColor::primary());
    EXPECT_EQ(adaptivePresentationStyleForPresentationController(),
              platform::UIModalPresentationStyle::none);
}

}  // namespace
}  // namespace app
