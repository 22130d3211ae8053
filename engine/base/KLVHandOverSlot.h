#pragma once

// A process-wide slot for a callback that an upper layer installs for a lower one (the front
// door's logging and consent calls, which the measurement components may not include). Install
// and read from any thread; a reader keeps the callback it read alive while it runs, so a
// concurrent replacement never pulls it away mid-call.

#include <memory>
#include <mutex>
#include <utility>

#include "platform/foundation/NoDestructor.h"

namespace engine {

template <typename Callback>
class KLVHandOverSlot {
  public:
    // The slot of this callback type and tag, living for the process.
    template <typename Tag>
    static KLVHandOverSlot& shared() {
        static platform::NoDestructor<KLVHandOverSlot> slot;
        return slot.get();
    }

    // An empty callback removes the installed one.
    void install(Callback callback) {
        auto installed = callback ? std::make_shared<const Callback>(std::move(callback)) : nullptr;
        std::lock_guard lock(mutex_);
        callback_ = std::move(installed);
    }
    // The installed callback, or null.
    std::shared_ptr<const Callback> get() const {
        std::lock_guard lock(mutex_);
        return callback_;
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Callback> callback_;
};

}  // namespace engine
