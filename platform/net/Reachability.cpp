#include "platform/net/Reachability.h"

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedInstance.h"

namespace platform {

Reachability& Reachability::shared() {
    return SharedInstance<Reachability>::get();
}

void Reachability::setReachable(bool reachable) {
    if (reachable_.exchange(reachable) == reachable) return;
    NotificationCenter::defaultCenter().postNotificationName(
        kReachabilityChangedNotification, this, {{kReachabilityReachableKey, reachable}});
}

}  // namespace platform
