#pragma once

// Bringing every queue of the process to rest, so that a test can drop the shared instances with
// nothing running that still uses them. Serial queues, the main queue and operation queues take
// part from their creation until their last block has run (a queue destroyed from its own block
// takes part until its worker ends).

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// One queue as bringQueuesToRest() sees it.
class RestingQueue {
  public:
    virtual ~RestingQueue() = default;
    virtual const std::string& restLabel() const = 0;
    // Cancels the pending delayed blocks. The main queue, which no worker drains, also drops its
    // queued blocks (a worker waiting in a sync() onto it is let go).
    virtual void stopPending() = 0;
    // Waits until no block is queued or running, at most until `deadline`. Answers a count that
    // changes whenever a block is queued or started, read while idle; nothing when still busy.
    virtual std::optional<std::uint64_t> waitIdle(
        std::chrono::steady_clock::time_point deadline) = 0;
    // True when the calling thread runs a block of this queue (it cannot wait for itself).
    virtual bool isRunByCaller() const { return false; }
};

// Called by each queue when it is made.
void registerRestingQueue(const std::shared_ptr<RestingQueue>& queue);

// Cancels every pending delayed block, drops the main queue's pending blocks, and waits until
// no queue has a block queued or running, round after round, until a round finds every queue as
// idle as the round before it and no block queued or started in between. Queues the calling
// thread runs a block of are left out. Answers the labels of the queues still busy once `bound`
// has passed; empty when everything is at rest.
std::vector<std::string> bringQueuesToRest(std::chrono::milliseconds bound);

}  // namespace platform
