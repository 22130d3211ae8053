#pragma once

// A clock that moves only when told to, for deterministic tests. Wall time and uptime move
// together; advance() walks through the timers that fall due on the way, one deadline at a time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/TimerTable.h"

namespace platform {

class ManualClock : public Clock {
  public:
    static constexpr double kDefaultNow = 1'700'000'000.0;  // 2023-11-14T22:13:20Z
    // Not zero: some callers treat an uptime of zero as "never".
    static constexpr double kDefaultUptime = 1000.0;

    explicit ManualClock(double now = kDefaultNow, double uptime = kDefaultUptime);

    double now() const override;
    double uptime() const override;
    // A deadline at or before uptime() fires on the next advance(), advance(0) included.
    std::uint64_t schedule(double deadline, std::function<void()> fire) override;
    bool cancel(std::uint64_t id) override;
    bool waitsForTimerBlocks() const override { return true; }

    // Sets the wall time only, as when the user changes the device's time: uptime and pending
    // timers stay as they are, and later advances move the new wall time.
    void setNow(double now);

    // Moves both times forward by `seconds`, firing every timer due on the way in deadline order
    // (equal deadlines in scheduling order). While a timer fires the clock reads its deadline
    // (never earlier than where it stood); timers scheduled by a firing timer that fall inside
    // the advance fire in it too. Queue timers wait for their block to run (see
    // Clock::waitsForTimerBlocks), so call it from the test thread, not from a block that those
    // timers' queues would have to wait for. Negative or NaN seconds do nothing: time never goes
    // back.
    void advance(double seconds);

    std::size_t pendingTimerCount() const;

  private:
    void moveUptimeTo(double uptime);

    mutable std::mutex mutex_;
    double uptime_;
    double wallOffset_;  // now() - uptime()
    TimerTable timers_;
};

}  // namespace platform
