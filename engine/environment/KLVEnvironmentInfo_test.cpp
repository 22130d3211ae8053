#include "engine/environment/KLVEnvironmentInfo.h"

#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "platform/foundation/ProcessInfo.h"

namespace engine {
namespace {

class KLVEnvironmentInfoTest : public EngineTest {};

TEST_F(KLVEnvironmentInfoTest, TimeZoneOffsetInMinutes) {
    const struct {
        std::int64_t seconds;
        std::int32_t minutes;
    } cases[] = {{-12600, -210}, {19800, 330}, {0, 0}, {-59, 0}, {3599, 59}, {-50400, -840}};
    for (const auto& c : cases) {
        EXPECT_EQ(KLVEnvironmentInfo::minutesFromSecondsFromGMT(c.seconds), c.minutes) << c.seconds;
    }
}

TEST_F(KLVEnvironmentInfoTest, PreferredLanguage) {
    auto& info = KLVEnvironmentInfo::sharedInstance();
    platform::ProcessInfo::processInfo().setEnvironment({{"LANG", "de_AT.UTF-8"}});
    EXPECT_EQ(info.userDefaultLanguage(), "de-at");
    // The C locale names no language: the phone's default is reported, and nothing is logged
    // as a failure for every event.
    platform::ProcessInfo::processInfo().setEnvironment({{"LANG", "C"}});
    EXPECT_EQ(info.userDefaultLanguage(), "en");
    const auto record = monitor().monitoringDataForDispatchWithSamplePeriod(0, 0);
    EXPECT_TRUE(!record || record->find("Failed to get preferred language") == std::string::npos);
}

}  // namespace
}  // namespace engine
