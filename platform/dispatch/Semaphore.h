#pragma once

// A counting semaphore for one thread to wait on work done by another. Time-outs count real time:
// a manual clock does not drive them, so in tests they only guard against hangs.

#include <condition_variable>
#include <mutex>

namespace platform {

class Semaphore {
  public:
    // A negative starting value counts as zero.
    explicit Semaphore(long value = 0);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Raises the count, waking one waiter.
    void signal();
    // Waits until the count is positive, then lowers it.
    void wait();
    // As wait(), giving up after `seconds` of real time; true when it was signalled. Zero,
    // negative or NaN seconds only take a signal already there.
    bool wait(double seconds);

  private:
    std::mutex mutex_;
    std::condition_variable signalled_;
    long value_;
};

}  // namespace platform
