// What the database keeps in memory of its own tables must always answer as the tables do: after
// its writes, after roll-backs (of a transaction or of a block in a grouped one) and after a commit
// of another connection.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "engine/database/DatabaseTestSupport.h"

namespace engine {
namespace {

using platform::Error;

// The answers the mirrors give, beside the tables' own (read through a second connection, which
// sees only what was committed, or by the same connection in its transaction).
struct Facts {
    std::optional<bool> rawEventsEmpty;
    std::optional<double> latestRawEventTime;
    std::optional<bool> realtimeRawEvents;
    std::optional<bool> bundlesEmpty;
    std::optional<double> latestBundleTime;
    std::optional<bool> realtimeBundles;
    std::int32_t allEvents = -1;
    std::optional<bool> hasAggregates;
    std::optional<bool> conditionalProperties;
    bool operator==(const Facts&) const = default;
    friend void PrintTo(const Facts& facts, std::ostream* os) {
        using ::testing::PrintToString;
        *os << "Facts{rawEventsEmpty: " << PrintToString(facts.rawEventsEmpty)
            << ", latestRawEventTime: " << PrintToString(facts.latestRawEventTime)
            << ", realtimeRawEvents: " << PrintToString(facts.realtimeRawEvents)
            << ", bundlesEmpty: " << PrintToString(facts.bundlesEmpty)
            << ", latestBundleTime: " << PrintToString(facts.latestBundleTime)
            << ", realtimeBundles: " << PrintToString(facts.realtimeBundles)
            << ", allEvents: " << facts.allEvents
            << ", hasAggregates: " << PrintToString(facts.hasAggregates)
            << ", conditionalProperties: " << PrintToString(facts.conditionalProperties) << '}';
    }
};

class KLVDatabaseMirrorsTest : public testing::DatabaseEventTest {
  protected:
    Facts facts() {
        KLVDatabase& db = *database_;
        Facts f;
        f.rawEventsEmpty = db.isRawEventsTableEmpty();
        f.latestRawEventTime = db.queryLatestRawEventTime();
        f.realtimeRawEvents = db.containsRealtimeRawEventsWithError();
        f.bundlesEmpty = db.isQueuedBundleTableEmpty();
        f.latestBundleTime = db.queryLatestBundleTime();
        f.realtimeBundles = db.containsRealtimeBundlesWithError();
        if (const auto counts = db.dailyCounts()) f.allEvents = counts->allEventsCount();
        f.hasAggregates = db.hasEventAggregatesWithName("shop");
        f.conditionalProperties = db.hasConditionalUserProperties();
        return f;
    }
    // The same facts, read from a fresh connection to the file.
    Facts stored() {
        auto fresh = testing::openMeasurementDatabase();
        EXPECT_TRUE(fresh);
        std::swap(fresh, database_);
        const Facts f = facts();
        std::swap(fresh, database_);
        return f;
    }
    KLVEvent event(double timestamp) {
        return *KLVEvent::initWithOrigin("app", true, "shop", timestamp, 0, platform::Dictionary{});
    }
    KLVPBMeasurementBundle bundle(double endSeconds) {
        KLVPBMeasurementBundle b;
        NANOSetString(b, KLVPBMeasurementBundle::app_id, testing::kTestAppID);
        NANOSetInt64(b, KLVPBMeasurementBundle::end_timestamp_millis,
                     static_cast<std::int64_t>(endSeconds * 1000));
        return b;
    }
    bool writeAll(double time, bool realtime) {
        KLVDatabase& db = *database_;
        auto counts = db.dailyCounts();
        if (!counts) return false;
        counts->incrementCountsForCurrentDay(counts->day(), true, false, 1);
        KLVConditionalUserProperty property;
        property.setName("cup");
        property.setOrigin("app");
        property.setValue(KLVValue::initWithInt64(1));
        return db.updateDailyCounts(*counts) &&
               db.updateEventAggregates(*KLVEventAggregates::initWithName("shop", 0, 0, 0, 0)) &&
               db.insertRawEvent(event(time), 1, realtime) &&
               db.insertBundle(bundle(time), realtime) &&
               db.updateConditionalUserProperty(property);
    }
};

TEST_F(KLVDatabaseMirrorsTest, WritesShowAndRolledBackWritesDoNot) {
    const Facts empty = facts();
    EXPECT_EQ(empty.rawEventsEmpty, true);
    EXPECT_EQ(empty.hasAggregates, false);
    EXPECT_EQ(empty.conditionalProperties, false);

    // A transaction that fails takes everything back, in memory too.
    EXPECT_FALSE(
        database_->performTransaction([&] { return writeAll(testing::kTestNow, true) && false; }));
    EXPECT_EQ(facts(), empty);
    EXPECT_EQ(stored(), empty);

    EXPECT_TRUE(database_->performTransaction([&] { return writeAll(testing::kTestNow, false); }));
    const Facts once = facts();
    EXPECT_EQ(once.rawEventsEmpty, false);
    EXPECT_EQ(once.latestRawEventTime, testing::kTestNow);
    EXPECT_EQ(once.realtimeRawEvents, false);
    EXPECT_EQ(once.allEvents, 1);
    EXPECT_EQ(once, stored());

    // In a grouped transaction a failed block is taken back alone.
    ASSERT_TRUE(database_->beginGroupedTransaction());
    EXPECT_TRUE(
        database_->performTransaction([&] { return writeAll(testing::kTestNow + 5, true); }));
    const Facts twice = facts();
    EXPECT_EQ(twice.latestRawEventTime, testing::kTestNow + 5);
    EXPECT_EQ(twice.realtimeBundles, true);
    EXPECT_EQ(twice.allEvents, 2);
    EXPECT_FALSE(database_->performTransaction(
        [&] { return writeAll(testing::kTestNow + 9, true) && false; }));
    EXPECT_EQ(facts(), twice);
    ASSERT_TRUE(database_->endGroupedTransaction());
    EXPECT_EQ(facts(), twice);
    EXPECT_EQ(stored(), twice);

    // Deletions are read again.
    EXPECT_TRUE(database_->deleteRawEventsWithMaxRowID(1));
    EXPECT_EQ(facts().latestRawEventTime, testing::kTestNow + 5);
    EXPECT_TRUE(database_->deleteRawEventsWithMaxRowID(100));
    EXPECT_TRUE(database_->deleteConditionalUserPropertyWithName("cup"));
    EXPECT_TRUE(database_->deleteAllEventAggregates());
    const Facts deleted = facts();
    EXPECT_EQ(deleted.rawEventsEmpty, true);
    EXPECT_EQ(deleted.hasAggregates, false);
    EXPECT_EQ(deleted.conditionalProperties, false);
    EXPECT_EQ(deleted, stored());

    // Writes made through the store itself, past the database's own operations, show too.
    EXPECT_TRUE(
        database_->performTransaction([&] { return writeAll(testing::kTestNow + 20, true); }));
    EXPECT_EQ(facts().rawEventsEmpty, false);
    auto& store = database_->sqliteStore();
    for (const char* table : {"raw_events", "queue", "conditional_properties"})
        ASSERT_TRUE(store.deleteRecordsFromTableWithName(table, "rowid > ?", {0}));
    ASSERT_TRUE(store.updateAllRecordsInTableWithName("app_metadata", "daily_events_count", 9));
    const Facts past = facts();
    EXPECT_EQ(past.rawEventsEmpty, true);
    EXPECT_EQ(past.bundlesEmpty, true);
    EXPECT_EQ(past.allEvents, 9);
    EXPECT_EQ(past, stored());
}

TEST_F(KLVDatabaseMirrorsTest, ACommitOfAnotherConnectionIsNoticedByTheNextTransaction) {
    EXPECT_TRUE(database_->performTransaction([&] { return writeAll(testing::kTestNow, true); }));
    const Facts before = facts();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(database_->sqliteStore().databasePath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other,
                           "DELETE FROM raw_events; DELETE FROM queue; DELETE FROM events; "
                           "DELETE FROM conditional_properties; "
                           "UPDATE app_metadata SET daily_events_count = 7",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    EXPECT_EQ(facts(), before);  // not looked at yet
    EXPECT_TRUE(database_->performTransaction([] { return true; }));
    const Facts after = facts();
    EXPECT_EQ(after.rawEventsEmpty, true);
    EXPECT_EQ(after.bundlesEmpty, true);
    EXPECT_EQ(after.allEvents, 7);
    EXPECT_EQ(after.hasAggregates, false);
    EXPECT_EQ(after.conditionalProperties, false);
    EXPECT_EQ(after, stored());
}

}  // namespace
}  // namespace engine
