#include "platform/foundation/SharedInstance.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform {
namespace {

struct Counter {
    int value = 0;
};

std::vector<std::string>& resets() {
    static std::vector<std::string> order;
    return order;
}

TEST(SharedInstanceTest, ResetsRunLatestFirstAndGiveFreshInstances) {
    static std::once_flag once;
    std::call_once(once, [] {
        registerSharedReset("first", [] { resets().push_back("first"); });
        registerSharedReset("second", [] { resets().push_back("second"); });
    });
    SharedInstance<Counter>::get().value = 7;
    EXPECT_EQ(SharedInstance<Counter>::get().value, 7);

    resets().clear();
    resetSharedInstances();
    EXPECT_EQ(resets(), (std::vector<std::string>{"second", "first"}));
    EXPECT_EQ(SharedInstance<Counter>::get().value, 0);
}

}  // namespace
}  // namespace platform
