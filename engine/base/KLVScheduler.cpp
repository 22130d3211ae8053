#include "engine/base/KLVScheduler.h"

#include <cassert>
#include <thread>
#include <utility>

#include "engine/base/KLVMonitor.h"
#include "platform/foundation/Format.h"

namespace engine {

namespace {

void logException(std::int64_t code, const char* format, std::string_view blockID,
                  CaughtException exception) {
    monitor().logWithLevel(kKLVLogErrorMonitored, code, platform::formatString(format, blockID),
                           std::move(exception));
}

}  // namespace

KLVScheduler::KLVScheduler(std::string workerQueueLabel)
    : serialQueue_(std::make_shared<platform::SerialQueue>(std::move(workerQueueLabel))),
      workerQueue_(serialQueue_) {}

KLVSequenceChecker::KLVSequenceChecker(const platform::DispatchQueue& queue) : owner_(&queue) {}

KLVSequenceChecker::KLVSequenceChecker(std::string label) : owner_(std::move(label)) {}

KLVSequenceChecker::Owner KLVSequenceChecker::callerIdentity() {
    if (auto* queue = platform::DispatchQueue::current()) return queue;
    return std::this_thread::get_id();
}

bool KLVSequenceChecker::owns(const Owner& owner, const Owner& caller) {
    if (const auto* label = std::get_if<std::string>(&owner)) {
        const auto* const* queue = std::get_if<const platform::DispatchQueue*>(&caller);
        return queue && (*queue)->label() == *label;
    }
    return owner == caller;
}

void KLVSequenceChecker::check(std::string_view methodName) {
#ifndef NDEBUG
    const Owner caller = callerIdentity();
    std::lock_guard lock(mutex_);
    if (!owner_) {
        owner_ = caller;
        return;
    }
    if (owns(*owner_, caller)) return;
    monitor().logWithLevel(
        kKLVLogError, 30006,
        platform::formatString("Method %@ called off the sequence that owns its object",
                               methodName));
    assert(false && "called off the owning sequence");
#else
    (void)methodName;
#endif
}

void KLVSequenceChecker::detach() {
    std::lock_guard lock(mutex_);
    owner_.reset();
}

bool KLVScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName) {
    if (!platform::isMainThread()) return true;
    const std::string_view name = methodName.empty() ? "<empty method name>" : methodName;
    monitor().logWithLevel(
        kKLVLogErrorMonitored, 30001,
        platform::formatString("Method %@ should execute on background thread", name));
    return false;
}

void KLVScheduler::checkOnWorkerQueue(std::string_view methodName) {
    checkOnBackgroundThreadWithMethodName(methodName);
    // Never destroyed: worker queues may still run while the process's statics go.
    static auto* const workerSequence = new KLVSequenceChecker(std::string(kKLVWorkerQueueLabel));
    workerSequence->check(methodName);
}

void KLVScheduler::scheduleOnWorkerQueueBlockID(std::string_view blockID,
                                                std::function<void()> block) {
    scheduleNumberedOnWorkerQueueBlockID(blockID, std::move(block));
}

std::function<void()> KLVScheduler::catching(std::string_view blockID,
                                             std::function<void()> block) {
    return [id = std::string(blockID), block = std::move(block)] {
        try {
            block();
        } catch (...) {
            logException(30000, "Exception on worker queue. Block ID=%@. Exception", id,
                         CaughtException::current());
        }
    };
}

std::optional<std::uint64_t> KLVScheduler::scheduleNumberedOnWorkerQueueBlockID(
    std::string_view blockID, std::function<void()> block) {
    if (!block) {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, 30005,
            platform::formatString(
                "Nil block dispatched asynchronously on worker queue. Block ID=%@.", blockID));
        return std::nullopt;
    }
    return serialQueue_->asyncNumbered(catching(blockID, std::move(block)));
}

std::uint64_t KLVScheduler::workerQueuePostedCount() const {
    return serialQueue_->postedCount();
}

void KLVScheduler::dispatchSyncOnWorkerQueueBlockID(std::string_view blockID,
                                                    const std::function<void()>& block) {
    if (!block) {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, 30002,
            platform::formatString(
                "Nil block dispatched synchronously on worker queue. Block ID=%@.", blockID));
        return;
    }
    bool completed = false;
    workerQueue_->sync([&] {
        try {
            block();
            completed = true;
        } catch (...) {
            logException(30003,
                         "Exception on worker queue when processing sync block. Block ID=%@. "
                         "Exception",
                         blockID, CaughtException::current());
        }
    });
    if (!completed) {
        monitor().logWithLevel(
            kKLVLogWarningMonitored, 30004,
            platform::formatString("Synchronous task failed. Block ID=%@", blockID));
    }
}

}  // namespace engine
