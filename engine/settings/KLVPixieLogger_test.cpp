#include "engine/settings/KLVPixieLogger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"

namespace engine {
namespace {

class KLVPixieLoggerTest : public EngineTest {};

TEST_F(KLVPixieLoggerTest, RuntimeLevelsBecomeMonitorLevels) {
    const struct {
        std::int64_t runtimeLevel;
        bool silent;
        bool monitored;
        std::int64_t level;
    } cases[] = {
        {6, true, true, 2},   {6, false, true, 1},  {6, false, false, 0}, {5, true, false, 5},
        {5, false, true, 4},  {5, false, false, 3}, {3, true, true, 7},   {2, false, false, 8},
        {4, false, false, 6}, {0, true, true, 6},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLVPixieLogger::monitorLevel(c.runtimeLevel, c.silent, c.monitored), c.level)
            << c.runtimeLevel << c.silent << c.monitored;
    }
}

TEST_F(KLVPixieLoggerTest, LogsWithItsCode) {
    KLVPixieLogger().logWithLevel(kKLVLogNotice, "Rule failed", {platform::Object("x")}, false,
                                  false);
    EXPECT_THAT(logLines(),
                ::testing::ElementsAre(::testing::HasSubstr("[I-ACS024005] Rule failed")));
}

}  // namespace
}  // namespace engine
