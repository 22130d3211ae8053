#include "platform/dispatch/QueueCore.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/ProcessExit.h"
#include "platform/dispatch/RunCatching.h"

namespace platform {

namespace {

// Installs a context for the duration of a block and puts the previous one back afterwards.
class ContextScope {
  public:
    ContextScope(DispatchQueue* current, std::vector<const QueueCore*> held)
        : saved_(std::exchange(threadContext(), ThreadContext{current, std::move(held)})) {}
    ~ContextScope() { threadContext() = std::move(saved_); }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

  private:
    ThreadContext saved_;
};

// A caller waiting in sync() for its block to run on the queue's thread.
class SyncRequest {
  public:
    void finish(std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        if (finished_) return;
        finished_ = true;
        error_ = std::move(error);
        done_.notify_all();
    }
    // Waits, then hands the block's exception on to the caller.
    void wait() {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return finished_; });
        if (error_) std::rethrow_exception(error_);
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::exception_ptr error_;
};

// Releases the waiting caller even when the posted block is dropped without running (a reset of
// the main queue), so sync() can never wait forever on a block nobody holds any more.
class FinishOnDrop {
  public:
    explicit FinishOnDrop(std::shared_ptr<SyncRequest> request) : request_(std::move(request)) {}
    ~FinishOnDrop() { request_->finish(nullptr); }
    FinishOnDrop(const FinishOnDrop&) = delete;
    FinishOnDrop& operator=(const FinishOnDrop&) = delete;

    SyncRequest& request() { return *request_; }

  private:
    const std::shared_ptr<SyncRequest> request_;
};

bool contains(const std::vector<const QueueCore*>& held, const QueueCore* core) {
    return std::find(held.begin(), held.end(), core) != held.end();
}

}  // namespace

ThreadContext& threadContext() {
    thread_local ThreadContext context;
    return context;
}

// --- QueueTimer ---

QueueTimer::QueueTimer(std::weak_ptr<QueueCore> core) : core_(std::move(core)) {}

void QueueTimer::cancel() {
    std::weak_ptr<Clock> clock;
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
        clock = clock_;
        id = id_;
    }
    if (const auto scheduledOn = clock.lock(); scheduledOn && id != 0) scheduledOn->cancel(id);
    if (const auto core = core_.lock()) core->forgetTimer(this);
}

bool QueueTimer::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void QueueTimer::arm(const std::shared_ptr<Clock>& clock, std::uint64_t id) {
    {
        std::lock_guard lock(mutex_);
        clock_ = clock;
        id_ = id;
        if (!cancelled_) return;
    }
    // Cancelled while it was being scheduled: take it off the clock now.
    clock->cancel(id);
}

// --- QueueCore ---

QueueCore::QueueCore(std::string label, bool isMain)
    : label_(std::move(label)), where_("queue \"" + label_ + "\""), isMain_(isMain) {}

DispatchQueue* QueueCore::owner() const {
    return owner_.load(std::memory_order_acquire);
}

void QueueCore::setOwner(DispatchQueue* owner) {
    owner_.store(owner, std::memory_order_release);
}

bool QueueCore::post(Block block, std::uint64_t* number) {
    // Notified under the lock: once the block is queued it may run and let its owner destroy the
    // queue, so the poster must not touch the queue after unlocking.
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    blocks_.push_back(std::move(block));
    const std::uint64_t posted = postedCount_.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (number) *number = posted;
    ++activity_;
    wake_.notify_all();
    return true;
}

std::optional<QueueCore::Block> QueueCore::tryTake() {
    std::lock_guard lock(mutex_);
    if (blocks_.empty()) return std::nullopt;
    Block block = std::move(blocks_.front());
    blocks_.pop_front();
    return block;
}

std::optional<QueueCore::Block> QueueCore::takeWaiting(bool honourStop) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] {
        // A closed queue's worker ends only once a caller's block is done, so that joining it
        // still waits for every block of the queue.
        return (!blocks_.empty() && !running_) || (closed_ && blocks_.empty() && !running_) ||
               (honourStop && stopRequested_);
    });
    if (honourStop && stopRequested_) {
        stopRequested_ = false;
        return std::nullopt;
    }
    if (blocks_.empty()) return std::nullopt;
    Block block = std::move(blocks_.front());
    blocks_.pop_front();
    if (!isMain_) running_ = true;
    return block;
}

void QueueCore::finishTakenBlock() {
    std::lock_guard lock(mutex_);
    running_ = false;
    if (blocks_.empty()) idle_.notify_all();
}

bool QueueCore::enterIdle() {
    std::lock_guard lock(mutex_);
    if (closed_ || running_ || !blocks_.empty()) return false;
    running_ = true;
    ++activity_;
    return true;
}

void QueueCore::leave() {
    std::lock_guard lock(mutex_);
    running_ = false;
    if (blocks_.empty()) idle_.notify_all();
    // The worker waits for the caller's block only when it has blocks to run or is closing;
    // waking it otherwise would cost a thread switch per sync().
    if (!blocks_.empty() || closed_) wake_.notify_all();
}

void QueueCore::requestStop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
}

void QueueCore::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    wake_.notify_all();
    cancelTimers();
}

void QueueCore::cancelTimers() {
    std::unordered_map<const QueueTimer*, std::weak_ptr<QueueTimer>> timers;
    {
        std::lock_guard lock(mutex_);
        std::swap(timers, timers_);
    }
    for (const auto& [raw, weak] : timers) {
        if (const auto timer = weak.lock()) timer->cancel();
    }
}

void QueueCore::stopPending() {
    cancelTimers();
    if (!isMain_) return;
    // Destroyed outside the lock: a block may hold the last reference to an object whose
    // destructor posts to this queue.
    const auto dropped = clear();
}

std::optional<std::uint64_t> QueueCore::waitIdle(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    // No worker drains the main queue; its blocks were dropped by stopPending().
    if (isMain_) return activity_;
    if (!idle_.wait_until(lock, deadline, [this] { return isIdleLocked(); })) return std::nullopt;
    return activity_;
}

std::deque<QueueCore::Block> QueueCore::clear() {
    std::lock_guard lock(mutex_);
    stopRequested_ = false;
    return std::exchange(blocks_, {});
}

bool QueueCore::isHeldByCaller() const {
    return contains(threadContext().held, this) || (isMain_ && isMainThread());
}

std::vector<const QueueCore*> QueueCore::callerChainWithThis() const {
    std::vector<const QueueCore*> chain = threadContext().held;
    // The main thread owns the main queue even between blocks, and goes on owning it while it
    // waits here.
    if (isMainThread()) {
        const QueueCore* mainCore = &mainQueueCore();
        if (!contains(chain, mainCore)) chain.push_back(mainCore);
    }
    chain.push_back(this);
    return chain;
}

void QueueCore::runAsOwner(const Block& block) {
    std::vector<const QueueCore*> held = threadContext().held;
    if (!contains(held, this)) held.push_back(this);
    ContextScope scope(owner(), std::move(held));
    runCatching(where_, block);
}

void QueueCore::sync(const Block& block) {
    // At exit no worker runs blocks any more (see ProcessExit.h); the caller runs its own.
    if (isHeldByCaller() || (!isMain_ && processexit::isExiting())) {
        ContextScope scope(owner(), threadContext().held);
        block();
        return;
    }
    // As the platform's own dispatch does, an idle serial queue runs a sync() block on the
    // caller's thread: the queue is just as exclusive, and no thread switch is paid. The main
    // thread keeps handing its blocks over, so code that asks whether it runs on the main thread
    // gets the same answer as before.
    if (!isMain_ && !isMainThread() && enterIdle()) {
        // Kept alive: the block may destroy the queue object that owns this core.
        const auto self = shared_from_this();
        struct Leave {
            QueueCore& core;
            ~Leave() { core.leave(); }
        } leaveAfterwards{*this};
        ContextScope scope(owner(), callerChainWithThis());
        block();
        return;
    }
    auto request = std::make_shared<SyncRequest>();
    // Only the posted block holds the finisher: dropping the block must release this caller.
    auto finisher = std::make_shared<FinishOnDrop>(request);
    const bool posted =
        post([this, &block, finisher = std::move(finisher), chain = callerChainWithThis()] {
            ContextScope scope(owner(), chain);
            try {
                block();
                finisher->request().finish(nullptr);
            } catch (...) {
                finisher->request().finish(std::current_exception());
            }
        });
    if (!posted) return;
    request->wait();
}

std::shared_ptr<Cancelable> QueueCore::after(double seconds, Block block) {
    auto timer = std::make_shared<QueueTimer>(weak_from_this());
    if (!(seconds > 0)) {
        post([timer, block = std::move(block)] {
            if (!timer->isCancelled()) block();
        });
        return timer;
    }
    const auto clock = Clock::currentShared();
    {
        std::lock_guard lock(mutex_);
        if (closed_) return timer;
        timers_.emplace(timer.get(), timer);
        ++activity_;
    }
    const bool waitForBlock = clock->waitsForTimerBlocks();
    const std::uint64_t id = clock->schedule(
        clock->uptime() + seconds,
        [core = shared_from_this(), timer, block = std::move(block), waitForBlock]() mutable {
            core->fireTimer(timer, std::move(block), waitForBlock);
        });
    timer->arm(clock, id);
    return timer;
}

void QueueCore::fireTimer(const std::shared_ptr<QueueTimer>& timer, Block block,
                          bool waitForBlock) {
    forgetTimer(timer.get());
    if (timer->isCancelled()) return;
    // Checked again on the queue: a cancel that comes after the post still keeps it from running.
    Block run = [timer, block = std::move(block), where = where_] {
        if (!timer->isCancelled()) runCatching(where, block);
    };
    // Nobody may be draining the main queue while another thread advances a manual clock, so
    // only the main thread waits for main-queue timer blocks.
    if (waitForBlock && (!isMain_ || isHeldByCaller())) {
        sync(run);
    } else {
        post(std::move(run));
    }
}

void QueueCore::forgetTimer(const QueueTimer* timer) {
    std::lock_guard lock(mutex_);
    timers_.erase(timer);
}

}  // namespace platform
