#include "platform/dispatch/Clock.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/dispatch/RunCatching.h"
#include "platform/dispatch/TimerTable.h"
#include "platform/foundation/NoDestructor.h"

namespace platform {

namespace {

using Seconds = std::chrono::duration<double>;

// The timer thread never sleeps longer than this in one go, which keeps far-off (or infinite)
// deadlines out of the time-point arithmetic.
constexpr double kLongestWait = 3600.0;

double wallSeconds() {
    return Seconds(std::chrono::system_clock::now().time_since_epoch()).count();
}

double monotonicSeconds() {
    return Seconds(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void stopProcessTimerThread();

// The timer thread and its table. Shared with the thread itself, so a clock destroyed from one of
// its own timers can let the thread finish on its own.
class TimerThread {
  public:
    explicit TimerThread(bool stopsAtExit) : stopsAtExit_(stopsAtExit) {}

    std::uint64_t schedule(const std::shared_ptr<TimerThread>& self, double deadline,
                           std::function<void()> fire) {
        std::lock_guard lock(mutex_);
        if (stopped_) return TimerTable().add(deadline, {});  // an id that never fires
        const std::uint64_t id = timers_.add(deadline, std::move(fire));
        if (!thread_.joinable()) start(self);
        wake_.notify_one();
        return id;
    }

    bool cancel(std::uint64_t id) {
        std::optional<std::function<void()>> dropped;  // destroyed after the lock is released
        std::lock_guard lock(mutex_);
        dropped = timers_.remove(id);
        return dropped.has_value();
    }

    // Stops firing for good; joins the thread unless called from it.
    void stop() {
        std::thread thread;
        TimerTable dropped;
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
            stopped_ = true;
            thread = std::move(thread_);
            std::swap(dropped, timers_);
        }
        wake_.notify_all();
        if (!thread.joinable()) return;
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }

  private:
    void start(const std::shared_ptr<TimerThread>& self) {
        thread_ = std::thread([self] { self->run(); });
        if (stopsAtExit_) std::atexit(stopProcessTimerThread);
    }

    void run() {
        std::unique_lock lock(mutex_);
        while (!stopped_) {
            const auto next = timers_.nextDeadline();
            if (!next) {
                wake_.wait(lock);
                continue;
            }
            const double remaining = *next - monotonicSeconds();
            if (remaining > 0) {
                wake_.wait_for(lock, Seconds(std::min(remaining, kLongestWait)));
                continue;
            }
            auto due = timers_.popDue(std::numeric_limits<double>::infinity());
            lock.unlock();
            runCatching("a system clock timer", due->fire);
            due.reset();
            lock.lock();
        }
    }

    const bool stopsAtExit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    TimerTable timers_;
    std::thread thread_;
    bool stopped_ = false;
};

class SystemClock final : public Clock {
  public:
    explicit SystemClock(bool stopsAtExit)
        : timerThread_(std::make_shared<TimerThread>(stopsAtExit)) {}
    ~SystemClock() override { timerThread_->stop(); }
    SystemClock(const SystemClock&) = delete;
    SystemClock& operator=(const SystemClock&) = delete;

    double now() const override { return wallSeconds(); }
    double uptime() const override { return monotonicSeconds(); }
    std::uint64_t schedule(double deadline, std::function<void()> fire) override {
        return timerThread_->schedule(timerThread_, deadline, std::move(fire));
    }
    bool cancel(std::uint64_t id) override { return timerThread_->cancel(id); }

    void stopTimerThread() { timerThread_->stop(); }

  private:
    std::shared_ptr<TimerThread> timerThread_;
};

struct ClockRegistry {
    std::mutex mutex;
    // The process clock lives for the process; its timer thread is stopped at exit.
    std::shared_ptr<SystemClock> system = std::make_shared<SystemClock>(true);
    std::shared_ptr<Clock> installed = system;
};

ClockRegistry& clockRegistry() {
    static NoDestructor<ClockRegistry> instance;
    return instance.get();
}

void stopProcessTimerThread() {
    std::shared_ptr<SystemClock> system;
    {
        std::lock_guard lock(clockRegistry().mutex);
        system = clockRegistry().system;
    }
    system->stopTimerThread();
}

// What Clock::current() answers: forwards every call to the clock installed at that moment.
class CurrentClock final : public Clock {
  public:
    double now() const override { return currentShared()->now(); }
    double uptime() const override { return currentShared()->uptime(); }
    std::uint64_t schedule(double deadline, std::function<void()> fire) override {
        return currentShared()->schedule(deadline, std::move(fire));
    }
    bool cancel(std::uint64_t id) override { return currentShared()->cancel(id); }
    bool waitsForTimerBlocks() const override { return currentShared()->waitsForTimerBlocks(); }
};

}  // namespace

Clock& Clock::current() {
    static NoDestructor<CurrentClock> forwarding;
    return forwarding.get();
}

std::shared_ptr<Clock> Clock::currentShared() {
    std::lock_guard lock(clockRegistry().mutex);
    return clockRegistry().installed;
}

void Clock::install(std::shared_ptr<Clock> clock) {
    std::shared_ptr<Clock> previous;  // released after the lock, its destructor may join a thread
    std::lock_guard lock(clockRegistry().mutex);
    previous =
        std::exchange(clockRegistry().installed, clock ? std::move(clock) : clockRegistry().system);
}

std::shared_ptr<Clock> makeSystemClock() {
    return std::make_shared<SystemClock>(false);
}

}  // namespace platform
