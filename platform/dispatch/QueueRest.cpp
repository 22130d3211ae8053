#include "platform/dispatch/QueueRest.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/foundation/NoDestructor.h"

namespace platform {

namespace {

// A wait on one queue lasts at most this long before the round starts over: the main queue's
// blocks are dropped at the start of each round, and a worker may be waiting for one of them.
constexpr auto kSlice = std::chrono::milliseconds(20);

struct RestRegistry {
    std::mutex mutex;
    std::vector<std::weak_ptr<RestingQueue>> queues;
    // Entries are pruned whenever the list has doubled since the last pruning.
    std::size_t pruneAt = 64;
};

RestRegistry& restRegistry() {
    static NoDestructor<RestRegistry> instance;
    return instance.get();
}

std::vector<std::shared_ptr<RestingQueue>> liveQueues() {
    auto& r = restRegistry();
    std::lock_guard lock(r.mutex);
    std::vector<std::shared_ptr<RestingQueue>> live;
    live.reserve(r.queues.size());
    for (const auto& weak : r.queues) {
        if (auto queue = weak.lock()) live.push_back(std::move(queue));
    }
    return live;
}

}  // namespace

void registerRestingQueue(const std::shared_ptr<RestingQueue>& queue) {
    auto& r = restRegistry();
    std::lock_guard lock(r.mutex);
    if (r.queues.size() >= r.pruneAt) {
        std::erase_if(r.queues, [](const auto& weak) { return weak.expired(); });
        r.pruneAt = std::max<std::size_t>(64, r.queues.size() * 2);
    }
    r.queues.push_back(queue);
}

std::vector<std::string> bringQueuesToRest(std::chrono::milliseconds bound) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + bound;
    // The count each queue answered in the last round; the queues are kept so that no address is
    // reused by a new queue while it is a key here.
    std::map<const RestingQueue*, std::uint64_t> seen;
    std::vector<std::shared_ptr<RestingQueue>> previous;
    for (;;) {
        auto queues = liveQueues();
        std::erase_if(queues, [](const auto& queue) { return queue->isRunByCaller(); });
        for (const auto& queue : queues)
            queue->stopPending();
        bool settled = true;
        std::vector<std::string> busy;
        std::vector<std::string> changed;
        std::map<const RestingQueue*, std::uint64_t> counts;
        for (const auto& queue : queues) {
            const auto count = queue->waitIdle(std::min(deadline, Clock::now() + kSlice));
            if (!count) {
                settled = false;
                busy.push_back(queue->restLabel());
                continue;
            }
            counts[queue.get()] = *count;
            const auto before = seen.find(queue.get());
            if (before == seen.end() || before->second != *count) {
                settled = false;
                changed.push_back(queue->restLabel());
            }
        }
        if (settled) return {};
        // Past the bound, a queue that is idle whenever it is asked but never stays so (a block
        // that queues itself again) counts as busy too.
        if (Clock::now() >= deadline) return busy.empty() ? changed : busy;
        seen = std::move(counts);
        previous = std::move(queues);
    }
}

}  // namespace platform
