#include "engine/settings/KLVPixieLogger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"

namespace engine {
namespace {

class KLVPixieLoggerTest : public EngineTest {};

TEST_F(KLVPixieLoggerTest, LogsWithItsCode) {
    KLVPixieLogger().logWithLevel(kKLVLogNotice, "Rule failed", {platform::Object("x")}, false,
                                  false);
    EXPECT_THAT(logLines(),
                ::testing::ElementsAre(::testing::HasSubstr("[I-ACS024005] Rule failed")));
}

}  // namespace
}  // namespace engine
