#include "platform/dispatch/TimerTable.h"

#include <atomic>
#include <cmath>
#include <limits>

namespace platform {

namespace {

std::uint64_t newTimerId() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

std::uint64_t TimerTable::add(double deadline, std::function<void()> fire) {
    if (std::isnan(deadline)) deadline = -std::numeric_limits<double>::infinity();
    const std::uint64_t id = newTimerId();
    byDeadline_.emplace(Key{deadline, id}, std::move(fire));
    deadlineOf_.emplace(id, deadline);
    return id;
}

std::optional<std::function<void()>> TimerTable::remove(std::uint64_t id) {
    const auto found = deadlineOf_.find(id);
    if (found == deadlineOf_.end()) return std::nullopt;
    const auto entry = byDeadline_.find(Key{found->second, id});
    std::function<void()> fire = std::move(entry->second);
    byDeadline_.erase(entry);
    deadlineOf_.erase(found);
    return fire;
}

std::optional<TimerTable::Due> TimerTable::popDue(double limit) {
    if (byDeadline_.empty()) return std::nullopt;
    auto first = byDeadline_.begin();
    if (first->first.first > limit) return std::nullopt;
    Due due{first->first.first, std::move(first->second)};
    deadlineOf_.erase(first->first.second);
    byDeadline_.erase(first);
    return due;
}

std::optional<double> TimerTable::nextDeadline() const {
    if (byDeadline_.empty()) return std::nullopt;
    return byDeadline_.begin()->first.first;
}

}  // namespace platform
