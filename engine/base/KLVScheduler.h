#pragma once

// The measurement worker queue: the serial queue on which all measurement work runs. Every block
// goes in under a block identifier naming its call site ("KLVMeasurement:622"), which the log
// lines about it carry. A block that throws is caught and logged with its identifier, and the
// queue goes on with the next block; the rest of that block's work is lost.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

#include "platform/dispatch/SerialQueue.h"

namespace engine {

// Label of the measurement service's worker queue.
inline constexpr char kKLVWorkerQueueLabel[] = "com.nexory.trwa.worker";

// Debug builds check that an object meant for one serial queue (the database and its statement
// cache, the settings' store calls, the worker queue's work) is only used from one: the first
// caller's queue (or thread, off every queue) owns it unless an owner is given, and a call from
// elsewhere logs 30006 and stops the process. Release builds do nothing. detach() lets the next
// caller take it over (after a hand-over at start).
class KLVSequenceChecker {
  public:
    KLVSequenceChecker() = default;
    // Owned from the start by `queue`.
    explicit KLVSequenceChecker(const platform::DispatchQueue& queue);
    // Owned by whichever queue carries `label`: the worker queue, which each service makes anew.
    explicit KLVSequenceChecker(std::string label);

    void check(std::string_view methodName);
    void detach();

  private:
    using Owner = std::variant<const platform::DispatchQueue*, std::thread::id, std::string>;
    static Owner callerIdentity();
    static bool owns(const Owner& owner, const Owner& caller);

    std::mutex mutex_;
    std::optional<Owner> owner_;
};

class KLVScheduler {
  public:
    explicit KLVScheduler(std::string workerQueueLabel);
    KLVScheduler(const KLVScheduler&) = delete;
    KLVScheduler& operator=(const KLVScheduler&) = delete;

    // Logs (code 30001) and answers false when called on the main thread; true elsewhere. It
    // only reports: callers go on either way.
    static bool checkOnBackgroundThreadWithMethodName(std::string_view methodName);
    // For work that must run on the worker queue (a block of it, or a synchronous hop onto it):
    // the report above, and in debug builds a sequence check owned by the worker queue's label.
    static void checkOnWorkerQueue(std::string_view methodName);

    // Queues the block; an empty block is logged (30005) and not queued.
    void scheduleOnWorkerQueueBlockID(std::string_view blockID, std::function<void()> block);
    // The same, answering the block's number among every block ever queued on the worker queue
    // (nothing when it was not queued): while workerQueuePostedCount() still equals it, nothing
    // was queued behind it, so work handed to the block meanwhile keeps the queue's order.
    std::optional<std::uint64_t> scheduleNumberedOnWorkerQueueBlockID(std::string_view blockID,
                                                                      std::function<void()> block);
    std::uint64_t workerQueuePostedCount() const;
    // Runs the block on the worker queue and returns when it has run; an empty block is logged
    // (30002). Called on the worker queue itself it runs the block at once.
    void dispatchSyncOnWorkerQueueBlockID(std::string_view blockID,
                                          const std::function<void()>& block);

    // The worker queue, for alarms and the network's completions, and for label comparisons.
    const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return workerQueue_; }

  private:
    std::function<void()> catching(std::string_view blockID, std::function<void()> block);

    std::shared_ptr<platform::SerialQueue> serialQueue_;
    std::shared_ptr<platform::DispatchQueue> workerQueue_;
};

}  // namespace engine
