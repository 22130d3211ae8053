#include "engine/environment/KLVDataCollectionOrigin.h"

#include <mutex>

#include "platform/foundation/SharedInstance.h"

namespace engine {

namespace {

struct OriginSlot {
    std::mutex mutex;
    std::string origin;
};

}  // namespace

std::string KLVDataCollectionOrigin::origin() {
    auto& slot = platform::SharedInstance<OriginSlot>::get();
    std::lock_guard lock(slot.mutex);
    return slot.origin;
}

void KLVDataCollectionOrigin::setOrigin(std::string_view origin) {
    auto& slot = platform::SharedInstance<OriginSlot>::get();
    std::lock_guard lock(slot.mutex);
    slot.origin = origin;
}

}  // namespace engine
