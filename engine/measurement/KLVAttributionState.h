#pragma once

// The measurement service's state for campaign attribution: the conversion-value fetch of the ad
// network, the on-device conversion query and the search-ad reporter. Worker queue only.

#include <cstdint>
#include <memory>
#include <string_view>

#include "engine/base/KLVAlarm.h"
#include "platform/foundation/ProcessInfo.h"

namespace engine {

class KLVPrivateSetMembershipClient;
class KLVSearchAdReporter;

struct KLVAttributionState {
    // Conversion values of the ad network.
    bool isSKANRequestInProgress = false;
    bool fetchSKANWhenNetworkConnected = false;
    std::int32_t SKANRetryCount = 0;
    std::shared_ptr<KLVAlarm> SKANRetryAlarm;
    std::shared_ptr<KLVAlarm> SKANDelayAlarm;

    // On-device conversion.
    std::shared_ptr<KLVPrivateSetMembershipClient> privateSetMembershipClient;
    bool isPSMRequestInProgress = false;
    bool isPSMRequestPostponed = false;
    std::int32_t PSMStartCount = 0;
    std::int32_t PSMRetryCount = 0;
    std::shared_ptr<KLVAlarm> PSMRetryAlarm;

    std::shared_ptr<KLVSearchAdReporter> searchAdReporter;
};

// The process was launched with this argument.
inline bool KLVHasLaunchArgument(std::string_view argument) {
    for (const auto& a : platform::ProcessInfo::processInfo().arguments()) {
        if (a == argument) return true;
    }
    return false;
}

}  // namespace engine
