#include "platform/dispatch/ManualClock.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/dispatch/RunCatching.h"

namespace platform {

ManualClock::ManualClock(double now, double uptime) : uptime_(uptime), wallOffset_(now - uptime) {}

double ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return uptime_ + wallOffset_;
}

double ManualClock::uptime() const {
    std::lock_guard lock(mutex_);
    return uptime_;
}

std::uint64_t ManualClock::schedule(double deadline, std::function<void()> fire) {
    std::lock_guard lock(mutex_);
    return timers_.add(deadline, std::move(fire));
}

bool ManualClock::cancel(std::uint64_t id) {
    std::optional<std::function<void()>> dropped;  // destroyed after the lock is released
    std::lock_guard lock(mutex_);
    dropped = timers_.remove(id);
    return dropped.has_value();
}

void ManualClock::setNow(double now) {
    std::lock_guard lock(mutex_);
    wallOffset_ = now - uptime_;
}

void ManualClock::advance(double seconds) {
    if (!(seconds >= 0)) return;
    double target = 0;
    {
        std::lock_guard lock(mutex_);
        target = uptime_ + seconds;
    }
    for (;;) {
        std::optional<TimerTable::Due> due;
        {
            std::lock_guard lock(mutex_);
            due = timers_.popDue(target);
            if (!due) {
                moveUptimeTo(target);
                return;
            }
            moveUptimeTo(due->deadline);
        }
        runCatching("a manual clock timer", due->fire);
    }
}

std::size_t ManualClock::pendingTimerCount() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

void ManualClock::moveUptimeTo(double uptime) {
    uptime_ = std::max(uptime_, uptime);
}

}  // namespace platform
