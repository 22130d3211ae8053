#include <sqlite3.h>

#include <string>

#include "engine/database/DatabaseTestSupport.h"
#include "engine/database/KLVDatabase.h"

namespace engine {
namespace {

using platform::Error;

class KLVDatabaseEventAggregatesTest : public testing::DatabaseEventTest {
  protected:
    static KLVEventAggregates aggregates(const std::string& name, std::int32_t lifetime = 1) {
        return *KLVEventAggregates::initWithName(name, lifetime, 2, 3, 100.5);
    }
    void update(const KLVEventAggregates& value) {
        Error error;
        ASSERT_TRUE(database_->updateEventAggregates(value, &error)) << error.description;
    }
    bool exec(const std::string& sql) {
        return sqlite3_exec(database_->sqliteStore().sqliteHandle(), sql.c_str(), nullptr, nullptr,
                            nullptr) == SQLITE_OK;
    }
    std::int32_t lifetime(const char* name) {
        const auto stored = database_->eventAggregatesWithName(name);
        return stored ? stored->lifetimeCount() : -1;
    }
};

TEST_F(KLVDatabaseEventAggregatesTest, RowsRoundTrip) {
    auto full = aggregates("_s", 7);
    full.setLastBundledTimestamp(90.25);
    full.setLastSampledComplexEventID(1234567890123);
    full.setLastSamplingRate(4);
    full.setLastExemptFromSampling(true);
    full.setLastBundledDay(19675);
    update(full);
    update(aggregates("level_up"));

    const auto stored = database_->eventAggregatesWithName("_s");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->lifetimeCount(), 7);
    EXPECT_EQ(stored->currentBundleCount(), 2);
    EXPECT_EQ(stored->currentSessionCount(), 3);
    EXPECT_EQ(stored->lastFireTimestamp(), 100.5);
    EXPECT_EQ(stored->lastBundledTimestamp(), 90.25);
    EXPECT_EQ(stored->lastSampledComplexEventID(), 1234567890123);
    EXPECT_EQ(stored->lastSamplingRate(), 4);
    EXPECT_TRUE(stored->lastExemptFromSampling());
    EXPECT_EQ(stored->lastBundledDay(), 19675);

    // Written without a complex event, a row forgets the one it had.
    update(aggregates("_s", 8));
    EXPECT_EQ(database_->eventAggregatesWithName("_s")->lastSampledComplexEventID(), std::nullopt);

    Error error;
    EXPECT_EQ(database_->eventAggregatesWithName("_e", &error), std::nullopt);
    EXPECT_EQ(error.code, 0);
    const auto all = database_->allEventAggregates();
    ASSERT_TRUE(all && all->size() == 2);
    // In rowid order: replacing a row gives it a new one.
    EXPECT_EQ((*all)[0].name(), "level_up");
    EXPECT_EQ((*all)[1].name(), "_s");
}

TEST_F(KLVDatabaseEventAggregatesTest, OlderRowsReadWithDefaults) {
    ASSERT_TRUE(
        exec("INSERT INTO events (name, lifetime_count, current_bundle_count, "
             "last_fire_timestamp) VALUES ('_e', 5, 1, 2.5)"));
    const auto stored = database_->eventAggregatesWithName("_e");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->lifetimeCount(), 5);
    EXPECT_EQ(stored->lastSamplingRate(), 1);
    EXPECT_FALSE(stored->lastExemptFromSampling());
    EXPECT_EQ(stored->lastBundledDay(), 0);
    EXPECT_EQ(stored->lastBundledTimestamp(), 0);
    EXPECT_EQ(stored->currentSessionCount(), 0);
    EXPECT_EQ(stored->lastSampledComplexEventID(), std::nullopt);
}

TEST_F(KLVDatabaseEventAggregatesTest, CountsAndSessions) {
    update(aggregates("tapped_menu_button"));
    update(aggregates("_s"));
    update(aggregates("x_y"));
    EXPECT_EQ(database_->publicEventCount(), 2);
    ASSERT_TRUE(database_->clearCurrentSessionCounts());
    EXPECT_EQ(database_->eventAggregatesWithName("x_y")->currentSessionCount(), 0);
    EXPECT_EQ(database_->eventAggregatesWithName("x_y")->currentBundleCount(), 2);
    ASSERT_TRUE(database_->deleteAllEventAggregates());
    EXPECT_EQ(database_->publicEventCount(), 0);
}

TEST_F(KLVDatabaseEventAggregatesTest, TableHoldsAThousandNames) {
    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 0; i < 1000; ++i) {
            if (!database_->updateEventAggregates(aggregates("e" + std::to_string(i)))) {
                return false;
            }
        }
        return true;
    }));
    Error error;
    EXPECT_FALSE(database_->updateEventAggregates(aggregates("e1000"), &error));
    EXPECT_EQ(error.description, "Failed to insert data type. Table is full");
    EXPECT_TRUE(database_->updateEventAggregates(aggregates("e999", 9)));
    EXPECT_EQ(lifetime("e999"), 9);
}

TEST_F(KLVDatabaseEventAggregatesTest, SnapshotRestores) {
    // Without a snapshot nothing changes.
    update(aggregates("_s", 1));
    EXPECT_TRUE(database_->restoreFromEventsSnapshotTable());
    EXPECT_EQ(database_->eventAggregatesSnapshotWithName("_s"), std::nullopt);
    EXPECT_EQ(lifetime("_s"), 1);

    ASSERT_TRUE(database_->createEventsSnapshotTable());
    EXPECT_EQ(database_->eventAggregatesSnapshotWithName("_s")->lifetimeCount(), 1);
    update(aggregates("_s", 5));
    update(aggregates("_f", 1));  // the first open is counted after the snapshot
    update(aggregates("_e", 3));
    ASSERT_TRUE(database_->restoreFromEventsSnapshotTable());
    EXPECT_EQ(lifetime("_s"), 1);
    EXPECT_EQ(lifetime("_f"), 1);
    EXPECT_EQ(lifetime("_e"), -1);
    // The snapshot is empty now: a second restore changes nothing.
    update(aggregates("_s", 6));
    ASSERT_TRUE(database_->restoreFromEventsSnapshotTable());
    EXPECT_EQ(lifetime("_s"), 6);

    // A snapshot that counted the first open restores its own row.
    update(aggregates("_f", 4));
    ASSERT_TRUE(database_->createEventsSnapshotTable());
    update(aggregates("_f", 9));
    ASSERT_TRUE(database_->restoreFromEventsSnapshotTable());
    EXPECT_EQ(lifetime("_f"), 4);
    ASSERT_TRUE(database_->deleteAllEventAggregatesInSnapshot());
}

}  // namespace
}  // namespace engine
