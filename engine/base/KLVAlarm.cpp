#include "engine/base/KLVAlarm.h"

#include <cstdint>
#include <mutex>
#include <utility>

#include "engine/base/KLVMonitor.h"
#include "platform/dispatch/Clock.h"

namespace engine {

// Shared with the firing handler, which holds it weakly until it fires and then strongly until
// its block has run.
struct KLVAlarm::State {
    std::shared_ptr<platform::DispatchQueue> queue;
    std::string name;
    mutable std::mutex mutex;
    std::shared_ptr<platform::Cancelable> timer;
    std::optional<platform::Date> scheduledTimestamp;
    // Tells a firing timer whether it is still the one scheduled.
    std::uint64_t generation = 0;

    bool hasActiveTimerLocked() const { return timer && !timer->isCancelled(); }

    void cancel() {
        bool wasActive = false;
        {
            std::lock_guard lock(mutex);
            if (!scheduledTimestamp) return;
            wasActive = hasActiveTimerLocked();
            if (wasActive) timer->cancel();
            scheduledTimestamp.reset();
            ++generation;
        }
        auto& monitor = engine::monitor();
        monitor.logWithLevel(kKLVLogDebug, 2003, name + " canceled");
        if (!wasActive)
            monitor.logWithLevel(kKLVLogWarningMonitored, 2004, name + " is not active");
    }

    // Holds the state and the block strongly while it runs: cancelling the timer below may
    // release the timer's own copy of both.
    static void fire(std::weak_ptr<State> weak, std::uint64_t generation,
                     std::shared_ptr<const std::function<void()>> block) {
        const auto state = weak.lock();
        if (!state) return;
        {
            std::lock_guard lock(state->mutex);
            if (state->generation != generation) return;
        }
        monitor().logWithLevel(kKLVLogDebug, 2001, state->name + " fired");
        state->cancel();
        (*block)();
    }
};

KLVAlarm::KLVAlarm(std::shared_ptr<platform::DispatchQueue> queue, std::string name)
    : state_(std::make_shared<State>()) {
    state_->queue = std::move(queue);
    state_->name = name.empty() ? "Timer" : std::move(name);
}

KLVAlarm::~KLVAlarm() {
    state_->cancel();
}

void KLVAlarm::runAfterDelay(double delay, std::function<void()> block) {
    auto& monitor = engine::monitor();
    if (!block) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 2000,
                             state_->name + " tried to schedule an empty block");
        return;
    }
    state_->cancel();
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(state_->mutex);
        generation = ++state_->generation;
        state_->scheduledTimestamp = platform::Date{platform::Clock::current().now() + delay};
    }
    auto timer = state_->queue->after(
        delay, [weak = std::weak_ptr<State>(state_), generation,
                shared = std::make_shared<const std::function<void()>>(std::move(block))] {
            State::fire(weak, generation, shared);
        });
    {
        std::lock_guard lock(state_->mutex);
        if (state_->generation == generation) {
            state_->timer = std::move(timer);
        } else {
            timer->cancel();  // cancelled or fired meanwhile from another thread
        }
    }
    monitor.logWithLevel(kKLVLogDebug, 2002, state_->name + " scheduled to fire in approx. (s)",
                         delay);
}

void KLVAlarm::cancel() {
    state_->cancel();
}

bool KLVAlarm::hasActiveTimer() const {
    std::lock_guard lock(state_->mutex);
    return state_->hasActiveTimerLocked();
}

std::optional<platform::Date> KLVAlarm::scheduledTimestamp() const {
    std::lock_guard lock(state_->mutex);
    return state_->scheduledTimestamp;
}

const std::string& KLVAlarm::name() const {
    return state_->name;
}

}  // namespace engine
