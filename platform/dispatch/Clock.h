#pragma once

// Time for the whole process. All code reads time through Clock::current() and all delayed work
// goes through queue timers, which are driven by the installed clock. Tests install a ManualClock
// and move it with advance(), which fires the timers that became due, in due order.

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class Clock {
  public:
    virtual ~Clock() = default;

    // Wall time, seconds since 1970.
    virtual double now() const = 0;
    // Monotonic seconds since an arbitrary start (system boot for the system clock); never goes
    // back.
    virtual double uptime() const = 0;

    // Runs `fire` once when uptime() reaches `deadline` (on the clock's timer thread for the
    // system clock, inside advance() for the manual clock). `fire` must be short: queue timers
    // only post their block to the queue. Returns an id for cancel(); ids are unique across all
    // clocks of the process.
    virtual std::uint64_t schedule(double deadline, std::function<void()> fire) = 0;
    // Cancels a scheduled timer; true when it had not fired yet. A cancelled timer never fires.
    virtual bool cancel(std::uint64_t id) = 0;

    // True when a queue timer's block should have run before the clock moves past the timer's
    // deadline, so that the block reads the time it was due and timers it schedules inside the
    // same advance still fire in order. The manual clock answers true; the system clock, whose
    // timer thread must never wait for a queue, false.
    virtual bool waitsForTimerBlocks() const { return false; }

    // The installed clock (the system clock unless a test installed another). The reference
    // stays valid for the process and always forwards to the clock installed at the time of each
    // call; use currentShared() to keep one particular clock.
    static Clock& current();
    static std::shared_ptr<Clock> currentShared();
    // Installs a clock for the process; nullptr restores the system clock.
    static void install(std::shared_ptr<Clock> clock);
};

// The installed clock's wall time, seconds since 1970.
inline double currentTime() {
    return Clock::current().now();
}

// A new system clock with its own timer thread (started on first schedule(), joined when the
// clock is destroyed). The process clock is one of these.
std::shared_ptr<Clock> makeSystemClock();

}  // namespace platform
