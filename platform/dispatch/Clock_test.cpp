#include "platform/dispatch/Clock.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/dispatch/DispatchTestSupport.h"
#include "platform/dispatch/ManualClock.h"
#include "platform/dispatch/Semaphore.h"
#include "testkit/ManualClock.h"

namespace platform {
namespace {

constexpr double kGuard = 60.0;  // seconds; only reached when a timer never fires

TEST(ClockTest, InstalledClockIsCurrentUntilRestored) {
    const auto system = Clock::currentShared();
    const double wall =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(system->now(), wall, 5.0);
    EXPECT_FALSE(system->waitsForTimerBlocks());
    {
        testkit::ScopedManualClock manual(123.0, 7.0);
        EXPECT_EQ(Clock::current().now(), 123.0);
        EXPECT_TRUE(Clock::current().waitsForTimerBlocks());
    }
    EXPECT_EQ(Clock::currentShared(), system);
    Clock::install(std::make_shared<ManualClock>());

    Clock::install(nullptr);
    EXPECT_EQ(Clock::currentShared(), system);
}

TEST(ClockTest, SystemClockTimersFireInOrderAndCancelledOnesNever) {
    const auto clock = makeSystemClock();
    Semaphore holding;
    Semaphore release;
    Semaphore done;
    testing::Recorder<int> fired;
    const double start = clock->uptime();
    // The timer thread is held in a timer due now until every timer is scheduled and the first
    // cancelled, so that a test thread descheduled for longer than the deadlines apart (a busy
    // machine) still cancels in time and schedules before the deadlines pass.
    clock->schedule(start, [&] {
        holding.signal();
        release.wait(kGuard);
    });
    ASSERT_TRUE(holding.wait(kGuard)) << "the timer due now never fired";
    const auto cancelled = clock->schedule(start + 0.01, [&] { fired.add(0); });
    clock->schedule(start + 0.03, [&] {
        fired.add(2);
        done.signal();
    });
    clock->schedule(start + 0.02, [&] { fired.add(1); });
    clock->schedule(start + 1e300, [&] { fired.add(-1); });  // far off: just stays pending
    EXPECT_TRUE(clock->cancel(cancelled));
    release.signal();
    ASSERT_TRUE(done.wait(kGuard)) << "the last timer never fired";
    EXPECT_EQ(fired.values(), (std::vector<int>{1, 2}));
    EXPECT_GE(clock->uptime(), start + 0.03);
}

TEST(ClockTest, SystemClockDestroyedFromItsOwnTimerDoesNotHang) {
    auto clock = makeSystemClock();
    Semaphore done;
    auto* raw = clock.get();
    std::shared_ptr<Clock> holder = std::move(clock);
    raw->schedule(raw->uptime(), [&] {
        holder.reset();
        done.signal();
    });
    ASSERT_TRUE(done.wait(kGuard)) << "the timer that destroys its clock never ended";
}

}  // namespace
}  // namespace platform
