#include "platform/security/Random.h"

#include <gtest/gtest.h>

#include <array>

#include "platform/foundation/SharedInstance.h"

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

TEST(Random, UniformDrawsStayInRangeAndCanBeScripted) {
    for (std::uint32_t bound : {0u, 1u, 2u, 7u, 0x80000001u}) {
        for (int i = 0; i < 50; ++i)
            EXPECT_LE(randomUniform(bound), bound == 0 ? 0 : bound - 1);
    }
    std::uint32_t seen = 0;
    setRandomUniformSource([&](std::uint32_t bound) {
        seen = bound;
        return 12u;
    });
    EXPECT_EQ(randomUniform(10), 2u);  // kept inside the bound whatever the script says
    EXPECT_EQ(seen, 10u);
    resetSharedInstances();
    seen = 0;
    randomUniform(10);
    EXPECT_EQ(seen, 0u);
}

}  // namespace
}  // namespace platform
