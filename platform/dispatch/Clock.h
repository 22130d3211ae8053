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
    // Monotonic seconds since an arbitrary start; never goes back.
    virtual double uptime() const = 0;

    // Runs `fire` once when uptime() reaches `deadline` (on the clock's timer thread for the
    // system clock, inside advance() for the manual clock). `fire` must be short: queue timers
    // only post their block to the queue. Returns an id for cancel().
    virtual std::uint64_t schedule(double deadline, std::function<void()> fire) = 0;
    // Cancels a scheduled timer; true when it had not fired yet. A cancelled timer never fires.
    virtual bool cancel(std::uint64_t id) = 0;

    // The installed clock (the system clock unless a test installed another).
    static Clock& current();
    static std::shared_ptr<Clock> currentShared();
    // Installs a clock for the process; nullptr restores the system clock.
    static void install(std::shared_ptr<Clock> clock);
};

std::shared_ptr<Clock> makeSystemClock();

}  // namespace platform
