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

std::function<bool()>& settleStep() {
    static std::function<bool()> settle;
    return settle;
}

}  // namespace

void registerSharedReset(std::string name, std::function<void()> reset) {
    std::lock_guard lock(registryMutex());
    registry().push_back({std::move(name), std::move(reset)});
}

std::function<bool()> setSharedResetSettle(std::function<bool()> settle) {
    std::lock_guard lock(registryMutex());
    return std::exchange(settleStep(), std::move(settle));
}

void resetSharedInstances() {
    // The resets run without the registry lock: dropping one instance may create or register
    // another (a destructor that reaches for a shared instance), which must not deadlock.
    std::vector<Registration> entries;
    std::function<bool()> settle;
    {
        std::lock_guard lock(registryMutex());
        entries = registry();
        settle = settleStep();
    }
    // Dropping one instance may start work elsewhere (a client cancels its requests, and their
    // completions run on other queues); that work ends before the next instance goes.
    if (settle && !settle()) return;
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        entry->reset();
        if (settle && !settle()) return;
    }
}

}  // namespace platform
