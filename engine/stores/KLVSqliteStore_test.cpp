#include "engine/stores/KLVSqliteStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "engine/base/EngineTestSupport.h"
#include "platform/foundation/FileAttributes.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using platform::Data;
using platform::Error;
using platform::Object;
using Row = KLVSqliteStore::Row;

using TempFolder = testkit::TempHome;

std::string handleText(sqlite3* db, const char* sql);

// A second, independent connection to the same file, as another process would hold it.
class RawConnection {
  public:
    explicit RawConnection(const fs::path& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    }
    ~RawConnection() { sqlite3_close_v2(db_); }
    int exec(const std::string& sql) {
        return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    }
    std::string text(const std::string& sql) { return handleText(db_, sql.c_str()); }

  private:
    sqlite3* db_ = nullptr;
};

void writeFile(const fs::path& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

std::string handleText(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    std::string out;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        const auto* value = sqlite3_column_text(statement, 0);
        if (value) out = reinterpret_cast<const char*>(value);
    }
    sqlite3_finalize(statement);
    return out;
}

class KLVSqliteStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = (folder_.path() / "Nexory" / "Measurement" / "test.sql").string();
        store_ = KLVSqliteStore::initWithDatabasePath(path_, &error_);
        ASSERT_TRUE(store_) << error_.description;
    }

    void createItems() {
        ASSERT_TRUE(store_->ensureTableWithName(
            "items", {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"count", "INTEGER NOT NULL"}},
            {{"note", "TEXT"}}, &error_))
            << error_.description;
    }

    std::vector<Row> rows(const std::string& query, const platform::Array& values = {}) {
        Error error;
        auto result = store_->recordsForQuery(query, values, &error);
        EXPECT_TRUE(result) << error.description;
        return result.value_or(std::vector<Row>{});
    }

    TempFolder folder_;
    std::string path_;
    Error error_;
    std::unique_ptr<KLVSqliteStore> store_;
    LogCapture log_;
};

// --- Opening -------------------------------------------------------------------------------------

TEST_F(KLVSqliteStoreTest, OpensInWriteAheadLogModeWithNormalSync) {
    EXPECT_TRUE(fs::exists(path_));
    EXPECT_EQ(handleText(store_->sqliteHandle(), "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(handleText(store_->sqliteHandle(), "PRAGMA synchronous"), "1");
    // Another connection's brief write lock is waited out, not a failure at once.
    EXPECT_EQ(handleText(store_->sqliteHandle(), "PRAGMA busy_timeout"), "3000");
}

TEST(KLVSqliteStoreOpenTest, EmptyPathIsRefused) {
    Error error;
    EXPECT_FALSE(KLVSqliteStore::initWithDatabasePath("", &error));
    EXPECT_EQ(error.description, "Received empty database path on init");
}

// Writes a database with one row, then damages it as `damage` says; SQLite then reports the
// file corrupt with `code` and its text.
struct CorruptCase {
    const char* name;
    void (*damage)(const fs::path& path);
    const char* codeAndReason;
};

// A table of 2000 rows with an index, in a file that no longer uses its log.
void writeRows(const fs::path& path) {
    RawConnection raw(path);
    raw.exec("CREATE TABLE t (a INTEGER PRIMARY KEY, b TEXT)");
    raw.exec("CREATE INDEX tb ON t (b)");
    raw.exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
        "INSERT INTO t SELECT i, printf('value %d', i) FROM n");
}

const CorruptCase kCorruptCases[] = {
    {"garbage text",
     [](const fs::path& path) {
         writeFile(path, std::string(8192, 'x'));
         writeFile(path.string() + "-journal", "not a journal");
         writeFile(path.string() + "-wal", "not a log");
     },
     "26, file is not a database"},
    {"damaged pages",
     [](const fs::path& path) {
         writeRows(path);
         // Overwrite the middle of the file: the header stays, the b-tree pages do not.
         std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(3 * 4096);
         const std::string noise(4 * 4096, '\x5a');
         file.write(noise.data(), static_cast<std::streamsize>(noise.size()));
     },
     "11, database disk image is malformed"},
    {"truncated",
     [](const fs::path& path) {
         writeRows(path);
         fs::resize_file(path, fs::file_size(path) / 2);
     },
     "11, database disk image is malformed"},
};

TEST(KLVSqliteStoreOpenTest, CorruptFileIsRecreatedEmptyWithItsCompanions) {
    for (const auto& c : kCorruptCases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path path = folder.path() / "db.sql";
        c.damage(path);

        LogCapture log;
        Error error;
        auto store = KLVSqliteStore::initWithDatabasePath(path.string(), &error);
        ASSERT_TRUE(store) << error.description;
        // Whatever was stored is gone: an error says which file and why, at the level of a
        // store that cannot go on with its data.
        EXPECT_EQ(
            log.lines(),
            std::vector<std::string>{
                "com.nexory.tarnwell.analytics error <Brackenfold>[I-ACS034006] Database file is "
                "corrupt and was deleted with everything stored in it. File, SQLite code, "
                "reason: " +
                path.string() + ", " + c.codeAndReason});
        EXPECT_FALSE(fs::exists(path.string() + "-journal"));
        EXPECT_EQ(store->tableExists("t", &error), std::optional<bool>(false));
        EXPECT_EQ(handleText(store->sqliteHandle(), "PRAGMA integrity_check"), "ok");
    }
}

TEST(KLVSqliteStoreOpenTest, HealthyFileThatCannotBeOpenedNowIsNeverDeleted) {
    TempFolder folder;
    const fs::path path = folder.path() / "db.sql";
    RawConnection holder(path);
    ASSERT_EQ(holder.exec("PRAGMA journal_mode=DELETE"), SQLITE_OK);
    ASSERT_EQ(holder.exec("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (42)"), SQLITE_OK);
    ASSERT_EQ(holder.exec("BEGIN EXCLUSIVE"), SQLITE_OK);

    Error error;
    EXPECT_FALSE(KLVSqliteStore::initWithDatabasePath(path.string(), &error));
    EXPECT_EQ(error.code, 3);
    EXPECT_EQ(error.userInfo.at("KLVMonitorContext"), Object("validate database,5,A"));

    ASSERT_EQ(holder.exec("COMMIT"), SQLITE_OK);
    EXPECT_EQ(holder.text("SELECT a FROM t"), "42");
    auto store = KLVSqliteStore::initWithDatabasePath(path.string(), &error);
    ASSERT_TRUE(store) << error.description;
    EXPECT_EQ(store->numberForQuery("SELECT a FROM t", {}, &error), Object(42));
}

// File attributes that cannot be read.
class UnreadableAttributes : public platform::FileAttributes {
  public:
    bool setExcludedFromBackup(const fs::path&, bool, Error*) override { return true; }
    std::optional<bool> isImmutable(const fs::path&, Error* error) override {
        return platform::failWith<std::optional<bool>>(error, {"Test", 9, "no attributes", {}});
    }
    bool setImmutable(const fs::path&, bool, Error*) override { return true; }
};

TEST(KLVSqliteStoreOpenTest, UnreadableAttributesFailTheOpenWithoutDeleting) {
    TempFolder folder;
    const fs::path path = folder.path() / "db.sql";
    RawConnection(path).exec("CREATE TABLE t (a INTEGER)");
    platform::FileAttributes::install(std::make_shared<UnreadableAttributes>());
    Error error;
    EXPECT_FALSE(KLVSqliteStore::initWithDatabasePath(path.string(), &error));
    platform::FileAttributes::install(nullptr);
    EXPECT_EQ(error.description, "no attributes");
    EXPECT_EQ(RawConnection(path).text("SELECT name FROM sqlite_master"), "t");
}

TEST_F(KLVSqliteStoreTest, CloseAndDeleteRemovesTheFileAndItsCompanions) {
    createItems();
    ASSERT_TRUE(store_->upsertRecord({{"name", "a"}, {"count", 1}}, "items", &error_));
    ASSERT_TRUE(fs::exists(path_ + "-wal"));
    EXPECT_TRUE(store_->closeAndDeleteDatabase());
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        EXPECT_FALSE(fs::exists(path_ + suffix)) << suffix;
    }
    EXPECT_EQ(store_->sqliteHandle(), nullptr);
    EXPECT_TRUE(store_->closeAndDeleteDatabase());  // nothing left counts as deleted
}

// --- Closed store --------------------------------------------------------------------------------

TEST_F(KLVSqliteStoreTest, EveryOperationOfAClosedStoreFailsWithItsOwnText) {
    createItems();
    ASSERT_TRUE(store_->closeAndDeleteDatabase());
    struct Case {
        const char* expected;
        bool (*call)(KLVSqliteStore&, Error*);
    };
    const Case cases[] = {
        {"Upsert record failed. Database not open.",
         [](KLVSqliteStore& s, Error* e) {
             return s.upsertRecord({{"a", 1}}, "items", e);
         }},
        {"Query records failed. Database not open.",
         [](KLVSqliteStore& s, Error* e) {
             return s.recordsForQuery("SELECT * FROM items", {}, e).has_value();
         }},
        {"Database not open",
         [](KLVSqliteStore& s, Error* e) {
             return s.performTransactionWithError(e, [] { return true; });
         }},
    };
    for (const auto& c : cases) {
        Error error;
        EXPECT_FALSE(c.call(*store_, &error)) << c.expected;
        EXPECT_EQ(error.code, 2) << c.expected;
        EXPECT_EQ(error.description, c.expected);
    }
}

// --- Schema --------------------------------------------------------------------------------------

TEST_F(KLVSqliteStoreTest, EnsureBringsAnExistingTableToItsDeclaration) {
    const struct {
        const char* existing;
        const char* failure;  // "" when the table is brought to its declaration
        std::vector<std::string> columnsAfter;
    } cases[] = {
        {"(a TEXT NOT NULL)", "", {"a", "b", "c"}},  // add-on columns missing
        {"(b INTEGER)", "Table is missing required columns", {"b"}},
        {"(a TEXT NOT NULL, z BLOB)", "", {"a", "z", "b", "c"}},
        {"(a TEXT NOT NULL, z BLOB NOT NULL)",
         "Table contains unknown non-optional columns",
         {"a", "z", "b", "c"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.existing);
        const std::string sql = std::string("DROP TABLE IF EXISTS t; CREATE TABLE t ") + c.existing;
        ASSERT_EQ(sqlite3_exec(store_->sqliteHandle(), sql.c_str(), nullptr, nullptr, nullptr),
                  SQLITE_OK);
        Error error;
        EXPECT_EQ(store_->ensureTableWithName("t", {{"a", "TEXT NOT NULL"}},
                                              {{"b", "INTEGER"}, {"c", "TEXT"}}, &error),
                  *c.failure == 0);
        EXPECT_EQ(error.description, c.failure);
        if (*c.failure) {
            EXPECT_EQ(error.code, 2);
        }
        EXPECT_EQ(store_->columnsForTableWithName("t", &error), c.columnsAfter);
    }
}

TEST_F(KLVSqliteStoreTest, ModifiedColumnRebuildsTheTableKeepingRowsByName) {
    // An older shape: integer timestamps, columns in another order, one column since dropped.
    ASSERT_EQ(sqlite3_exec(store_->sqliteHandle(),
                           "CREATE TABLE events (data BLOB NOT NULL, name TEXT NOT NULL, "
                           "legacy TEXT, timestamp INTEGER NOT NULL);"
                           "INSERT INTO events VALUES (x'0102', 'a', 'old', 100);"
                           "INSERT INTO events VALUES (x'03', 'b', NULL, 200);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    const KLVSqliteStore::ColumnInfoList elementary = {
        {"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}, {"data", "BLOB NOT NULL"}};
    const KLVSqliteStore::ColumnInfoList addOn = {{"is_realtime", "INTEGER"}};
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        ASSERT_TRUE(store_->ensureTableWithName("events", elementary, addOn,
                                                {{"timestamp", "REAL NOT NULL"}}, &error_))
            << error_.description;
        EXPECT_EQ(store_->columnInfoForTableWithName("events", &error_),
                  (KLVSqliteStore::LiveColumnInfo{{"name", "TEXT"},
                                                  {"timestamp", "REAL"},
                                                  {"data", "BLOB"},
                                                  {"is_realtime", "INTEGER"}}));
        EXPECT_EQ(store_->tableExists("events_old", &error_), std::optional<bool>(false));
        EXPECT_EQ(rows("SELECT rowid, * FROM events ORDER BY rowid"),
                  (std::vector<Row>{{{"rowid", 1},
                                     {"name", "a"},
                                     {"timestamp", 100.0},
                                     {"data", Data{1, 2}},
                                     {"is_realtime", nullptr}},
                                    {{"rowid", 2},
                                     {"name", "b"},
                                     {"timestamp", 200.0},
                                     {"data", Data{3}},
                                     {"is_realtime", nullptr}}}));
    }
}

TEST_F(KLVSqliteStoreTest, FailedRebuildLeavesTheTableAsItWas) {
    ASSERT_EQ(sqlite3_exec(store_->sqliteHandle(),
                           "CREATE TABLE t (a TEXT NOT NULL, b INTEGER);"
                           "INSERT INTO t VALUES ('kept', NULL);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    // The new shape makes b NOT NULL, which the stored NULL cannot satisfy.
    EXPECT_FALSE(store_->ensureTableWithName("t", {{"a", "TEXT NOT NULL"}, {"b", "INTEGER"}}, {},
                                             {{"b", "REAL NOT NULL"}}, &error_));
    // The cause, not the transaction's generic failure.
    EXPECT_EQ(error_.description,
              "Database operation \"execute statement\" failed with sqlite code 19 and error "
              "message \"NOT NULL constraint failed: t.b\"");
    EXPECT_EQ(store_->columnInfoForTableWithName("t", &error_),
              (KLVSqliteStore::LiveColumnInfo{{"a", "TEXT"}, {"b", "INTEGER"}}));
    EXPECT_EQ(rows("SELECT a, b FROM t"), (std::vector<Row>{{{"a", "kept"}, {"b", nullptr}}}));
    EXPECT_EQ(store_->tableExists("t_old", &error_), std::optional<bool>(false));
}

// --- Rows ----------------------------------------------------------------------------------------

TEST_F(KLVSqliteStoreTest, EveryValueKindRoundTrips) {
    ASSERT_TRUE(store_->ensureTableWithName("v", {{"k", "INTEGER NOT NULL PRIMARY KEY"}},
                                            {{"value", "BLOB"}}, &error_));
    const std::string withNul("a\0b\xc3\xa9", 5);
    struct Case {
        Object written;
        std::optional<Object> read;  // nullopt: the column is left out of the row
    };
    const Case cases[] = {
        {Object(std::numeric_limits<std::int64_t>::max()), std::nullopt},
        {Object(withNul), std::nullopt},
        {Object(Data{0, 255, 0}), std::nullopt},
        {Object(true), Object(1)},
        {Object(Data{}), Object(nullptr)},  // marker: no column at all (zero-length blob)
    };
    std::int64_t key = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written.description());
        ++key;
        ASSERT_TRUE(store_->upsertRecord({{"k", key}, {"value", c.written}}, "v", &error_))
            << error_.description;
        const auto read = rows("SELECT value FROM v WHERE k = ?", {key});
        ASSERT_EQ(read.size(), 1u);
        if (c.written.isData() && c.written.asData().empty()) {
            EXPECT_FALSE(read[0].contains("value"));
            EXPECT_EQ(log_.count(34004), 1u);
        } else {
            EXPECT_EQ(read[0].at("value"), c.read.value_or(c.written));
        }
    }
}

TEST_F(KLVSqliteStoreTest, WritesRefuseValuesOfAnotherKindWithAnError) {
    createItems();
    EXPECT_FALSE(
        store_->upsertRecord({{"name", "a"}, {"count", Object::array({1})}}, "items", &error_));
    EXPECT_EQ(error_.code, 1);
    EXPECT_EQ(error_.description,
              "Failed to bind parameter of unexpected type to upsert statement");
    EXPECT_EQ(store_->rowCountForTableWithName("items", &error_), 0);
}

TEST_F(KLVSqliteStoreTest, DatabaseErrorsCarryOperationCodeAndMessage) {
    EXPECT_FALSE(store_->upsertRecord({{"a", 1}}, "nowhere", &error_));
    EXPECT_EQ(error_.code, 3);
    EXPECT_EQ(
        error_.description,
        "Database operation \"prepare statement\" failed with sqlite code 1 and error message "
        "\"no such table: nowhere\"");
    EXPECT_EQ(error_.userInfo.at("KLVMonitorContext"), Object("prepare statement,1,A"));
}

// --- Reads ---------------------------------------------------------------------------------------

TEST_F(KLVSqliteStoreTest, ReadFailingPartWayIsAFailureNotFewerRows) {
    createItems();
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(store_->upsertRecord({{"name", "n" + std::to_string(i)}, {"count", i}}, "items",
                                         &error_));
    }
    // The third row overflows abs() at step time, after two rows came back.
    const std::string query =
        "SELECT CASE WHEN count < 3 THEN count ELSE abs(-9223372036854775807 - 1) END AS c "
        "FROM items ORDER BY count";
    EXPECT_FALSE(store_->recordsForQuery(query, {}, &error_));
    EXPECT_EQ(error_.code, 3);
    EXPECT_EQ(error_.userInfo.at("KLVMonitorContext"), Object("query records,1,A"));
    // The statement went back clean: the same store reads on.
    EXPECT_EQ(rows("SELECT count(1) AS n FROM items"), (std::vector<Row>{{{"n", 5}}}));
}

TEST_F(KLVSqliteStoreTest, QueryArgumentChecks) {
    createItems();
    EXPECT_FALSE(store_->recordsForQuery("", {}, &error_));
    EXPECT_EQ(error_.description, "Received empty query for records for query");
    EXPECT_FALSE(store_->recordsForQuery("SELECT * FROM items WHERE name = ?", {}, &error_));
    EXPECT_EQ(error_.code, 1);
    EXPECT_EQ(error_.description, "Received empty parameters");
}

TEST_F(KLVSqliteStoreTest, StatementsWithLiteralConditionsAreNotCachedAndTheCacheIsBounded) {
    createItems();
    const std::size_t before = store_->cachedStatementCount();
    rows("SELECT * FROM items WHERE name = 'a'");
    EXPECT_EQ(store_->cachedStatementCount(), before);
    rows("SELECT * FROM items WHERE name = ?", {"a"});
    rows("SELECT * FROM items WHERE name = ?", {"b"});
    EXPECT_EQ(store_->cachedStatementCount(), before + 1);
    for (int i = 0; i < 200; ++i) {
        rows("SELECT " + std::to_string(i) + " AS n FROM items");
    }
    EXPECT_EQ(store_->cachedStatementCount(), KLVSqliteStore::kStatementCacheLimit);
    EXPECT_EQ(rows("SELECT 199 AS n"), (std::vector<Row>{{{"n", 199}}}));
}

TEST_F(KLVSqliteStoreTest, NestedUseOfACachedStatementGetsItsOwn) {
    createItems();
    ASSERT_TRUE(store_->upsertRecord({{"name", "a"}, {"count", 1}}, "items", &error_));
    ASSERT_TRUE(store_->upsertRecord({{"name", "b"}, {"count", 2}}, "items", &error_));
    const std::string query = "SELECT name FROM items WHERE count >= ? ORDER BY count";
    std::vector<std::size_t> innerCounts;
    const auto outer = store_->recordsForQuery(query, {1}, &error_, [&](std::size_t, const Row&) {
        innerCounts.push_back(rows(query, {2}).size());
        return true;
    });
    EXPECT_EQ(outer, (std::vector<Row>{{{"name", "a"}}, {{"name", "b"}}}));
    EXPECT_EQ(innerCounts, (std::vector<std::size_t>{1, 1}));
}

// --- Transactions --------------------------------------------------------------------------------

TEST_F(KLVSqliteStoreTest, TransactionCommitsOrRollsBack) {
    createItems();
    EXPECT_TRUE(store_->performTransactionWithError(&error_, [&] {
        return store_->upsertRecord({{"name", "kept"}, {"count", 1}}, "items", nullptr);
    }));
    EXPECT_FALSE(store_->performTransactionWithError(&error_, [&] {
        EXPECT_TRUE(store_->upsertRecord({{"name", "dropped"}, {"count", 2}}, "items", nullptr));
        return false;
    }));
    EXPECT_EQ(error_.code, 3);
    EXPECT_EQ(error_.description, "Transaction failed");
    EXPECT_EQ(rows("SELECT name FROM items"), (std::vector<Row>{{{"name", "kept"}}}));
    // A block that says why keeps its cause; a success leaves the caller's error as it was.
    EXPECT_FALSE(store_->performTransactionWithError(&error_, [&] {
        return store_->upsertRecord({{"name", "x"}}, "missing_table", &error_);
    }));
    EXPECT_NE(error_.description.find("no such table: missing_table"), std::string::npos)
        << error_.description;
    EXPECT_TRUE(store_->performTransactionWithError(&error_, [] { return true; }));
    EXPECT_NE(error_.description.find("missing_table"), std::string::npos);
}

TEST_F(KLVSqliteStoreTest, FailedCommitIsRolledBackAndTheStoreStaysUsable) {
    ASSERT_EQ(sqlite3_exec(store_->sqliteHandle(),
                           "PRAGMA foreign_keys = ON;"
                           "CREATE TABLE parent (id INTEGER PRIMARY KEY);"
                           "CREATE TABLE child (id INTEGER PRIMARY KEY, parent_id INTEGER "
                           "REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    // The orphan is only refused at COMMIT.
    EXPECT_FALSE(store_->performTransactionWithError(&error_, [&] {
        return store_->upsertRecord({{"id", 1}, {"parent_id", 99}}, "child", nullptr);
    }));
    EXPECT_EQ(error_.code, 3);
    EXPECT_EQ(error_.description, "Failed to end transaction");
    EXPECT_NE(sqlite3_get_autocommit(store_->sqliteHandle()), 0);
    EXPECT_EQ(store_->rowCountForTableWithName("child", &error_), 0);

    EXPECT_TRUE(store_->performTransactionWithError(&error_, [&] {
        return store_->upsertRecord({{"id", 99}}, "parent", nullptr) &&
               store_->upsertRecord({{"id", 1}, {"parent_id", 99}}, "child", nullptr);
    })) << error_.description;
    EXPECT_EQ(store_->rowCountForTableWithName("child", &error_), 1);
}

TEST_F(KLVSqliteStoreTest, FullDatabaseFailsTheWriteAndKeepsWhatWasThere) {
    createItems();
    ASSERT_TRUE(store_->upsertRecord({{"name", "first"}, {"count", 1}}, "items", &error_));
    // No page may be added any more (the limit cannot go below the pages in use): the next large
    // row finds the disk "full".
    ASSERT_EQ(sqlite3_exec(store_->sqliteHandle(), "PRAGMA max_page_count = 1", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    Error writeError;
    EXPECT_FALSE(store_->performTransactionWithError(&error_, [&] {
        return store_->upsertRecord({{"name", std::string(64 * 1024, 'x')}, {"count", 2}}, "items",
                                    &writeError);
    }));
    EXPECT_EQ(writeError.code, 3);
    EXPECT_EQ(writeError.userInfo.at("KLVMonitorContext"), Object("execute statement,13,A"));
    EXPECT_EQ(rows("SELECT name FROM items"), (std::vector<Row>{{{"name", "first"}}}));
    EXPECT_TRUE(store_->performTransactionWithError(&error_, [&] {
        return store_->updateRecord({{"count", 5}}, "items", "name", "first", nullptr);
    }));
}

}  // namespace
}  // namespace engine
