#include "engine/bundles/KLVRawEventBundleFilter.h"

#include <string>
#include <vector>

#include "engine/database/DatabaseTestSupport.h"

namespace engine {
namespace {

using platform::Error;

// An hour starts here: 472222 × 3600.
constexpr double kHourStart = 1'699'999'200.0;

class KLVRawEventBundleFilterTest : public testing::DatabaseEventTest {
  protected:
    void insert(std::int64_t fingerprint, double timestamp, const std::string& padding = "") {
        platform::Dictionary parameters;
        if (!padding.empty()) parameters["p"] = padding;
        auto event = KLVEvent::initWithOrigin("app", false, "e", timestamp, 0, parameters);
        ASSERT_TRUE(event);
        Error error;
        ASSERT_TRUE(database_->insertRawEvent(*event, fingerprint, false, &error))
            << error.description;
    }
    std::vector<std::int64_t> bundledRows(std::int64_t fingerprint, std::int64_t maxEvents,
                                          std::int64_t maxSize) {
        Error error;
        auto events = database_->rawEventsWithMetadataFingerprintForBundling(
            fingerprint, &error, KLVRawEventBundleFilter(maxEvents, maxSize));
        EXPECT_TRUE(events) << error.description;
        std::vector<std::int64_t> rows;
        for (const auto& event : events.value_or(std::vector<KLVRawEventData>{}))
            rows.push_back(event.rowID());
        return rows;
    }
    // The stored size of each row's event, in row order.
    std::vector<std::int64_t> storedSizes(std::int64_t fingerprint) {
        std::vector<std::int64_t> sizes;
        Error error;
        database_->rawEventsWithMetadataFingerprint(
            fingerprint, &error, [&](std::size_t, const KLVSqliteStore::Row& row) {
                sizes.push_back(static_cast<std::int64_t>(row.at("data").asData().size()));
                return true;
            });
        return sizes;
    }
};

TEST_F(KLVRawEventBundleFilterTest, RunsEndAtGapsHoursAndCounts) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::int64_t, double>> rows;  // fingerprint, timestamp
        std::int64_t maxEvents;
        std::vector<std::int64_t> expected;
    };
    const double h = kHourStart;
    const std::vector<Case> cases = {
        {"another fingerprint ends the run", {{1, h}, {1, h}, {2, h}, {1, h}}, 1000, {1, 2}},
        {"the last second of an hour and the first of the next", {{1, h - 1}, {1, h}}, 1000, {1}},
        {"a fraction of a second keeps the hour", {{1, h + 3599.9}, {1, h + 1}}, 1000, {1, 2}},
        {"the count limit", {{1, h}, {1, h}, {1, h}}, 2, {1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(1'000'000));
        for (const auto& [fingerprint, timestamp] : c.rows)
            insert(fingerprint, timestamp);
        EXPECT_EQ(bundledRows(1, c.maxEvents, 65536), c.expected);
    }
}

TEST_F(KLVRawEventBundleFilterTest, SizeStaysBelowTheLimitButTheFirstRowAlwaysGoes) {
    insert(7, kHourStart, std::string(40, 'x'));
    insert(7, kHourStart, std::string(40, 'y'));
    insert(7, kHourStart, std::string(40, 'z'));
    const auto sizes = storedSizes(7);
    ASSERT_EQ(sizes.size(), 3u);
    const std::int64_t two = sizes[0] + sizes[1];
    EXPECT_EQ(bundledRows(7, 1000, two + 1), (std::vector<std::int64_t>{1, 2}));
    // The total must stay strictly below the limit.
    EXPECT_EQ(bundledRows(7, 1000, two), (std::vector<std::int64_t>{1}));
    // A head row over the limit is bundled alone instead of blocking the run for ever.
    EXPECT_EQ(bundledRows(7, 1000, 1), (std::vector<std::int64_t>{1}));
}

}  // namespace
}  // namespace engine
