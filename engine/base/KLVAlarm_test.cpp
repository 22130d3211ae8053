#include "engine/base/KLVAlarm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/EngineTestSupport.h"

namespace engine {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string debugLine(const std::string& text) {
    return "com.nexory.tarnwell.analytics debug <Brackenfold>" + text;
}

class KLVAlarmTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        allowDebugLines();
    }

    testkit::ScopedManualClock clock;
    std::shared_ptr<platform::SerialQueue> queue =
        std::make_shared<platform::SerialQueue>("com.nexory.trwa.worker");
    std::vector<std::string> runs;  // written on the queue, read after a drain

    std::function<void()> record(std::string name) {
        return [this, name] { runs.push_back(name); };
    }
    void drainQueue() { testkit::drain(*queue); }
};

TEST_F(KLVAlarmTest, FiresOnceAtItsTime) {
    KLVAlarm alarm(queue, "Measurement timer");
    alarm.runAfterDelay(5, record("upload"));
    EXPECT_EQ(alarm.scheduledTimestamp(), platform::Date{clock->kDefaultNow + 5});
    EXPECT_TRUE(alarm.hasActiveTimer());
    clock.advance(4.999);
    drainQueue();
    EXPECT_THAT(runs, IsEmpty());
    clock.advance(0.001);
    drainQueue();
    EXPECT_THAT(runs, ElementsAre("upload"));
    EXPECT_FALSE(alarm.hasActiveTimer());
    EXPECT_THAT(
        logLines(),
        ElementsAre(debugLine("[I-ACS002002] Measurement timer scheduled to fire in approx. "
                              "(s): 5"),
                    debugLine("[I-ACS002001] Measurement timer fired"),
                    debugLine("[I-ACS002003] Measurement timer canceled")));
}

TEST_F(KLVAlarmTest, SchedulingAgainReplacesThePendingBlock) {
    KLVAlarm alarm(queue, "Engagement timer");
    alarm.runAfterDelay(10, record("first"));
    clock.advance(3);
    alarm.runAfterDelay(2.5, record("second"));
    EXPECT_EQ(alarm.scheduledTimestamp(), platform::Date{clock->kDefaultNow + 5.5});
    clock.advance(7);
    drainQueue();
    EXPECT_THAT(runs, ElementsAre("second"));
}

TEST_F(KLVAlarmTest, ABlockMayScheduleItsAlarmAgain) {
    KLVAlarm alarm(queue, "SKAN conversion value fetch timer");
    std::vector<std::optional<platform::Date>> seen;
    std::function<void()> fetch = [&] {
        seen.push_back(alarm.scheduledTimestamp());
        if (seen.size() < 3) alarm.runAfterDelay(60, fetch);
    };
    alarm.runAfterDelay(60, fetch);
    clock.advance(180);
    drainQueue();
    EXPECT_EQ(seen, (std::vector<std::optional<platform::Date>>(3, std::nullopt)));
    EXPECT_EQ(alarm.scheduledTimestamp(), std::nullopt);
}

TEST_F(KLVAlarmTest, EmptyBlockIsRefusedAndThePendingOneStays) {
    KLVAlarm alarm(queue, "Search Ad campaign report alarm");
    alarm.runAfterDelay(1, record("kept"));
    clearLogLines();
    alarm.runAfterDelay(1, nullptr);
    EXPECT_THAT(logLines(), ElementsAre("com.nexory.tarnwell.analytics error <Brackenfold>"
                                        "[I-ACS002000] Search Ad campaign report alarm tried to "
                                        "schedule an empty block"));
    clock.advance(1);
    drainQueue();
    EXPECT_THAT(runs, ElementsAre("kept"));
}

}  // namespace
}  // namespace engine
