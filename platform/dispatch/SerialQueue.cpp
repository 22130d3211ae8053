#include "platform/dispatch/SerialQueue.h"

#include <pthread.h>

#include <array>
#include <cstddef>
#include <utility>

#include "platform/dispatch/ProcessExit.h"
#include "platform/dispatch/QueueCore.h"
#include "platform/dispatch/QueueRest.h"
#include "platform/foundation/NoDestructor.h"

namespace platform {

namespace {

// Linux keeps at most 15 bytes of a thread name.
constexpr std::size_t kThreadNameLength = 15;

void workerLoop(const std::shared_ptr<QueueCore>& core) {
    pthread_setname_np(pthread_self(), core->label().substr(0, kThreadNameLength).c_str());
    while (auto block = core->takeWaiting(false)) {
        // Once the process is exiting the worker stops; a dropped sync block releases its caller.
        if (!processexit::enterBlock()) return;
        core->runAsOwner(*block);
        // What the block captured goes before the queue counts as idle: its destructors (the last
        // reference to a component, which cancels its alarm and logs) are part of the block.
        block.reset();
        core->finishTakenBlock();
        processexit::leaveBlock();
    }
}

constexpr std::array<const char*, 5> kGlobalQueueLabels = {
    "global.user-interactive", "global.user-initiated", "global.default",
    "global.utility",          "global.background",
};

struct GlobalQueues {
    GlobalQueues() {
        for (std::size_t i = 0; i < queues.size(); ++i) {
            queues[i] = std::make_unique<SerialQueue>(kGlobalQueueLabels[i]);
        }
    }
    std::array<std::unique_ptr<SerialQueue>, kGlobalQueueLabels.size()> queues;
};

}  // namespace

SerialQueue::SerialQueue(std::string label)
    : core_(std::make_shared<QueueCore>(std::move(label), false)) {
    core_->setOwner(this);
    registerRestingQueue(core_);
    processexit::installHandlerOnce();
    worker_ = std::thread([core = core_] { workerLoop(core); });
}

SerialQueue::~SerialQueue() {
    core_->close();
    const bool fromOwnChain =
        worker_.get_id() == std::this_thread::get_id() || core_->isHeldByCaller();
    if (!fromOwnChain) {
        worker_.join();
        return;
    }
    // Joining would wait for the very block that is running this destructor.
    core_->setOwner(nullptr);
    if (auto& context = threadContext(); context.current == this) context.current = nullptr;
    worker_.detach();
}

void SerialQueue::async(std::function<void()> block) {
    core_->post(std::move(block));
}

std::optional<std::uint64_t> SerialQueue::asyncNumbered(std::function<void()> block) {
    std::uint64_t number = 0;
    if (!core_->post(std::move(block), &number)) return std::nullopt;
    return number;
}

std::uint64_t SerialQueue::postedCount() const {
    return core_->postedCount();
}

void SerialQueue::sync(const std::function<void()>& block) {
    core_->sync(block);
}

std::shared_ptr<Cancelable> SerialQueue::after(double seconds, std::function<void()> block) {
    return core_->after(seconds, std::move(block));
}

const std::string& SerialQueue::label() const {
    return core_->label();
}

bool SerialQueue::isCurrent() const {
    return DispatchQueue::current() == this;
}

DispatchQueue* DispatchQueue::current() {
    if (DispatchQueue* running = threadContext().current) return running;
    return isMainThread() ? &mainQueue() : nullptr;
}

DispatchQueue& globalQueue(QualityOfService qos) {
    static NoDestructor<GlobalQueues> global;
    auto index = static_cast<std::size_t>(qos);
    if (index >= kGlobalQueueLabels.size())
        index = static_cast<std::size_t>(QualityOfService::Default);
    return *global->queues[index];
}

}  // namespace platform
