#include "platform/foundation/SharedInstance.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <string>
#include <tuple>
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

// The settle step runs before the resets and after each one; a false answer leaves the instances
// not yet reset as they are.
TEST(SharedInstanceTest, SettleStepRunsBetweenResetsAndCanStopThem) {
    static std::once_flag once;
    static std::vector<std::string> steps;
    std::call_once(once, [] {
        SharedInstance<Counter>::get();  // registered before the two below, so reset after them
        registerSharedReset("older", [] { steps.push_back("older"); });
        registerSharedReset("newer", [] { steps.push_back("newer"); });
    });
    using Steps = std::vector<std::string>;
    const std::tuple<int, Steps, int> cases[] = {
        {0, {"settle"}, 5},
        {1, {"settle", "newer", "settle"}, 5},
        {2, {"settle", "newer", "settle", "older", "settle"}, 5},
        // Never refused: the counter goes too, and the resets registered before it follow.
        {-1, {"settle", "newer", "settle", "older", "settle", "settle"}, 0},
    };
    for (const auto& [refuseAt, expected, value] : cases) {
        SCOPED_TRACE(refuseAt);
        SharedInstance<Counter>::get().value = 5;
        steps.clear();
        int settles = 0;
        auto previous = setSharedResetSettle([&, refuseAt = refuseAt] {
            steps.push_back("settle");
            return settles++ != refuseAt;
        });
        resetSharedInstances();
        setSharedResetSettle(std::move(previous));
        if (refuseAt >= 0) {
            EXPECT_EQ(steps, expected);
        } else {
            ASSERT_GE(steps.size(), expected.size());
            EXPECT_EQ(Steps(steps.begin(), steps.begin() + expected.size()), expected);
        }
        EXPECT_EQ(SharedInstance<Counter>::get().value, value);
    }
}

// Queue workers keep running while the process exits, so a shared instance must outlive static
// destruction. A fresh process (the threadsafe style) builds the reader first, so that it is
// destroyed after the instance's storage: it must still find the instance it changed, not a freed
// or a new one.
TEST(SharedInstanceDeathTest, InstancesOutliveStaticDestruction) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct ReadAtExit {
                ~ReadAtExit() { std::_Exit(SharedInstance<Counter>::get().value == 7 ? 0 : 1); }
            };
            static ReadAtExit reader;
            SharedInstance<Counter>::get().value = 7;
            std::exit(2);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace platform
