#include "platform/ui/UIApplication.h"

#include <gtest/gtest.h>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/UITestSupport.h"
#include "platform/ui/UIWindow.h"

namespace platform {
namespace {

using ApplicationTest = testing::UITest;

class Delegate : public UIApplicationDelegate {
  public:
    std::vector<std::string>& events;
    explicit Delegate(std::vector<std::string>& e) : events(e) {}
    bool application(UIApplication& app, const Dictionary&) override {
        events.push_back("launch scenes=" + std::to_string(app.connectedScenes().size()));
        return true;
    }
    void applicationDidBecomeActive(UIApplication&) override { events.push_back("active"); }
    void applicationWillResignActive(UIApplication&) override { events.push_back("resign"); }
    void applicationDidEnterBackground(UIApplication&) override { events.push_back("background"); }
    void applicationWillEnterForeground(UIApplication&) override { events.push_back("foreground"); }
};

TEST_F(ApplicationTest, LifeCycleTellsTheDelegateThenPostsTheNotifications) {
    std::vector<std::string> events;
    auto& app = UIApplication::shared();
    auto observer = NotificationCenter::defaultCenter().addObserverForName(
        "", &app, [&](const Notification& n) { events.push_back(n.name); });
    EXPECT_TRUE(app.connectedScenes().empty());
    app.launch(std::make_shared<Delegate>(events));
    app.launch(std::make_shared<Delegate>(events));  // once only
    app.becomeActive();
    app.enterBackground();
    app.becomeActive();
    EXPECT_EQ(app.applicationState(), UIApplication::State::active);
    EXPECT_EQ(events, (std::vector<std::string>{
                          "launch scenes=1",
                          UIApplicationDidFinishLaunchingNotification,
                          "active",
                          UIApplicationDidBecomeActiveNotification,
                          "resign",
                          UIApplicationWillResignActiveNotification,
                          "background",
                          UIApplicationDidEnterBackgroundNotification,
                          "foreground",
                          UIApplicationWillEnterForegroundNotification,
                          "active",
                          UIApplicationDidBecomeActiveNotification,
                      }));
}

TEST_F(ApplicationTest, TheReplacedKeyWindowResignsOnceTheNewOneIsKey) {
    auto& app = UIApplication::shared();
    app.launch(nullptr);
    std::vector<std::pair<const void*, const UIWindow*>> resigned;  // sender, key window then
    auto observer = NotificationCenter::defaultCenter().addObserverForName(
        UIWindowDidResignKeyNotification, nullptr,
        [&](const Notification& n) { resigned.emplace_back(n.object, app.keyWindow().get()); });
    const auto first = std::make_shared<UIWindow>();
    const auto second = std::make_shared<UIWindow>();
    first->makeKeyAndVisible();
    first->makeKeyAndVisible();  // already key: nothing resigns
    EXPECT_TRUE(resigned.empty());
    second->makeKeyAndVisible();
    ASSERT_EQ(resigned.size(), 1u);
    EXPECT_EQ(resigned[0].first, first.get());
    EXPECT_EQ(resigned[0].second, second.get());
}

TEST_F(ApplicationTest, OpensWebLinksAndInstalledSchemesOnly) {
    auto& app = UIApplication::shared();
    app.setInstalledURLSchemes({"Pelmora-QZ"});
    struct Case {
        const char* url;
        bool openable;
    };
    const Case cases[] = {
        {"https://example.org/rate", true},
        {"HTTP://example.org", true},
        {"pelmora-qz://open", true},
        {"pelmora-xx://open", false},
        {"https://", false},
        {"example.org", false},
        {"", false},
        {"1http://x", false},
    };
    std::vector<bool> completions;
    for (const auto& c : cases) {
        EXPECT_EQ(app.canOpenURL(c.url), c.openable) << c.url;
        app.open(c.url, [&](bool ok) { completions.push_back(ok); });
    }
    EXPECT_TRUE(completions.empty());
    runUntilIdle();
    EXPECT_EQ(completions,
              (std::vector<bool>{true, true, true, false, false, false, false, false}));
    EXPECT_EQ(app.openedURLs(),
              (std::vector<std::string>{"https://example.org/rate", "HTTP://example.org",
                                        "pelmora-qz://open"}));
}

TEST_F(ApplicationTest, ApplicationMainLaunchesAndRunsTheMainLoop) {
    class Stopper : public UIApplicationDelegate {
        void applicationDidBecomeActive(UIApplication&) override {
            mainQueue().async([] { stopMainLoop(); });
        }
    };
    EXPECT_EQ(UIApplicationMain([] { return std::make_shared<Stopper>(); }), 0);
    EXPECT_EQ(UIApplication::shared().applicationState(), UIApplication::State::active);
}

}  // namespace
}  // namespace platform
