#include "platform/net/BoundedGrowth.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

// Fills a buffer in steps of `step` bytes up to `bound` and checks every move to a larger block:
// the block left behind holds at most half the bound, so old and new block together never pass
// it, and the capacity never passes the bound either.
TEST(BoundedGrowth, NoStepCopiesMoreThanHalfTheBoundOrGrowsPastIt) {
    for (const std::size_t bound : {1024u, 1025u, 1543u, 4096u, 65537u}) {
        for (const std::size_t step : {1u, 7u, 64u, 100u, 1000u}) {
            SCOPED_TRACE(testing::Message() << "bound " << bound << ", step " << step);
            Data data;
            std::size_t moves = 0;
            while (data.size() + step <= bound) {
                const std::size_t before = data.capacity();
                reserveWithin(data, data.size() + step, bound);
                if (data.capacity() != before) {
                    ++moves;
                    EXPECT_LE(before, bound / 2) << "a step copied more than half the bound";
                }
                EXPECT_LE(data.capacity(), bound);
                EXPECT_GE(data.capacity(), data.size() + step);
                data.resize(data.size() + step);
            }
            // Doubling keeps the number of moves logarithmic.
            EXPECT_LE(moves, 20u);
        }
    }
}

TEST(BoundedGrowth, ANeedBeyondTheBoundIsStillMet) {
    Data data;
    reserveWithin(data, 10, 100);
    reserveWithin(data, 150, 100);
    EXPECT_GE(data.capacity(), 150u);
    // A need just past half the bound takes the bound at once.
    Data half;
    reserveWithin(half, 51, 100);
    EXPECT_EQ(half.capacity(), 100u);
}

}  // namespace
}  // namespace platform
