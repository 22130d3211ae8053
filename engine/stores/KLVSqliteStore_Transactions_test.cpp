// Transactions that SQLite rolls back by itself part way (after an I/O error, a full disk, or a
// statement that asks for it): the rest of the block must not commit statement by statement.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "engine/base/EngineTestSupport.h"
#include "engine/stores/KLVSqliteStore.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

using platform::Error;

class KLVSqliteStoreTransactionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto path = (home_.path() / "transactions.sql").string();
        store_ = KLVSqliteStore::initWithDatabasePath(path, &error_);
        ASSERT_TRUE(store_) << error_.description;
        ASSERT_TRUE(store_->ensureTableWithName("items", {{"name", "TEXT NOT NULL PRIMARY KEY"}},
                                                {}, &error_))
            << error_.description;
        ASSERT_TRUE(insert("kept"));
    }
    bool insert(const std::string& name, Error* error = nullptr) {
        return store_->upsertRecord({{"name", name}}, "items", error);
    }
    // A statement SQLite answers by rolling the whole transaction back, as it may after an I/O
    // error or on a full disk.
    int conflictThatRollsBack() {
        return sqlite3_exec(store_->sqliteHandle(), "INSERT OR ROLLBACK INTO items VALUES ('kept')",
                            nullptr, nullptr, nullptr);
    }
    std::int64_t items() { return store_->rowCountForTableWithName("items").value_or(-1); }

    testkit::TempHome home_;
    Error error_;
    std::unique_ptr<KLVSqliteStore> store_;
    LogCapture log_;
};

TEST_F(KLVSqliteStoreTransactionTest, AfterARollbackOfItsOwnNothingMoreOfTheBlockCommits) {
    for (const bool blockAnswers : {true, false}) {
        SCOPED_TRACE(blockAnswers ? "the block ignores the failure" : "the block fails");
        log_.clear();
        bool laterStatementRan = true;
        Error error;
        const bool ok = store_->performTransactionWithError(&error, [&] {
            EXPECT_TRUE(insert("first"));
            EXPECT_EQ(conflictThatRollsBack(), SQLITE_CONSTRAINT);
            Error later;
            laterStatementRan = insert("second", &later);
            EXPECT_EQ(later.description, "Transaction was rolled back after an earlier error");
            return blockAnswers;
        });
        EXPECT_FALSE(ok);
        EXPECT_FALSE(laterStatementRan);
        if (blockAnswers) {
            EXPECT_EQ(error.description, "Transaction was rolled back after an earlier error");
        }
        EXPECT_EQ(items(), 1) << "only the row from before";
        // Nothing was left to roll back, so no failed rollback is reported.
        EXPECT_EQ(log_.count(34011), 0u);
    }
    // The next transaction begins and commits as usual.
    EXPECT_TRUE(store_->performTransactionWithError(&error_, [&] { return insert("next"); }));
    EXPECT_EQ(items(), 2);
}

}  // namespace
}  // namespace engine
