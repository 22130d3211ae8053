#include "platform/foundation/SharedInstance.h"

#include <utility>
#include <vector>

namespace platform {

namespace {

struct Registration {
    std::string name;
    std::function<void()> reset;
};

std::mutex& registryMutex() {
    static std::mutex m;
    return m;
}

std::vector<Registration>& registry() {
    static std::vector<Registration> entries;
    return entries;
}

}  // namespace

void registerSharedReset(std::string name, std::function<void()> reset) {
    std::lock_guard lock(registryMutex());
    registry().push_back({std::move(name), std::move(reset)});
}

void resetSharedInstances() {
    // The resets run without the registry lock: dropping one instance may create or register
    // another (a destructor that reaches for a shared instance), which must not deadlock.
    std::vector<Registration> entries;
    {
        std::lock_guard lock(registryMutex());
        entries = registry();
    }
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        entry->reset();
    }
}

}  // namespace platform
