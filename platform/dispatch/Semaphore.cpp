#include "platform/dispatch/Semaphore.h"

#include <algorithm>
#include <chrono>

namespace platform {

namespace {

// Longer waits are plain waits: they keep huge or infinite time-outs out of the time arithmetic.
constexpr double kForever = 1e7;

}  // namespace

Semaphore::Semaphore(long value) : value_(std::max(value, 0L)) {}

void Semaphore::signal() {
    // Notified under the lock: a waiter that returns may destroy the semaphore at once.
    std::lock_guard lock(mutex_);
    ++value_;
    signalled_.notify_one();
}

void Semaphore::wait() {
    std::unique_lock lock(mutex_);
    signalled_.wait(lock, [this] { return value_ > 0; });
    --value_;
}

bool Semaphore::wait(double seconds) {
    if (seconds >= kForever) {
        wait();
        return true;
    }
    std::unique_lock lock(mutex_);
    if (seconds > 0) {
        const auto timeout = std::chrono::duration<double>(seconds);
        signalled_.wait_for(lock, timeout, [this] { return value_ > 0; });
    }
    if (value_ <= 0) return false;
    --value_;
    return true;
}

}  // namespace platform
