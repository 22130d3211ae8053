#pragma once

// Serial dispatch queues: one worker thread each, blocks run one at a time in FIFO order.
// The main queue has no thread of its own: whoever runs the main loop drains it, and that thread
// is the main thread (the app's main(), or a test calling runUntilIdle()).
//
// An exception that escapes an asynchronous or delayed block is written to the system log and
// the queue goes on with its next block. An exception that escapes a sync() block reaches the
// caller of sync(), as if the block had been called directly.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>

namespace platform {

class QueueCore;

// Handle of a delayed block; cancel() keeps it from running if it has not started.
class Cancelable {
  public:
    virtual ~Cancelable() = default;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

class DispatchQueue {
  public:
    virtual ~DispatchQueue() = default;

    // Appends a block; returns at once.
    virtual void async(std::function<void()> block) = 0;
    // Runs a block on the queue and waits for it. Runs inline when the caller already owns the
    // queue: when it runs a block of this queue, or runs on behalf of one through another queue's
    // sync() (a block of A waiting in B.sync(f) lets f call A.sync() without deadlock), or is the
    // main thread and this is the main queue. Otherwise the block waits behind the blocks queued
    // before it.
    virtual void sync(const std::function<void()>& block) = 0;
    // Posts `block` after `seconds` of the installed clock (seconds <= 0: at once, as async()).
    // Never runs once cancelled: cancel() is checked again on the queue right before the block.
    // Under a manual clock, advance() waits for the block to run (see Clock::waitsForTimerBlocks).
    virtual std::shared_ptr<Cancelable> after(double seconds, std::function<void()> block) = 0;

    virtual const std::string& label() const = 0;
    // True when the calling thread is running a block of this queue (DispatchQueue::current()).
    virtual bool isCurrent() const = 0;

    // Convenience: sync() that returns the block's result.
    template <typename F>
    auto syncResult(F&& f) -> decltype(f()) {
        using R = decltype(f());
        if constexpr (std::is_void_v<R>) {
            sync(std::forward<F>(f));
        } else {
            std::optional<R> result;
            sync([&] { result.emplace(f()); });
            return std::move(*result);
        }
    }

    // The queue whose block the calling thread is running (inside B.sync(f), f runs on B); on the
    // main thread outside any block, the main queue; elsewhere null.
    static DispatchQueue* current();
};

// A queue with its own worker thread. Destruction stops taking blocks (later ones are dropped),
// cancels its pending delayed blocks, runs the blocks already queued, then joins the worker.
// A queue destroyed from its own block (directly or through a sync() chain) lets its worker
// finish the queued blocks on its own instead; the rest of that block must not use the queue.
class SerialQueue : public DispatchQueue {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> block) override;
    void sync(const std::function<void()>& block) override;
    std::shared_ptr<Cancelable> after(double seconds, std::function<void()> block) override;
    const std::string& label() const override;
    bool isCurrent() const override;

    // async() that answers the block's number in the count of blocks ever posted to this queue
    // (async, sync and delayed blocks alike), or nothing when the queue takes no more blocks.
    // While postedCount() still equals it, nothing was queued behind the block: work handed to it
    // meanwhile keeps its place in the queue's order.
    std::optional<std::uint64_t> asyncNumbered(std::function<void()> block);
    std::uint64_t postedCount() const;

  private:
    std::shared_ptr<QueueCore> core_;
    std::thread worker_;
};

// The main queue of the process (label "main"). Its blocks run only while some thread drains
// it, so sync() on it from another thread waits until the main loop or runUntilIdle() gets to the
// block: with nobody draining, that is a deadlock. sync() from the main thread runs inline.
// Manual-clock timers of the main queue run inside advance() when advance() is called on the main
// thread; otherwise they are posted and run at the next drain.
DispatchQueue& mainQueue();
// Runs main-queue blocks on the calling thread until none is left (blocks queued meanwhile run
// too). The calling thread becomes the main thread. One thread drains at a time; another thread
// calling it waits for that one to finish.
void runUntilIdle();
// Runs the main loop on the calling thread (which becomes the main thread), waiting for blocks,
// until stopMainLoop() is called.
void runMainLoop();
// Makes the running main loop return after its current block; when none runs, the next
// runMainLoop() returns at once. Callable from any thread.
void stopMainLoop();
// The main thread is the thread that last drained the main queue; before any drain (and after a
// reset of shared instances), the process's initial thread.
bool isMainThread();

// Shared concurrent-work queues by quality of service; each is a serial queue of its own here,
// which keeps ordering guarantees stronger than callers may assume, never weaker. They live for
// the process.
enum class QualityOfService { UserInteractive, UserInitiated, Default, Utility, Background };
DispatchQueue& globalQueue(QualityOfService qos = QualityOfService::Default);

}  // namespace platform
