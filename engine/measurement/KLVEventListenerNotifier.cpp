#include "engine/measurement/KLVEventListenerNotifier.h"

#include <memory>
#include <mutex>
#include <utility>

#include "platform/foundation/NoDestructor.h"

namespace engine {

namespace {

struct Slot {
    std::mutex mutex;
    std::shared_ptr<const KLVEventListenerNotifier> notifier;
};

Slot& slot() {
    static platform::NoDestructor<Slot> slot;
    return slot.get();
}

}  // namespace

void KLVSetEventListenerNotifier(KLVEventListenerNotifier notifier) {
    auto installed =
        notifier ? std::make_shared<const KLVEventListenerNotifier>(std::move(notifier)) : nullptr;
    std::lock_guard lock(slot().mutex);
    slot().notifier = std::move(installed);
}

void KLVNotifyEventListeners(const KLVEvent& event) {
    std::shared_ptr<const KLVEventListenerNotifier> notifier;
    {
        std::lock_guard lock(slot().mutex);
        notifier = slot().notifier;
    }
    if (notifier) (*notifier)(event);
}

}  // namespace engine
