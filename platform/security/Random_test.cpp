#include "platform/security/Random.h"

#include <gtest/gtest.h>

#include <array>

namespace platform {
namespace {

TEST(Random, FillsTheWholeBufferWithFreshBytes) {
    std::array<std::uint8_t, 32> first{};
    std::array<std::uint8_t, 32> second{};
    ASSERT_TRUE(randomBytes(first));
    ASSERT_TRUE(randomBytes(second));
    EXPECT_NE(first, second);
    EXPECT_NE(first, decltype(first){});
    EXPECT_TRUE(randomBytes({}));
}

}  // namespace
}  // namespace platform
