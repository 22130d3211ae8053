// Grouped transactions: one transaction for a run of blocks, a savepoint per block, and the
// kept writes that bring the group back when SQLite drops its transaction.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/stores/KLVSqliteStore.h"
#include "engine/stores/SqliteFaultVfs.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

using platform::Error;
using platform::Object;

class GroupedTransactionTest : public ::testing::Test {
  protected:
    void SetUp() override { open(); }

    void open() {
        store_ = KLVSqliteStore::initWithDatabasePath((folder_.path() / "group.sql").string());
        ASSERT_TRUE(store_);
        ASSERT_TRUE(store_->ensureTableWithName("items", {{"name", "TEXT NOT NULL"}, {"n", "REAL"}},
                                                {}, nullptr));
    }
    // A block of its own: the row, then the block's answer.
    bool block(const std::string& name, bool succeed = true, double n = 0) {
        return store_->performTransactionWithError(nullptr, [&] {
            return store_->upsertRecord({{"name", name}, {"n", n}}, "items", nullptr) && succeed;
        });
    }
    std::vector<std::string> names() {
        std::vector<std::string> out;
        const auto rows = store_->recordsForQuery("SELECT name FROM items ORDER BY rowid", {});
        for (const auto& row : rows.value_or(std::vector<KLVSqliteStore::Row>{}))
            out.push_back(row.at("name").asString());
        return out;
    }
    int exec(const std::string& sql) {
        return sqlite3_exec(store_->sqliteHandle(), sql.c_str(), nullptr, nullptr, nullptr);
    }
    // Makes SQLite drop the whole transaction when a row of that name is inserted while
    // `armed_` holds, as an I/O error under a statement does. Made before any group (a schema
    // change inside one would be rolled back with it); the switch is no write at all.
    void dropTransactionOn(const std::string& name) {
        if (!functionMade_) {
            ASSERT_EQ(sqlite3_create_function(
                          store_->sqliteHandle(), "armed", 0, SQLITE_UTF8, &armed_,
                          [](sqlite3_context* context, int, sqlite3_value**) {
                              sqlite3_result_int(context,
                                                 *static_cast<bool*>(sqlite3_user_data(context)));
                          },
                          nullptr, nullptr),
                      SQLITE_OK);
            functionMade_ = true;
        }
        ASSERT_EQ(
            exec("CREATE TEMP TRIGGER drop_" + name + " BEFORE INSERT ON items WHEN NEW.name = '" +
                 name + "' AND armed() BEGIN SELECT RAISE(ROLLBACK, 'planted'); END"),
            SQLITE_OK);
    }

    // A child row without its parent passes its statement and is refused at the commit (a
    // deferred foreign key), again each time it is written anew.
    void makeCommitRefuseOrphans() {
        ASSERT_EQ(exec("PRAGMA foreign_keys = ON;"
                       "CREATE TABLE parent (id INTEGER PRIMARY KEY);"
                       "CREATE TABLE child (id INTEGER PRIMARY KEY, parent_id INTEGER "
                       "REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED);"),
                  SQLITE_OK);
    }
    bool writeOrphan() {
        return store_->upsertRecord({{"id", 1}, {"parent_id", 99}}, "child", nullptr);
    }

    bool armed_ = true;
    bool functionMade_ = false;

    testkit::TempHome folder_;
    std::unique_ptr<KLVSqliteStore> store_;
    LogCapture log_;
};

TEST_F(GroupedTransactionTest, AFailedBlockRollsBackAloneAndBlocksDoNotNest) {
    ASSERT_TRUE(store_->beginGroupedTransaction());
    EXPECT_TRUE(block("a"));
    EXPECT_FALSE(block("b", false));
    bool nested = true;
    EXPECT_TRUE(store_->performTransactionWithError(nullptr, [&] {
        nested = store_->performTransactionWithError(nullptr, [] { return true; });
        return store_->upsertRecord({{"name", "c"}}, "items", nullptr);
    }));
    EXPECT_FALSE(nested);  // as a BEGIN inside a transaction fails
    const auto rollbacks = store_->rollbackCount();
    ASSERT_TRUE(store_->endGroupedTransaction());
    EXPECT_EQ(store_->rollbackCount(), rollbacks);
    EXPECT_FALSE(store_->isInGroupedTransaction());
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "c"}));
    EXPECT_NE(sqlite3_get_autocommit(store_->sqliteHandle()), 0);
}

TEST_F(GroupedTransactionTest, ATransactionSQLiteDropsComesBackWithTheWritesBeforeIt) {
    // Dropped in a block (its writes go, the earlier blocks' come back) and between blocks (the
    // next statement finds the transaction gone and brings it back first).
    dropTransactionOn("boom");
    ASSERT_TRUE(store_->beginGroupedTransaction());
    EXPECT_TRUE(block("a", true, 1.0000000000000002));
    EXPECT_TRUE(store_->upsertRecord({{"name", "between"}}, "items", nullptr));
    // The failed block's own earlier write goes with it.
    EXPECT_FALSE(store_->performTransactionWithError(nullptr, [&] {
        return store_->upsertRecord({{"name", "same block"}}, "items", nullptr) &&
               store_->upsertRecord({{"name", "boom"}}, "items", nullptr);
    }));
    EXPECT_TRUE(block("c"));
    EXPECT_FALSE(store_->upsertRecord({{"name", "boom"}}, "items", nullptr));
    EXPECT_TRUE(block("d"));
    ASSERT_TRUE(store_->endGroupedTransaction());
    EXPECT_EQ(store_->lostGroupCount(), 0u);
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "between", "c", "d"}));
    // Values are made again exactly, not through their text.
    const auto n = store_->numberForQuery("SELECT n FROM items WHERE name = 'a'", {});
    ASSERT_TRUE(n);
    EXPECT_EQ(n->asDouble(), 1.0000000000000002);
}

TEST_F(GroupedTransactionTest, WritesThatCannotBeMadeAgainAreLostAndTheGroupGoesOn) {
    dropTransactionOn("a");
    dropTransactionOn("b");
    armed_ = false;
    ASSERT_TRUE(store_->beginGroupedTransaction());
    EXPECT_TRUE(block("a"));
    // Now "a" itself cannot be written again: bringing the group back fails.
    armed_ = true;
    EXPECT_FALSE(block("b"));
    EXPECT_EQ(store_->lostGroupCount(), 1u);
    armed_ = false;
    EXPECT_TRUE(store_->isInGroupedTransaction());
    EXPECT_TRUE(block("c"));
    ASSERT_TRUE(store_->endGroupedTransaction());
    EXPECT_EQ(names(), (std::vector<std::string>{"c"}));
}

TEST_F(GroupedTransactionTest, AFailedCommitIsTriedAgainFromTheKeptWrites) {
    store_.reset();
    testing::SqliteFaultVfs vfs;
    open();
    ASSERT_TRUE(store_->beginGroupedTransaction());
    for (const char* name : {"a", "b", "c"})
        EXPECT_TRUE(block(name));
    // The commit's first write to the log fails; SQLite drops the transaction.
    vfs.failNth(testing::SqliteFaultVfs::kWrite, 1);
    EXPECT_TRUE(store_->endGroupedTransaction());
    EXPECT_TRUE(vfs.fired());
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(store_->lostGroupCount(), 0u);
    store_.reset();
}

TEST_F(GroupedTransactionTest, ACommitThatKeepsFailingLosesTheGroupAndSaysSo) {
    makeCommitRefuseOrphans();
    ASSERT_TRUE(store_->beginGroupedTransaction());
    EXPECT_TRUE(block("a"));
    // An orphan refused only at the commit, again when the writes are made anew.
    EXPECT_TRUE(store_->performTransactionWithError(nullptr, [&] { return writeOrphan(); }));
    Error error;
    EXPECT_FALSE(store_->endGroupedTransaction(&error));
    EXPECT_EQ(error.description, "Failed to end transaction");
    EXPECT_EQ(store_->lostGroupCount(), 1u);
    EXPECT_FALSE(store_->isInGroupedTransaction());
    EXPECT_NE(sqlite3_get_autocommit(store_->sqliteHandle()), 0);
    EXPECT_TRUE(names().empty());
    // Outside a group, transactions are their own again.
    EXPECT_TRUE(block("after"));
    EXPECT_EQ(names(), (std::vector<std::string>{"after"}));
}

// One unit per block, as one event's writes are: after a failed commit each unit is written again
// in a transaction of its own; the first that cannot be written is lost with those after it, an
// empty unit is nobody's loss.
TEST_F(GroupedTransactionTest, AFailedCommitWritesTheUnitsAgainUpToTheFirstThatFails) {
    makeCommitRefuseOrphans();
    ASSERT_TRUE(store_->beginGroupedTransaction());
    store_->beginGroupUnit();
    EXPECT_TRUE(block("a"));
    store_->beginGroupUnit();
    store_->beginGroupUnit();
    EXPECT_TRUE(block("b"));
    EXPECT_TRUE(block("b2"));
    store_->beginGroupUnit();
    // Refused only at a commit: its unit's and every later one.
    EXPECT_TRUE(store_->performTransactionWithError(nullptr, [&] {
        return store_->upsertRecord({{"name", "c"}}, "items", nullptr) && writeOrphan();
    }));
    store_->beginGroupUnit();
    EXPECT_TRUE(block("d"));
    store_->beginGroupUnit();
    Error error;
    std::size_t lost = 0;
    EXPECT_FALSE(store_->endGroupedTransaction(&error, &lost));
    EXPECT_EQ(lost, 2u);
    EXPECT_EQ(error.description, "Failed to end transaction");
    EXPECT_EQ(store_->lostGroupCount(), 1u);
    EXPECT_FALSE(store_->isInGroupedTransaction());
    EXPECT_NE(sqlite3_get_autocommit(store_->sqliteHandle()), 0);
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "b", "b2"}));
}

// A disk with room for a few more commits but not for the group's: written one by one again,
// the group keeps exactly the units that writing them one by one in the first place keeps.
TEST(GroupedTransactionDiskTest, AFullDiskKeepsWhatWritingOneByOneKeeps) {
    constexpr int kUnits = 40;
    struct Run {
        std::vector<std::int64_t> kept;
        std::size_t lost = 0;
    };
    const auto run = [](bool grouped) {
        testkit::TempHome folder;
        testing::SqliteFaultVfs vfs;
        const std::string path = (folder.path() / "disk.sql").string();
        vfs.watchOnly(path + "-wal");
        Run result;
        auto store = KLVSqliteStore::initWithDatabasePath(path);
        EXPECT_TRUE(store);
        if (!store) return result;
        EXPECT_TRUE(store->ensureTableWithName("pages", {{"k", "INTEGER"}, {"payload", "BLOB"}}, {},
                                               nullptr));
        // The log starts over at its beginning with the next write; it may not grow past five
        // frames of a page each.
        EXPECT_TRUE(store->checkpoint());
        vfs.limitFileSize(32 + 5 * (24 + 4096));
        const auto unit = [&](int k) {
            return store->performTransactionWithError(nullptr, [&] {
                return store->upsertRecord(
                    {{"k", k}, {"payload", platform::Data(1000, static_cast<std::uint8_t>(k))}},
                    "pages", nullptr);
            });
        };
        if (grouped) {
            EXPECT_TRUE(store->beginGroupedTransaction());
            for (int k = 0; k < kUnits; ++k) {
                store->beginGroupUnit();
                EXPECT_TRUE(unit(k));
            }
            EXPECT_FALSE(store->endGroupedTransaction(nullptr, &result.lost));
        } else {
            for (int k = 0; k < kUnits; ++k)
                result.lost += unit(k) ? 0 : 1;
        }
        EXPECT_TRUE(vfs.fired());
        vfs.disarm();
        const auto rows = store->recordsForQuery("SELECT k FROM pages ORDER BY rowid", {});
        for (const auto& row : rows.value_or(std::vector<KLVSqliteStore::Row>{}))
            result.kept.push_back(row.at("k").asInteger());
        return result;
    };
    const Run oneByOne = run(false);
    const Run grouped = run(true);
    EXPECT_EQ(grouped.kept, oneByOne.kept);
    EXPECT_EQ(grouped.lost, oneByOne.lost);
    // Some fitted and some did not, the first ones in order.
    ASSERT_GT(grouped.kept.size(), 0u);
    EXPECT_LT(grouped.kept.size(), static_cast<std::size_t>(kUnits));
    EXPECT_EQ(grouped.kept.size() + grouped.lost, static_cast<std::size_t>(kUnits));
    for (std::size_t i = 0; i < grouped.kept.size(); ++i)
        EXPECT_EQ(grouped.kept[i], static_cast<std::int64_t>(i));
}

}  // namespace
}  // namespace engine
