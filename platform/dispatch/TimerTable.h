#pragma once

// Pending timers of a clock, ordered by deadline and, for equal deadlines, by scheduling order.
// Not thread-safe: the owning clock guards it with its own mutex. Timer ids are unique across all
// clocks of the process, so cancelling an id on a clock that did not issue it finds nothing.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

namespace platform {

class TimerTable {
  public:
    struct Due {
        double deadline;
        std::function<void()> fire;
    };

    // A NaN deadline counts as already due.
    std::uint64_t add(double deadline, std::function<void()> fire);
    // Removes the timer and hands back its function, so the owner can destroy it outside its
    // lock; nothing when it is not pending (fired, cancelled, or never issued here).
    std::optional<std::function<void()>> remove(std::uint64_t id);
    // Removes and returns the earliest timer whose deadline is at or before `limit`.
    std::optional<Due> popDue(double limit);
    std::optional<double> nextDeadline() const;
    std::size_t size() const { return byDeadline_.size(); }

  private:
    using Key = std::pair<double, std::uint64_t>;
    std::map<Key, std::function<void()>> byDeadline_;
    std::unordered_map<std::uint64_t, double> deadlineOf_;
};

}  // namespace platform
