#include "testkit/SharedReset.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/QueueRest.h"
#include "platform/foundation/SharedInstance.h"

namespace testkit {

namespace {

// Long enough for a database opened under ThreadSanitizer on a loaded two-core machine.
constexpr std::chrono::milliseconds kDefaultBound{30000};

std::atomic<std::chrono::milliseconds::rep> boundMilliseconds{kDefaultBound.count()};

bool settle() {
    const std::chrono::milliseconds bound{boundMilliseconds.load()};
    const auto busy = platform::bringQueuesToRest(bound);
    if (busy.empty()) return true;
    std::string names;
    for (const auto& label : busy)
        names += (names.empty() ? "\"" : ", \"") + label + "\"";
    ADD_FAILURE() << "Shared instances not reset: still busy after " << bound.count()
                  << " ms: " << names;
    return false;
}

}  // namespace

void installResetSettle() {
    static std::once_flag once;
    std::call_once(once, [] { platform::setSharedResetSettle(settle); });
}

std::chrono::milliseconds setResetBound(std::chrono::milliseconds bound) {
    return std::chrono::milliseconds(boundMilliseconds.exchange(bound.count()));
}

}  // namespace testkit
