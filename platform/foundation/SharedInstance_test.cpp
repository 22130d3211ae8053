#include "platform/foundation/SharedInstance.h"

#include <gtest/gtest.h>

#include <cstdlib>

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
