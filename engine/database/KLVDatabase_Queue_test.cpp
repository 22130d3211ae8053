#include <sqlite3.h>

#include <limits>
#include <string>

#include "engine/database/DatabaseTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/stores/KLVPersistedConfig.h"

namespace engine {
namespace {

using platform::Error;
using platform::Object;
using Row = KLVDatabase::Row;
using ::testing::HasSubstr;

constexpr double kMaxQueueTime = 2'419'200;  // the default setting
constexpr double kDeletionInterval = 86'400;

class KLVDatabaseQueueTest : public testing::DatabaseEventTest {
  protected:
    // A bundle whose encoded form is `size` bytes (at least 20), padded through its app ID.
    static KLVPBMeasurementBundle bundle(std::size_t size = 40,
                                         double endTimestamp = testing::kTestNow) {
        KLVPBMeasurementBundle message;
        NANOSetInt64(message, KLVPBMeasurementBundle::end_timestamp_millis,
                     static_cast<std::int64_t>(endTimestamp * 1000));
        for (std::size_t padding = 1;; ++padding) {
            NANOSetString(message, KLVPBMeasurementBundle::app_id, std::string(padding, 'a'));
            if (message.protoBuffer()->size() >= size) break;
        }
        EXPECT_EQ(message.protoBuffer()->size(), size);
        return message;
    }
    void insert(const KLVPBMeasurementBundle& message, bool isRealtime = false) {
        Error error;
        ASSERT_TRUE(database_->insertBundle(message, isRealtime, &error)) << error.description;
    }
    std::vector<std::int64_t> rowIDs(const std::optional<std::vector<KLVQueuedBundle>>& queued) {
        std::vector<std::int64_t> ids;
        for (const auto& entry : queued.value_or(std::vector<KLVQueuedBundle>{})) {
            ids.push_back(entry.rowID);
        }
        return ids;
    }
    std::vector<Row> retryCounts() {
        return *database_->sqliteStore().recordsForQuery(
            "SELECT rowid, retry_count FROM queue ORDER BY rowid", {});
    }
    bool exec(const std::string& sql) {
        return sqlite3_exec(database_->sqliteStore().sqliteHandle(), sql.c_str(), nullptr, nullptr,
                            nullptr) == SQLITE_OK;
    }
};

TEST_F(KLVDatabaseQueueTest, BundlesAreStoredCompressedAndReadOldestFirst) {
    const auto first = bundle(60);
    auto second = bundle(70);
    NANOSetInt32(second, KLVPBMeasurementBundle::retry_count, 2);
    insert(first);
    insert(second, true);

    const auto rows = *database_->sqliteStore().recordsForQuery("SELECT * FROM queue", {});
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].at("data").asData().at(0), 0x1f);  // gzip
    EXPECT_EQ(rows[1].at("retry_count"), Object(2));
    EXPECT_EQ(rows[1].at("is_realtime"), Object(1));
    EXPECT_EQ(database_->queryLatestBundleTime(), testing::kTestNow);
    EXPECT_EQ(database_->containsRealtimeBundlesWithError(), true);

    const auto queued = database_->queryBundlesWithCountLimit(10, 1000);
    ASSERT_TRUE(queued);
    ASSERT_EQ(queued->size(), 2u);
    EXPECT_EQ((*queued)[0].bundle, first);
    EXPECT_EQ((*queued)[1].bundle, second);
    EXPECT_EQ(rowIDs(database_->queryBundlesWithRowIDs({2, 7})), std::vector<std::int64_t>{2});
    EXPECT_THAT(logLines(), ::testing::Not(::testing::Contains(HasSubstr("I-ACS012016"))));
}

TEST_F(KLVDatabaseQueueTest, InsertRefusals) {
    KLVPBMeasurementBundle withoutAppID;
    NANOSetInt64(withoutAppID, KLVPBMeasurementBundle::end_timestamp_millis, 5);
    auto withoutTime = bundle();
    NANOClearField(withoutTime, KLVPBMeasurementBundle::end_timestamp_millis);
    const struct {
        const char* label;
        KLVPBMeasurementBundle bundle;
        const char* description;
    } cases[] = {
        {"no app ID", withoutAppID, "Failed to insert bundle without App ID"},
        {"no end time", withoutTime, "Failed to insert bundle without valid timestamp"},
    };
    for (const auto& c : cases) {
        Error error;
        EXPECT_FALSE(database_->insertBundle(c.bundle, false, &error)) << c.label;
        EXPECT_EQ(error.code, 1) << c.label;
        EXPECT_EQ(error.description, c.description) << c.label;
    }
    EXPECT_EQ(database_->isQueuedBundleTableEmpty(), true);
}

TEST_F(KLVDatabaseQueueTest, BundleOutsideTheQueueTimeIsKeptWithAWarning) {
    insert(bundle(40, testing::kTestNow - kMaxQueueTime - 10));
    EXPECT_EQ(database_->isQueuedBundleTableEmpty(), false);
    EXPECT_THAT(logLine(12016), HasSubstr("Storing bundle outside of the max uploading time span"));
}

TEST_F(KLVDatabaseQueueTest, ReadsStopAtTheLimits) {
    for (int i = 0; i < 5; ++i)
        insert(bundle(30));
    EXPECT_EQ(rowIDs(database_->queryBundlesWithCountLimit(3, 1000)),
              (std::vector<std::int64_t>{1, 2, 3}));
    ASSERT_TRUE(database_->deleteBundlesWithRowIDs({1, 2, 3, 4, 5}));

    const struct {
        const char* label;
        std::vector<std::size_t> sizes;
        std::int64_t sizeLimit;
        std::vector<std::size_t> taken;  // positions among the sizes
    } cases[] = {
        {"first that does not fit ends the read", {400, 700, 100}, 1000, {0}},
        {"exactly at the limit", {400, 600, 100}, 1000, {0, 1}},
        {"one larger than the limit comes alone", {1200, 100}, 1000, {0}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(exec("DELETE FROM queue"));
        for (const auto size : c.sizes)
            insert(bundle(size));
        const auto all = rowIDs(database_->queryBundlesWithCountLimit(100, 1'000'000));
        std::vector<std::int64_t> expected;
        for (const auto position : c.taken)
            expected.push_back(all.at(position));
        EXPECT_EQ(rowIDs(database_->queryBundlesWithCountLimit(100, c.sizeLimit)), expected)
            << c.label;
    }
    ASSERT_TRUE(exec("DELETE FROM queue"));
    EXPECT_EQ(database_->queryBundlesWithCountLimit(100, 1000)->size(), 0u);
}

TEST_F(KLVDatabaseQueueTest, UnreadableRowsStayAndAreSkipped) {
    insert(bundle());
    ASSERT_TRUE(database_->sqliteStore().upsertRecord(
        {{"data", platform::Data{1, 2, 3}}, {"bundle_end_timestamp", testing::kTestNow}}, "queue"));
    insert(bundle());
    EXPECT_EQ(rowIDs(database_->queryBundlesWithCountLimit(10, 1000)),
              (std::vector<std::int64_t>{1, 3}));
    EXPECT_EQ(rowIDs(database_->queryBundlesWithRowIDs({2})), std::vector<std::int64_t>{});
    EXPECT_EQ(*database_->sqliteStore().rowCountForTableWithName("queue"), 3);
}

TEST_F(KLVDatabaseQueueTest, RetryCountersRise) {
    for (int i = 0; i < 3; ++i)
        insert(bundle());
    ASSERT_TRUE(exec("UPDATE queue SET retry_count = NULL WHERE rowid = 3"));
    ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({1, 3}));
    ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({1}));
    EXPECT_EQ(logCount(12054), 0u);
    EXPECT_EQ(retryCounts(), (std::vector<Row>{{{"rowid", 1}, {"retry_count", 2}},
                                               {{"rowid", 2}, {"retry_count", 0}},
                                               {{"rowid", 3}, {"retry_count", Object()}}}));

    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    ASSERT_TRUE(
        exec("UPDATE queue SET retry_count = " + std::to_string(kMax) + " WHERE rowid = 2"));
    EXPECT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({1, 2}));
    EXPECT_EQ(logCount(12054), 1u);
    EXPECT_EQ(retryCounts()[0].at("retry_count"), Object(3));
    EXPECT_EQ(retryCounts()[1].at("retry_count"), Object(kMax));

    EXPECT_FALSE(database_->incrementRetryCounterForBundlesWithIDs({}));
}

TEST_F(KLVDatabaseQueueTest, DeletionByRowIDs) {
    for (int i = 0; i < 3; ++i)
        insert(bundle());
    Error error;
    EXPECT_FALSE(database_->deleteBundlesWithRowIDs({}, &error));
    EXPECT_EQ(error.code, 3);
    EXPECT_EQ(error.description, "Received empty row IDs to process");
    EXPECT_FALSE(database_->queryBundlesWithRowIDs({}));
    EXPECT_TRUE(database_->deleteBundlesWithRowIDs({1, 3, 9}));
    EXPECT_EQ(rowIDs(database_->queryBundlesWithCountLimit(10, 1000)),
              std::vector<std::int64_t>{2});
}

TEST_F(KLVDatabaseQueueTest, StaleDataIsSweptOncePerInterval) {
    // The first insertion runs the sweep and records when; the next sweep waits a day.
    insert(bundle(40, testing::kTestNow - kMaxQueueTime - 1));
    EXPECT_DOUBLE_EQ(KLVPersistedConfig::sharedInstance()->lastDeleteStaleBundlesTimestamp(),
                     testing::kTestNow);
    EXPECT_EQ(database_->maybeDeleteStaleData(), false);
    clock_.advance(kDeletionInterval + 1);
    EXPECT_EQ(database_->maybeDeleteStaleData(), true);
    EXPECT_EQ(database_->isQueuedBundleTableEmpty(), true);

    // Exactly the maximum age survives; one second more does not.
    insert(bundle(40, clock_->now() + kMaxQueueTime));
    insert(bundle(40, clock_->now() + kMaxQueueTime + 1));
    EXPECT_TRUE(database_->deleteStaleBundlesOlderThanMaxAge(kMaxQueueTime));
    EXPECT_EQ(rowIDs(database_->queryBundlesWithCountLimit(10, 1000)).size(), 1u);

    Error error;
    EXPECT_FALSE(database_->deleteStaleBundlesOlderThanMaxAge(-1, &error));
    EXPECT_EQ(error.description, "Cannot delete stale bundles after negative time period");
}

}  // namespace
}  // namespace engine
