#include "platform/dispatch/OperationQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "platform/dispatch/QueueRest.h"
#include "platform/dispatch/RunCatching.h"
#include "platform/foundation/Log.h"

namespace platform {

struct OperationQueue::State final : RestingQueue {
    explicit State(std::string queueName)
        : name(std::move(queueName)), where("operation queue \"" + name + "\"") {}

    // Taking part in bringQueuesToRest(): a suspended queue's waiting operations count as idle,
    // since nothing runs them until it resumes.
    const std::string& restLabel() const override { return name; }
    void stopPending() override {}
    std::optional<std::uint64_t> waitIdle(std::chrono::steady_clock::time_point deadline) override {
        std::unique_lock lock(mutex);
        if (!progress.wait_until(lock, deadline, [this] { return isIdleLocked(); }))
            return std::nullopt;
        return activity;
    }
    bool isIdleLocked() const { return !running && (pending.empty() || suspended); }

    // The worker: takes operations one at a time while the queue is not suspended.
    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            workAvailable.wait(lock,
                               [this] { return stopping || (!suspended && !pending.empty()); });
            if (stopping) return;
            std::function<void()> operation = std::move(pending.front());
            pending.pop_front();
            running = true;
            ++activity;
            lock.unlock();
            runCatching(where, operation);
            operation = nullptr;
            lock.lock();
            running = false;
            progress.notify_all();
        }
    }

    std::deque<std::function<void()>> takePending() {
        std::lock_guard lock(mutex);
        auto taken = std::exchange(pending, {});
        progress.notify_all();
        return taken;
    }

    const std::string name;
    const std::string where;
    mutable std::mutex mutex;
    std::condition_variable workAvailable;
    std::condition_variable progress;  // an operation finished, or the queue changed state
    std::deque<std::function<void()>> pending;
    bool suspended = false;
    bool running = false;
    bool stopping = false;
    std::uint64_t activity = 0;  // operations added or started
};

OperationQueue::OperationQueue(std::string name)
    : state_(std::make_shared<State>(std::move(name))),
      worker_([state = state_] { state->run(); }) {
    registerRestingQueue(state_);
}

OperationQueue::~OperationQueue() {
    const auto dropped = state_->takePending();
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->workAvailable.notify_all();
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

const std::string& OperationQueue::name() const {
    return state_->name;
}

void OperationQueue::addOperation(std::function<void()> block) {
    {
        std::lock_guard lock(state_->mutex);
        state_->pending.push_back(std::move(block));
        ++state_->activity;
    }
    state_->workAvailable.notify_all();
}

void OperationQueue::setSuspended(bool suspended) {
    {
        std::lock_guard lock(state_->mutex);
        state_->suspended = suspended;
    }
    state_->workAvailable.notify_all();
    state_->progress.notify_all();
}

bool OperationQueue::isSuspended() const {
    std::lock_guard lock(state_->mutex);
    return state_->suspended;
}

std::size_t OperationQueue::operationCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->pending.size() + (state_->running ? 1 : 0);
}

bool OperationQueue::waitUntilAllOperationsAreFinished() {
    if (worker_.get_id() == std::this_thread::get_id()) {
        systemLog("An operation of \"" + state_->name +
                  "\" cannot wait for its own queue to finish");
        return false;
    }
    std::unique_lock lock(state_->mutex);
    state_->progress.wait(lock, [this] {
        return !state_->running && (state_->pending.empty() || state_->suspended);
    });
    return state_->pending.empty();
}

void OperationQueue::cancelAllOperations() {
    const auto dropped = state_->takePending();
}

}  // namespace platform
