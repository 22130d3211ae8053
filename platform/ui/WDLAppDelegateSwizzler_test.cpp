#include "platform/ui/WDLAppDelegateSwizzler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dispatch/SerialQueue.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UITestSupport.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using AppDelegateProxyTest = testing::UITest;

// Records the link callbacks; answers `handles` for the two that answer.
class LinkDelegate : public UIApplicationDelegate {
  public:
    LinkDelegate(std::string name, std::vector<std::string>& seen, bool handles)
        : name_(std::move(name)), seen_(seen), handles_(handles) {}
    bool applicationOpenURL(UIApplication&, const std::string& url, const Dictionary&) override {
        seen_.push_back(name_ + " url " + url);
        return handles_;
    }
    bool applicationContinueUserActivity(UIApplication&, const NSUserActivity& activity) override {
        seen_.push_back(name_ + " activity " + activity.webpageURL.value_or("-"));
        return handles_;
    }
    void applicationHandleEventsForBackgroundURLSession(
        UIApplication&, const std::string& identifier,
        const std::function<void()>& completionHandler) override {
        seen_.push_back(name_ + " session " + identifier);
        completionHandler();
    }

  private:
    std::string name_;
    std::vector<std::string>& seen_;
    bool handles_;
};

TEST_F(AppDelegateProxyTest, InterceptorsSeeTheCallbacksAfterTheDelegateOnceTheProxyIsInPlace) {
    std::vector<std::string> seen;
    auto& app = UIApplication::shared();
    app.launch(std::make_shared<LinkDelegate>("app", seen, true));
    auto interceptor = std::make_shared<LinkDelegate>("engine", seen, false);
    EXPECT_TRUE(WDLAppDelegateSwizzler::isAppDelegateProxyEnabled());
    EXPECT_EQ(WDLAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor), "");
    WDLAppDelegateSwizzler::proxyOriginalDelegate();
    const std::string id = WDLAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
    EXPECT_FALSE(id.empty());

    int completions = 0;
    EXPECT_TRUE(app.openURL("https://example.com/x"));
    EXPECT_TRUE(app.continueUserActivity({NSUserActivityTypeBrowsingWeb, "https://example.com/y"}));
    app.handleEventsForBackgroundURLSession("upload", [&] { ++completions; });
    EXPECT_THAT(
        seen,
        ElementsAre("app url https://example.com/x", "engine url https://example.com/x",
                    "app activity https://example.com/y", "engine activity https://example.com/y",
                    "app session upload", "engine session upload"));
    EXPECT_EQ(completions, 2);

    seen.clear();
    WDLAppDelegateSwizzler::unregisterAppDelegateInterceptor(id);
    app.openURL("https://example.com/z");
    EXPECT_THAT(seen, ElementsAre("app url https://example.com/z"));
}

TEST_F(AppDelegateProxyTest, BackgroundTasksEndOrExpireOnTheMainQueue) {
    auto& app = UIApplication::shared();
    std::vector<std::string> expired;
    const auto upload =
        app.beginBackgroundTaskWithName("upload", [&] { expired.push_back("upload"); });
    const auto other =
        app.beginBackgroundTaskWithName("other", [&] { expired.push_back("other"); });
    EXPECT_NE(upload, UIBackgroundTaskInvalid);
    EXPECT_NE(upload, other);
    EXPECT_THAT(app.runningBackgroundTaskNames(), ElementsAre("upload", "other"));
    app.endBackgroundTask(other);
    app.endBackgroundTask(UIBackgroundTaskInvalid);
    app.expireBackgroundTasks();
    EXPECT_THAT(expired, IsEmpty());  // posted, not run
    runUntilIdle();
    EXPECT_THAT(expired, ElementsAre("upload"));
    app.endBackgroundTask(upload);
    EXPECT_THAT(app.runningBackgroundTaskNames(), IsEmpty());
}

}  // namespace
}  // namespace platform
