#pragma once

// The machinery shared by serial queues and the main queue: the block list, sync hand-over,
// queue timers, and the per-thread record of which queues the running code owns.
//
// Ownership of a queue travels with sync(): while a block of queue A waits in B.sync(f), f runs on
// B's worker but still counts as owning A, because A's worker is blocked for it. So f may call
// A.sync() and it runs inline instead of deadlocking; the same holds for the main queue when the
// main thread waits in a sync. Internal to platform/dispatch.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/QueueRest.h"
#include "platform/dispatch/SerialQueue.h"

namespace platform {

class Clock;
class QueueCore;

// What the calling thread is running: the innermost queue (for DispatchQueue::current()) and
// every queue its call chain owns.
struct ThreadContext {
    DispatchQueue* current = nullptr;
    std::vector<const QueueCore*> held;
};
ThreadContext& threadContext();

// The cancel token of one delayed block.
class QueueTimer final : public Cancelable {
  public:
    explicit QueueTimer(std::weak_ptr<QueueCore> core);
    void cancel() override;
    bool isCancelled() const override;
    // Records where the timer was scheduled, so cancel() can take it off the clock.
    void arm(const std::shared_ptr<Clock>& clock, std::uint64_t id);

  private:
    const std::weak_ptr<QueueCore> core_;
    mutable std::mutex mutex_;
    bool cancelled_ = false;
    std::weak_ptr<Clock> clock_;
    std::uint64_t id_ = 0;
};

class QueueCore final : public RestingQueue, public std::enable_shared_from_this<QueueCore> {
  public:
    using Block = std::function<void()>;

    // `isMain`: the main queue, which the main thread owns whenever it runs.
    QueueCore(std::string label, bool isMain);

    const std::string& label() const { return label_; }
    // The public queue object, answered by DispatchQueue::current(); null once it is destroyed.
    DispatchQueue* owner() const;
    void setOwner(DispatchQueue* owner);

    // Appends a block; false (and the block is dropped) once the queue is closed. `number`, when
    // given, receives the block's place in the count of blocks ever posted (1 for the first).
    bool post(Block block, std::uint64_t* number = nullptr);
    // The number of blocks ever posted: a posted block's number while none was posted after it.
    std::uint64_t postedCount() const { return postedCount_.load(std::memory_order_acquire); }
    // The next block, or nothing when there is none (tryTake), when the queue is closed and
    // drained (takeWaiting), or when a stop was requested (takeWaiting with honourStop; the
    // request is consumed).
    std::optional<Block> tryTake();
    std::optional<Block> takeWaiting(bool honourStop);
    // A serial queue's worker calls this after each block it took: until then no sync() caller
    // may run a block of its own on the queue.
    void finishTakenBlock();
    void requestStop();
    // Refuses new blocks and drops pending timers; queued blocks stay to be drained.
    void close();
    // Takes every queued block out (resets of the main queue); the caller destroys them.
    std::deque<Block> clear();

    // Runs a block as this queue's owner on the calling thread; exceptions are logged.
    void runAsOwner(const Block& block);
    void sync(const Block& block);
    std::shared_ptr<Cancelable> after(double seconds, Block block);

    // True when the calling thread's call chain owns this queue.
    bool isHeldByCaller() const;
    void forgetTimer(const QueueTimer* timer);

    // Taking part in bringQueuesToRest().
    const std::string& restLabel() const override { return label_; }
    // The main queue is never left out: its blocks are dropped, not waited for.
    bool isRunByCaller() const override { return !isMain_ && isHeldByCaller(); }
    void stopPending() override;
    std::optional<std::uint64_t> waitIdle(std::chrono::steady_clock::time_point deadline) override;

  private:
    void fireTimer(const std::shared_ptr<QueueTimer>& timer, Block block, bool waitForBlock);
    std::vector<const QueueCore*> callerChainWithThis() const;
    // Marks an idle serial queue busy for a block its sync() caller runs on its own thread;
    // false when the queue is busy, has queued blocks or is closed.
    bool enterIdle();
    void leave();
    // Cancels every pending timer; called without the lock.
    void cancelTimers();
    // Whether nothing is queued or running; under the lock.
    bool isIdleLocked() const { return blocks_.empty() && !running_; }

    const std::string label_;
    const std::string where_;  // how logged exceptions name the queue
    const bool isMain_;
    std::atomic<DispatchQueue*> owner_{nullptr};

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;  // for bringQueuesToRest(): the queue may have gone idle
    std::deque<Block> blocks_;
    // Counts blocks queued, started on a sync() caller's thread, and timers set.
    std::uint64_t activity_ = 0;
    bool closed_ = false;
    bool stopRequested_ = false;
    std::atomic<std::uint64_t> postedCount_{0};
    bool running_ = false;  // a block of a serial queue runs, on its worker or a sync() caller
    std::unordered_map<const QueueTimer*, std::weak_ptr<QueueTimer>> timers_;
};

// The core of mainQueue().
QueueCore& mainQueueCore();

}  // namespace platform
