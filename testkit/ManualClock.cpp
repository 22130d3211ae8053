#include "testkit/ManualClock.h"

#include <utility>

namespace testkit {

ScopedManualClock::ScopedManualClock(double now, double uptime)
    : clock_(std::make_shared<platform::ManualClock>(now, uptime)),
      previous_(platform::Clock::currentShared()) {
    platform::Clock::install(clock_);
}

ScopedManualClock::~ScopedManualClock() {
    platform::Clock::install(std::move(previous_));
}

void drain(platform::DispatchQueue& queue) {
    // A sync on the main queue from the main thread runs inline, past the queued blocks.
    if (&queue == &platform::mainQueue() && platform::isMainThread()) {
        platform::runUntilIdle();
        return;
    }
    queue.sync([] {});
}

}  // namespace testkit
