#include "engine/base/KLVMonitoringSampledData.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "testkit/ManualClock.h"

namespace engine {
namespace {

// Answers the scripted numbers in order and records the bounds it was asked for.
struct ScriptedRandom {
    std::deque<std::uint32_t> answers;
    std::vector<std::uint32_t> bounds;

    KLVMonitoringSampledData::UniformRandom function() {
        return [this](std::uint32_t bound) {
            bounds.push_back(bound);
            const std::uint32_t answer = answers.front();
            answers.pop_front();
            return answer;
        };
    }
};

TEST(KLVMonitoringSampledDataTest, EachMessageOfAPeriodHasTheSameChance) {
    testkit::ScopedManualClock clock;
    ScriptedRandom random{{0, 1}, {}};
    KLVMonitoringSampledData data({}, random.function());
    data.insertOrUpdateSampledDataWithKey("first", "a");
    clock.advance(5);
    data.insertOrUpdateSampledDataWithKey("second", "b");  // 0 of 2: replaces
    data.insertOrUpdateSampledDataWithKey("third", "c");   // 1 of 3: keeps
    EXPECT_EQ(random.bounds, (std::vector<std::uint32_t>{2, 3}));
    ASSERT_TRUE(data.sampledData());
    EXPECT_EQ(platform::Object(*data.sampledData()),
              platform::Object::array({"b", 3, "second", platform::Date{clock->kDefaultNow}}));
}

TEST(KLVMonitoringSampledDataTest, StoredSlotsAreAdoptedOnlyInTheirShape) {
    const platform::Date opened{1000};
    struct Case {
        platform::Object stored;
        bool adopted;
    };
    const Case cases[] = {
        {platform::Object::array({"ctx", 3, "key", opened}), true},
        {platform::Object::array({"ctx", 3.0, "key", opened}), true},
        {platform::Object::array({"ctx", "3", "key", opened}), false},
        {platform::Object::array({"ctx", 3, "key", 1000}), false},
        {platform::Object::array({"ctx", 3, "key"}), false},
        {platform::Object::array({"ctx", 3, "key", opened, "extra"}), false},
        {platform::Object::dict({{"key", "ctx"}}), false},
        {platform::Object(), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLVMonitoringSampledData::isValidUserDefaultsArrayEntry(c.stored), c.adopted)
            << c.stored.description();
        EXPECT_EQ(KLVMonitoringSampledData(c.stored).sampledData().has_value(), c.adopted);
    }
}

TEST(KLVMonitoringSampledDataTest, DispatchTexts) {
    EXPECT_EQ(KLVMonitoringSampledData::monitoringURLParamWithKey("1E_1:m", 3, "-,42"),
              "3:1E_1:m:-,42");
    EXPECT_EQ(KLVMonitoringSampledData::monitoringURLParamWithKey("1E_1:m", 3, ""), "3:1E_1:m");
    EXPECT_EQ(platform::Object(KLVMonitoringSampledData::sampledDataEntryWithKey(
                  "k", platform::Date{5}, "c", 2)),
              platform::Object::array({"c", 2, "k", platform::Date{5}}));
}

TEST(KLVMonitoringSampledDataTest, PopulationNeverWraps) {
    KLVMonitoringSampledData data(
        platform::Object::array({"c", std::int64_t{1} << 40, "k", platform::Date{0}}),
        [](std::uint32_t) { return 1u; });
    data.insertOrUpdateSampledDataWithKey("k2", "c2");
    EXPECT_EQ((*data.sampledData())[1], platform::Object(2147483647));
}

}  // namespace
}  // namespace engine
