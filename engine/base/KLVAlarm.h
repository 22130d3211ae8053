#pragma once

// A named one-shot timer on a dispatch queue: runs one block after a delay, replaces a pending
// block when scheduled again, and can be cancelled. Its owner schedules and cancels it from the
// queue it fires on; destroying it cancels a pending block. Every step is logged under its name
// (codes 2000-2004).

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVAlarm {
  public:
    // An empty name logs as "Timer".
    KLVAlarm(std::shared_ptr<platform::DispatchQueue> queue, std::string name);
    ~KLVAlarm();
    KLVAlarm(const KLVAlarm&) = delete;
    KLVAlarm& operator=(const KLVAlarm&) = delete;

    // Cancels a pending block and runs `block` once on the queue after `delay` seconds (at once
    // for 0 or less). When it fires the alarm is idle again before the block runs, so the block
    // may schedule it anew. An empty block is refused (code 2000) and nothing changes.
    void runAfterDelay(double delay, std::function<void()> block);
    // Drops the pending block; does nothing while idle.
    void cancel();

    // A timer exists and has not been cancelled.
    bool hasActiveTimer() const;
    // When the pending block is due (wall time); nullopt while idle.
    std::optional<platform::Date> scheduledTimestamp() const;
    const std::string& name() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace engine
