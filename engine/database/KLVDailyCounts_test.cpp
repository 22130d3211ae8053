#include "engine/database/KLVDailyCounts.h"

#include <gtest/gtest.h>

#include <limits>

namespace engine {
namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

TEST(KLVDailyCountsTest, CountingRules) {
    struct Case {
        const char* name;
        void (*apply)(KLVDailyCounts&);
        KLVDailyCounts expected;
    };
    const KLVDailyCounts start(20000, 1, 2, 3, 4, 5, 6);
    const Case cases[] = {
        {"public conversion counted three times",
         [](KLVDailyCounts& c) { c.incrementCountsForCurrentDay(20000, true, true, 3); },
         {20000, 2, 5, 6, 4, 5, 6}},
        {"private event",
         [](KLVDailyCounts& c) { c.incrementCountsForCurrentDay(20000, false, false); },
         {20000, 1, 3, 3, 4, 5, 6}},
        {"error event counts as an event",
         [](KLVDailyCounts& c) { c.incrementErrorEventsCountForCurrentDay(20000); },
         {20000, 1, 3, 3, 5, 5, 6}},
        {"realtime",
         [](KLVDailyCounts& c) { c.incrementRealtimeCountsForCurrentDay(20000); },
         {20000, 1, 2, 3, 4, 6, 6}},
        {"dcu realtime",
         [](KLVDailyCounts& c) { c.incrementDCURealtimeCountsForCurrentDay(20000); },
         {20000, 1, 2, 3, 4, 5, 7}},
        {"a new day zeroes all six first",
         [](KLVDailyCounts& c) { c.incrementCountsForCurrentDay(20001, true, true, 3); },
         {20001, 1, 3, 3, 0, 0, 0}},
        {"new day for realtime",
         [](KLVDailyCounts& c) { c.incrementRealtimeCountsForCurrentDay(19999); },
         {19999, 0, 0, 0, 0, 1, 0}},
        {"decrement keeps the day",
         [](KLVDailyCounts& c) { c.decrementAllEventsCount(); },
         {20000, 1, 1, 3, 4, 5, 6}},
        {"reset", [](KLVDailyCounts& c) { c.resetWithNewDay(7); }, {7, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KLVDailyCounts counts = start;
        c.apply(counts);
        EXPECT_EQ(counts, c.expected);
    }
}

TEST(KLVDailyCountsTest, BoundsWrapAndFloor) {
    KLVDailyCounts zero(1, 0, 0, 0, 0, 0, 0);
    zero.decrementAllEventsCount();
    EXPECT_EQ(zero.allEventsCount(), 0);

    KLVDailyCounts full(1, kMax, kMax, kMax, kMax, kMax, kMax);
    full.incrementCountsForCurrentDay(1, true, true, 2);
    full.incrementErrorEventsCountForCurrentDay(1);
    EXPECT_EQ(full, KLVDailyCounts(1, kMin, kMin + 2, kMin + 1, kMin, kMax, kMax));
    full.decrementAllEventsCount();  // a wrapped (negative) count goes to 0, not lower
    EXPECT_EQ(full.allEventsCount(), 0);
}

TEST(KLVDayNumberTest, FloorOfDaysSinceTheOffsetMidnight) {
    EXPECT_EQ(KLVDayNumber(1'700'000'000.0, 0), 19675);
    EXPECT_EQ(KLVDayNumber(86400.0 + 3599, 3600), 0);
    EXPECT_EQ(KLVDayNumber(86400.0 + 3600, 3600), 1);
    EXPECT_EQ(KLVDayNumber(0, 3600), -1);  // floor, not truncation
    EXPECT_EQ(KLVDayNumber(1e300, 0), kMax);
    EXPECT_EQ(KLVDayNumber(-1e300, 0), kMin);
    EXPECT_EQ(KLVDayNumber(std::numeric_limits<double>::quiet_NaN(), 0), 0);
}

}  // namespace
}  // namespace engine
