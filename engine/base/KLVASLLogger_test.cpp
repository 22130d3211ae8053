#include "engine/base/KLVASLLogger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "platform/utilities/WDLLogger.h"

namespace engine {
namespace {

using ::testing::ElementsAre;

class KLVASLLoggerTest : public EngineTest {};

TEST_F(KLVASLLoggerTest, LevelMapping) {
    const int expected[] = {3, 3, 3, 4, 4, 4, 5, 7, 7, 4, 4};
    for (int level = 0; level <= 10; ++level) {
        EXPECT_EQ(KLVASLLogger::WDLLoggerLevelFromLogLevel(level), expected[level]) << level;
    }
    EXPECT_EQ(KLVASLLogger::WDLLoggerLevelFromLogLevel(-1), 4);
}

TEST_F(KLVASLLoggerTest, CodesAndMessagesReachTheSystemLogUnchanged) {
    KLVASLLogger logger;
    logger.logMessage("50% done %@ %d", "<Brackenfold>", 23210, 1);
    logger.logMessage("Forced debug line", "[Tag]", 24000, 7);
    logger.logMessage("Verbose line below the threshold", "[Tag]", 23126, 8);
    logger.logMessage("Beyond the table", "[Tag]", 9, 9);
    EXPECT_THAT(logLines(),
                ElementsAre("com.nexory.tarnwell.analytics error <Brackenfold>[I-ACS023210] 50% "
                            "done %@ %d",
                            "com.nexory.tarnwell.analytics debug [Tag][I-ACS024000] Forced debug "
                            "line",
                            "com.nexory.tarnwell.analytics warning [Tag][I-ACS000009] Beyond the "
                            "table"));
    EXPECT_EQ(KLVMessageCodeText(29014), "I-ACS029014");
    EXPECT_EQ(KLVMessageCodeText(850002), "I-ACS850002");
}

}  // namespace
}  // namespace engine
