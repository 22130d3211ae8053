#include "engine/base/KLVScheduler.h"

#include <cassert>
#include <thread>
#include <utility>

#include "engine/base/KLVMeasurementBase.h"
#include "platform/foundation/Format.h"

namespace engine {

namespace {

void logException(std::int64_t code, const char* format, std::string_view blockID,
                  CaughtException exception) {
    KLVMeasurementBase::monitor().logWithLevel(
        kKLVLogErrorMonitored, code, platform::formatString(format, blockID), std::move(exception));
}

}  // namespace

KLVScheduler::KLVScheduler(std::string workerQueueLabel)
    : serialQueue_(std::make_shared<platform::SerialQueue>(std::move(workerQueueLabel))),
      workerQueue_(serialQueue_) {}

KLVSequenceChecker::Owner KLVSequenceChecker::callerIdentity() {
    if (auto* queue = platform::DispatchQueue::current()) return queue;
    return std::this_thread::get_id();
}

void KLVSequenceChecker::check(std::string_view methodName) {
#ifndef NDEBUG
    const Owner caller = callerIdentity();
    std::lock_guard lock(mutex_);
    if (!owner_) {
        owner_ = caller;
        return;
    }
    if (*owner_ == caller) return;
    KLVMeasurementBase::monitor().logWithLevel(
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
    KLVMeasurementBase::monitor().logWithLevel(
        kKLVLogErrorMonitored, 30001,
        platform::formatString("Method %@ should execute on background thread", name));
    return false;
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
        KLVMeasurementBase::monitor().logWithLevel(
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
        KLVMeasurementBase::monitor().logWithLevel(
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
        KLVMeasurementBase::monitor().logWithLevel(
            kKLVLogWarningMonitored, 30004,
            platform::formatString("Synchronous task failed. Block ID=%@", blockID));
    }
}

}  // namespace engine
