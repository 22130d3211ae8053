#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/experiments/ExperimentsTestSupport.h"
#include "engine/experiments/KLVEDatabase.h"
#include "platform/foundation/Format.h"

namespace engine {
namespace {

using testing::idsOf;
using testing::kNow;
using testing::makeSnapshot;

class KLVEDatabaseTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        path_ = (dataRoot() / kKLVEDatabaseFileName).string();
        database_ = KLVEDatabase::initWithPath(path_);
        ASSERT_TRUE(database_);
    }

    // SDK name to (IDs, time, manual flag as stored) of a table, in rowid order.
    struct Row {
        std::string name;
        std::vector<std::int32_t> ids;
        double timestamp;
        bool manual;
        friend bool operator==(const Row&, const Row&) = default;
        friend void PrintTo(const Row& row, std::ostream* os) {
            *os << "Row{name: " << ::testing::PrintToString(row.name)
                << ", ids: " << ::testing::PrintToString(row.ids)
                << ", timestamp: " << platform::shortestNumberText(row.timestamp)
                << ", manual: " << ::testing::PrintToString(row.manual) << '}';
        }
    };
    std::vector<Row> rows(std::optional<KLVEDatabase::Snapshots> snapshots) {
        EXPECT_TRUE(snapshots);
        std::vector<Row> out;
        for (const auto& s : snapshots.value_or(KLVEDatabase::Snapshots{}))
            out.push_back({s->SDKName(), idsOf(s), s->timestamp(), s->manuallyActivated()});
        return out;
    }
    std::vector<Row> pending() { return rows(database_->fetchAllPendingSnapshots()); }
    std::vector<Row> activated() { return rows(database_->fetchAllActivatedSnapshots()); }
    std::vector<Row> launched() { return rows(database_->fetchAllLaunchedSnapshots()); }

    testkit::ScopedManualClock clock_{kNow};
    std::string path_;
    std::unique_ptr<KLVEDatabase> database_;
};

TEST_F(KLVEDatabaseTest, ActivationSplitsLaunchedAndActivatedAndDropsOnlyOlderPendingRows) {
    // Pending "a" was written before the activation, pending "b" after it began.
    ASSERT_TRUE(database_->upsertPendingExperimentSnapshots(
        {makeSnapshot("a", {0, 7}, kNow - 10), makeSnapshot("b", {3}, kNow + 5)}));
    ASSERT_TRUE(database_->activateSnapshot(makeSnapshot("a", {0, 7}, kNow - 10), kNow));
    ASSERT_TRUE(database_->activateSnapshot(makeSnapshot("b", {3}, kNow - 10), kNow));

    EXPECT_EQ(launched(), (std::vector<Row>{{"a", {0}, kNow, false}}));
    EXPECT_EQ(activated(), (std::vector<Row>{{"a", {7}, kNow, false}, {"b", {3}, kNow, false}}));
    EXPECT_EQ(pending(), (std::vector<Row>{{"b", {3}, kNow + 5, false}}));

    // A later activation without experiment 0 keeps the launched row; one with only experiment 0
    // leaves an empty activated row, so the older experiments do not come back at the next start.
    ASSERT_TRUE(database_->activateSnapshot(makeSnapshot("a", {0}, kNow), kNow + 1));
    EXPECT_EQ(activated(), (std::vector<Row>{{"b", {3}, kNow, false}, {"a", {}, kNow + 1, false}}));
    EXPECT_EQ(launched(), (std::vector<Row>{{"a", {0}, kNow + 1, false}}));

    platform::Error error;
    EXPECT_FALSE(database_->activateSnapshot(nullptr, kNow, &error));
    EXPECT_EQ(error.description, "Received nil pending snapshot");
}

TEST_F(KLVEDatabaseTest, StaleActivatedRowsGoWithAnInclusiveCutoff) {
    const std::pair<const char*, double> ages[] = {
        {"old", 259201}, {"edge", 259200}, {"fresh", 259199}, {"future", -5000}};
    for (const auto& [name, age] : ages)
        ASSERT_TRUE(database_->activateSnapshot(makeSnapshot(name, {1}, 0), kNow - age));
    ASSERT_TRUE(database_->deleteStaleActivatedSnapshots());
    std::vector<std::string> left;
    for (const auto& row : activated())
        left.push_back(row.name);
    EXPECT_EQ(left, (std::vector<std::string>{"fresh", "future"}));
}

TEST_F(KLVEDatabaseTest, AutomaticActivationTakesFlagZeroRowsInRowidOrderAtTheirOwnTime) {
    auto manual = makeSnapshot("m", {5}, kNow - 30);
    manual->setManuallyActivated(true);
    // "x" twice: its second write replaces the row, which moves it to the end of the rowid order.
    ASSERT_TRUE(database_->upsertPendingExperimentSnapshots(
        {makeSnapshot("x", {1}, kNow - 100), makeSnapshot("y", {0, 2}, kNow - 50), manual,
         makeSnapshot("x", {4}, kNow - 20)}));
    ASSERT_TRUE(database_->activatePendingSnapshotsAutomatically());
    EXPECT_EQ(activated(),
              (std::vector<Row>{{"y", {2}, kNow - 50, false}, {"x", {4}, kNow - 20, false}}));
    EXPECT_EQ(launched(), (std::vector<Row>{{"y", {0}, kNow - 50, false}}));
    EXPECT_EQ(pending(), (std::vector<Row>{{"m", {5}, kNow - 30, true}}));
}

TEST_F(KLVEDatabaseTest, ACorruptPendingRowFailsTheAutomaticActivationAndRollsBack) {
    ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({makeSnapshot("a", {1}, kNow)}));
    // A stored blob without an SDK name gives no snapshot.
    ASSERT_TRUE(database_->upsertSnapshot(testing::makeSnapshotMessage("", {}),
                                          kKLVEPendingSnapshotTable, kNow, false));
    platform::Error error;
    EXPECT_FALSE(database_->performTransaction(
        [&] { return database_->activatePendingSnapshotsAutomatically(&error); }));
    EXPECT_EQ(error.description, "Received an invalid snapshot from database");
    EXPECT_EQ(activated(), std::vector<Row>{});
    EXPECT_GT(logCount(810007), 0u);
}

TEST_F(KLVEDatabaseTest, ResetEmptiesAndDeletionsByName) {
    ASSERT_TRUE(database_->activateSnapshot(makeSnapshot("a", {0, 1}, 0), kNow));
    platform::Error error;
    EXPECT_FALSE(database_->deleteActivatedExperimentsOfSDKName("", &error));
    EXPECT_EQ(error.description, "Received empty SDK Name");
    ASSERT_TRUE(database_->deleteActivatedExperimentsOfSDKName("a"));
    EXPECT_EQ(activated(), std::vector<Row>{});
    EXPECT_EQ(launched().size(), 1u);
    database_->reset();
    EXPECT_EQ(launched(), std::vector<Row>{});
    database_->closeAndDelete();
    EXPECT_FALSE(std::filesystem::exists(path_));
    EXPECT_FALSE(database_->fetchAllLaunchedSnapshots());
    database_->reset();
    EXPECT_TRUE(std::filesystem::exists(path_));
}

TEST_F(KLVEDatabaseTest, ATableThatCannotBeCreatedDeletesTheFile) {
    database_.reset();
    std::filesystem::remove(path_);
    {
        auto store = KLVSqliteStore::initWithDatabasePath(path_);
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->ensureTableWithName(kKLVEActivatedSnapshotTable,
                                               {{"other", "INTEGER NOT NULL"}}, {}));
    }
    EXPECT_FALSE(KLVEDatabase::initWithPath(path_));
    EXPECT_GT(logCount(810004), 0u);
    EXPECT_FALSE(std::filesystem::exists(path_));
}

}  // namespace
}  // namespace engine
