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
    EXPECT_EQ(stored->currentSessionCount(), 3);
    EXPECT_EQ(stored->lastSampledComplexEventID(), 1234567890123);
    EXPECT_TRUE(stored->lastExemptFromSampling());
    EXPECT_EQ(stored->lastBundledDay(), 19675);

    // Written without a complex event, a row forgets the one it had.
    update(aggregates("_s", 8));
    EXPECT_EQ(database_->eventAggregatesWithName("_s")->lastSampledComplexEventID(), std::nullopt);
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
    ASSERT_TRUE(database_->deleteAllEventAggregatesInSnapshot());
}

}  // namespace
}  // namespace engine
