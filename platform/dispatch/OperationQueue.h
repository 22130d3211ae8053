#pragma once

// An operation queue that runs one operation at a time, in the order added, on a thread of its
// own. It can be suspended: operations added meanwhile wait, and run in order once it resumes.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace platform {

class OperationQueue {
  public:
    explicit OperationQueue(std::string name = "OperationQueue");
    // Cancels the operations that have not started and waits for the running one (unless called
    // from that operation, which then finishes on its own).
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    const std::string& name() const;

    // Adds an operation; an exception it lets escape is logged and the queue goes on.
    void addOperation(std::function<void()> block);

    // While suspended, no further operation starts; the running one finishes.
    void setSuspended(bool suspended);
    bool isSuspended() const;

    // Operations added and not finished, the running one included.
    std::size_t operationCount() const;

    // Waits until no operation runs and none is queued; true then. While the queue is suspended
    // queued operations would never run, so it returns false as soon as none runs instead of
    // waiting for good. Called from one of the queue's own operations (which could never finish
    // first) it logs and returns false at once.
    bool waitUntilAllOperationsAreFinished();

    // Drops every operation that has not started; the running one finishes.
    void cancelAllOperations();

  private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread worker_;
};

}  // namespace platform
