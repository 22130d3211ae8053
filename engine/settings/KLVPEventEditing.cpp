#include "engine/settings/KLVPEventEditing.h"

#include <mutex>

#include "platform/foundation/SharedInstance.h"

namespace engine {

namespace {

struct FactorySlot {
    std::mutex mutex;
    KLVPEventEditing::Factory factory;
};

FactorySlot& factorySlot() {
    return platform::SharedInstance<FactorySlot>::get();
}

}  // namespace

void KLVPEventEditing::setFactory(Factory factory) {
    auto& slot = factorySlot();
    std::lock_guard lock(slot.mutex);
    slot.factory = std::move(factory);
}

std::shared_ptr<KLVPEventEditing> KLVPEventEditing::init() {
    Factory factory;
    {
        auto& slot = factorySlot();
        std::lock_guard lock(slot.mutex);
        factory = slot.factory;
    }
    return factory ? factory() : nullptr;
}

}  // namespace engine
