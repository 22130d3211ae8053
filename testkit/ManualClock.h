#pragma once

// Test support for time: a manual clock installed for the length of one test, and a barrier that
// waits for everything already queued on a queue.

#include <memory>

#include "platform/dispatch/ManualClock.h"
#include "platform/dispatch/SerialQueue.h"

namespace testkit {

// Installs a fresh ManualClock on construction and puts the previously installed clock (the
// system clock, as a rule) back on destruction.
class ScopedManualClock {
  public:
    explicit ScopedManualClock(double now = platform::ManualClock::kDefaultNow,
                               double uptime = platform::ManualClock::kDefaultUptime);
    ~ScopedManualClock();
    ScopedManualClock(const ScopedManualClock&) = delete;
    ScopedManualClock& operator=(const ScopedManualClock&) = delete;

    platform::ManualClock& clock() { return *clock_; }
    platform::ManualClock* operator->() { return clock_.get(); }
    void advance(double seconds) { clock_->advance(seconds); }

  private:
    std::shared_ptr<platform::ManualClock> clock_;
    std::shared_ptr<platform::Clock> previous_;
};

// Returns once every block queued on `queue` before the call has run (for the main queue on the
// main thread: runUntilIdle()). A no-op when the caller already owns `queue`.
void drain(platform::DispatchQueue& queue);

}  // namespace testkit
