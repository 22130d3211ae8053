#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/dispatch/QueueCore.h"
#include "platform/dispatch/QueueRest.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NoDestructor.h"
#include "platform/foundation/SharedInstance.h"

namespace platform {

namespace {

class MainQueue final : public DispatchQueue {
  public:
    MainQueue() : core_(std::make_shared<QueueCore>("main", true)) {
        core_->setOwner(this);
        registerRestingQueue(core_);
    }

    void async(std::function<void()> block) override { core_->post(std::move(block)); }
    void sync(const std::function<void()>& block) override { core_->sync(block); }
    std::shared_ptr<Cancelable> after(double seconds, std::function<void()> block) override {
        return core_->after(seconds, std::move(block));
    }
    const std::string& label() const override { return core_->label(); }
    bool isCurrent() const override { return DispatchQueue::current() == this; }

    QueueCore& core() { return *core_; }

  private:
    const std::shared_ptr<QueueCore> core_;
};

struct MainState {
    MainQueue queue;
    // Held while a thread drains, so the main queue stays serial.
    std::recursive_mutex drainMutex;
    // The thread that last drained; none until then.
    std::atomic<std::thread::id> mainThread{};
};

void resetMainState();

MainState& mainState() {
    static NoDestructor<MainState> state;
    static std::once_flag registered;
    std::call_once(registered, [] { registerSharedReset("platform::mainQueue", resetMainState); });
    return state.get();
}

// Pending blocks are dropped (a test must not see the previous test's work) and the main thread
// goes back to the process's initial thread.
void resetMainState() {
    auto& state = mainState();
    const auto dropped = state.queue.core().clear();
    state.mainThread.store(std::thread::id{});
}

bool isInitialThread() {
    thread_local const bool initial = gettid() == getpid();
    return initial;
}

// Runs blocks taken by `take` until it answers none.
template <typename Take>
void drainMainQueue(Take take) {
    auto& state = mainState();
    std::lock_guard drain(state.drainMutex);
    state.mainThread.store(std::this_thread::get_id());
    auto& core = state.queue.core();
    while (auto block = take(core)) {
        core.runAsOwner(*block);
    }
}

}  // namespace

QueueCore& mainQueueCore() {
    return mainState().queue.core();
}

DispatchQueue& mainQueue() {
    return mainState().queue;
}

void runUntilIdle() {
    drainMainQueue([](QueueCore& core) { return core.tryTake(); });
}

void runMainLoop() {
    drainMainQueue([](QueueCore& core) { return core.takeWaiting(true); });
}

void stopMainLoop() {
    mainState().queue.core().requestStop();
}

bool isMainThread() {
    const std::thread::id mainThread = mainState().mainThread.load();
    if (mainThread != std::thread::id{}) return mainThread == std::this_thread::get_id();
    return isInitialThread();
}

}  // namespace platform
