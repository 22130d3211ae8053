#include "engine/base/KLVScheduler.h"

#include <utility>

#include "engine/base/KLVMeasurementBase.h"
#include "platform/foundation/Format.h"

namespace engine {

namespace {

constexpr std::int64_t kErrorLevel = 1;
constexpr std::int64_t kWarningLevel = 4;

void logException(std::int64_t code, const char* format, std::string_view blockID,
                  CaughtException exception) {
    KLVMeasurementBase::monitor().logWithLevel(
        kErrorLevel, code, platform::formatString(format, blockID), std::move(exception));
}

}  // namespace

KLVScheduler::KLVScheduler(std::string workerQueueLabel)
    : workerQueue_(std::make_shared<platform::SerialQueue>(std::move(workerQueueLabel))) {}

bool KLVScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName) {
    if (!platform::isMainThread()) return true;
    const std::string_view name = methodName.empty() ? "<empty method name>" : methodName;
    KLVMeasurementBase::monitor().logWithLevel(
        kErrorLevel, 30001,
        platform::formatString("Method %@ should execute on background thread", name));
    return false;
}

void KLVScheduler::scheduleOnWorkerQueueBlockID(std::string_view blockID,
                                                std::function<void()> block) {
    if (!block) {
        KLVMeasurementBase::monitor().logWithLevel(
            kErrorLevel, 30005,
            platform::formatString(
                "Nil block dispatched asynchronously on worker queue. Block ID=%@.", blockID));
        return;
    }
    workerQueue_->async([id = std::string(blockID), block = std::move(block)] {
        try {
            block();
        } catch (...) {
            logException(30000, "Exception on worker queue. Block ID=%@. Exception", id,
                         CaughtException::current());
        }
    });
}

void KLVScheduler::dispatchSyncOnWorkerQueueBlockID(std::string_view blockID,
                                                    const std::function<void()>& block) {
    if (!block) {
        KLVMeasurementBase::monitor().logWithLevel(
            kErrorLevel, 30002,
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
            kWarningLevel, 30004,
            platform::formatString("Synchronous task failed. Block ID=%@", blockID));
    }
}

}  // namespace engine
