#include "platform/utilities/WDLLogger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/SharedInstance.h"
#include "testkit/LogCapture.h"

namespace platform {
namespace {

using ::testing::ElementsAre;

class WDLLoggerTest : public ::testing::Test {
  protected:
    void SetUp() override { resetSharedInstances(); }
    void TearDown() override { resetSharedInstances(); }

    testkit::LogCapture log;
};

TEST_F(WDLLoggerTest, ThresholdDecidesWhatIsWritten) {
    EXPECT_EQ(WDLLoggerLevel(), kWDLLoggerLevelNotice);
    WDLOSLogError("com.nexory.tarnwell.analytics", "<Brackenfold>", false, "I-ACS043000",
                  "Cannot persist configs to disk");
    WDLOSLogWarning("com.nexory.tarnwell.analytics", "<Brackenfold>", false, "I-ACS041003",
                    "Cannot set invalid object to user defaults. Must be a string or number or "
                    "an array. Value %@",
                    Object::array({1}));
    WDLOSLogInfo("com.nexory.tarnwell.analytics", "<Brackenfold>", false, "I-ACS036001",
                 "Hidden at notice");
    WDLOSLogBasic(kWDLLoggerLevelDebug, "s", "c", true, "I-ACS024000", "Forced");
    WDLSetLoggerLevel(kWDLLoggerLevelDebug);
    WDLOSLogBasic(kWDLLoggerLevelDebug, "s", "c", false, "I-ACS023009", "%d%%", 50);
    EXPECT_THAT(log.lines(),
                ElementsAre("com.nexory.tarnwell.analytics error <Brackenfold>[I-ACS043000] "
                            "Cannot persist configs to disk",
                            "com.nexory.tarnwell.analytics warning <Brackenfold>[I-ACS041003] "
                            "Cannot set invalid object to user defaults. Must be a string or "
                            "number or an array. Value [1]",
                            "s debug c[I-ACS024000] Forced", "s debug c[I-ACS023009] 50%"));
}

TEST_F(WDLLoggerTest, LevelsOutsideTheScaleAreIgnored) {
    WDLSetLoggerLevel(kWDLLoggerLevelWarning);
    WDLSetLoggerLevel(9);
    WDLSetLoggerLevel(1);
    EXPECT_EQ(WDLLoggerLevel(), kWDLLoggerLevelWarning);
    EXPECT_TRUE(WDLIsLoggableLevel(kWDLLoggerLevelError));
    EXPECT_FALSE(WDLIsLoggableLevel(kWDLLoggerLevelNotice));
    resetSharedInstances();
    EXPECT_EQ(WDLLoggerLevel(), kWDLLoggerLevelNotice);
}

}  // namespace
}  // namespace platform
