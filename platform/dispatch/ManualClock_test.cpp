#include "platform/dispatch/ManualClock.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace platform {
namespace {

struct Fired {
    std::string name;
    double now;
    double uptime;
    friend bool operator==(const Fired&, const Fired&) = default;
};

TEST(ManualClockTest, StartsAtTheGivenTimesAndMovesThemTogether) {
    ManualClock clock(1'000'000.0, 50.0);
    EXPECT_EQ(clock.now(), 1'000'000.0);
    EXPECT_EQ(clock.uptime(), 50.0);
    clock.advance(2.5);
    EXPECT_EQ(clock.now(), 1'000'002.5);
    EXPECT_EQ(clock.uptime(), 52.5);

    clock.setNow(10.0);  // wall time only
    EXPECT_EQ(clock.now(), 10.0);
    EXPECT_EQ(clock.uptime(), 52.5);
    // Time never goes back.
    for (const double seconds : {-1.0, std::numeric_limits<double>::quiet_NaN()}) {
        clock.advance(seconds);
        EXPECT_EQ(clock.uptime(), 52.5);
        EXPECT_EQ(clock.now(), 10.0);
    }
}

TEST(ManualClockTest, FiresInDeadlineOrderReadingEachDeadline) {
    ManualClock clock(1000.0, 0.0);
    std::vector<Fired> fired;
    const auto record = [&](std::string name) {
        return [&, name] { fired.push_back({name, clock.now(), clock.uptime()}); };
    };
    clock.schedule(7, record("seven"));
    clock.schedule(3, record("three-a"));
    clock.schedule(12, record("twelve"));
    clock.schedule(3, record("three-b"));
    clock.schedule(-5, record("overdue"));  // fires at the current reading, no going back

    clock.advance(10);
    EXPECT_EQ(
        fired,
        (std::vector<Fired>{
            {"overdue", 1000, 0}, {"three-a", 1003, 3}, {"three-b", 1003, 3}, {"seven", 1007, 7}}));
    EXPECT_EQ(clock.pendingTimerCount(), 1u);

    // A timer due now waits for the next advance.
    clock.schedule(clock.uptime(), record("due"));
    EXPECT_EQ(fired.size(), 4u);
    clock.advance(0);
    EXPECT_EQ(fired.back(), (Fired{"due", 1010, 10}));
}

TEST(ManualClockTest, CancelledTimerNeverFiresAndCancelReportsWhetherItWasPending) {
    ManualClock clock;
    int fired = 0;
    const auto id = clock.schedule(clock.uptime() + 1, [&] { ++fired; });
    const auto kept = clock.schedule(clock.uptime() + 1, [&] { fired += 10; });
    EXPECT_TRUE(clock.cancel(id));
    EXPECT_FALSE(clock.cancel(id));
    clock.advance(1);
    EXPECT_EQ(fired, 10);
    EXPECT_FALSE(clock.cancel(kept));  // already fired
}

}  // namespace
}  // namespace platform
