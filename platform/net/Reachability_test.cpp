#include "platform/net/Reachability.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SharedInstance.h"

namespace platform {
namespace {

TEST(Reachability, PostsEachChangeOnceWithTheNewValue) {
    resetSharedInstances();
    Reachability& reachability = Reachability::shared();
    std::vector<Object> posted;
    const NotificationObserver observer = NotificationCenter::defaultCenter().addObserverForName(
        kReachabilityChangedNotification, &reachability, [&](const Notification& notification) {
            posted.push_back(notification.userInfo.at(kReachabilityReachableKey));
        });

    EXPECT_TRUE(reachability.isReachable());
    reachability.setReachable(true);
    reachability.setReachable(false);
    reachability.setReachable(false);
    EXPECT_FALSE(reachability.isReachable());
    reachability.setReachable(true);
    EXPECT_EQ(posted, (std::vector<Object>{false, true}));

    reachability.setReachable(false);
    resetSharedInstances();
    EXPECT_TRUE(Reachability::shared().isReachable());
}

}  // namespace
}  // namespace platform
