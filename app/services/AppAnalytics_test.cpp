#include "app/services/AppAnalytics.h"

#include <gtest/gtest.h>

namespace app {
namespace {

TEST(AppAnalyticsTest, EventsReachTheSinkUnchangedAndRecordersInOrder) {
    std::vector<AppAnalytics::Event> sunk;
    const auto previous =
        AppAnalytics::setSink([&](const std::string& name, const platform::Dictionary& p) {
            sunk.push_back({name, p});
        });
    std::vector<AppAnalytics::Event> recorded;
    {
        AppAnalytics::Recorder recorder;
        AppAnalytics::logEventWithName("tapped_rated_app", {{"app", "py"}, {"rating", 4.5}});
        AppAnalytics::logEventWithName("tapped_rated_app_cancel");
        recorded = recorder.events();
    }
    AppAnalytics::logEventWithName("after");
    AppAnalytics::setSink(previous);
    const std::vector<AppAnalytics::Event> expected{
        {"tapped_rated_app", {{"app", "py"}, {"rating", 4.5}}}, {"tapped_rated_app_cancel", {}}};
    EXPECT_EQ(recorded, expected);
    ASSERT_EQ(sunk.size(), 3u);
    EXPECT_EQ(sunk[0], expected[0]);
    EXPECT_EQ(sunk[2].name, "after");
}

}  // namespace
}  // namespace app
