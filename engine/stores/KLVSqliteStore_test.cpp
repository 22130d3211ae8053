#include "engine/stores/KLVSqliteStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>

#include "engine/base/EngineTestSupport.h"
#include "platform/foundation/FileAttributes.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using platform::Data;
using platform::Error;
using platform::Object;
using Row = KLVSqliteStore::Row;

// A fresh folder per test, removed afterwards.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "klvstore-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

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
    std::string text(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr);
        std::string out;
        if (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* value = sqlite3_column_text(statement, 0);
            if (value) out = reinterpret_cast<const char*>(value);
        }
        sqlite3_finalize(statement);
        return out;
    }

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
        out = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
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
    EXPECT_EQ(store_->databasePath(), path_);
}

TEST(KLVSqliteStoreOpenTest, EmptyPathIsRefused) {
    Error error;
    EXPECT_FALSE(KLVSqliteStore::initWithDatabasePath("", &error));
    EXPECT_EQ(error.domain, "com.nexory.zkt.measurement.ErrorDomain");
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.description, "Received empty database path on init");
}

// Writes a database with one row, then damages it as `damage` says.
struct CorruptCase {
    const char* name;
    void (*damage)(const fs::path& path);
};

const CorruptCase kCorruptCases[] = {
    {"garbage text",
     [](const fs::path& path) {
         writeFile(path, std::string(8192, 'x'));
         writeFile(path.string() + "-journal", "not a journal");
         writeFile(path.string() + "-wal", "not a log");
     }},
    {"damaged pages",
     [](const fs::path& path) {
         {
             RawConnection raw(path);
             raw.exec("CREATE TABLE t (a INTEGER PRIMARY KEY, b TEXT)");
             raw.exec("CREATE INDEX tb ON t (b)");
             raw.exec(
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
                 "INSERT INTO t SELECT i, printf('value %d', i) FROM n");
         }
         // Overwrite the middle of the file: the header stays, the b-tree pages do not.
         std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(3 * 4096);
         const std::string noise(4 * 4096, '\x5a');
         file.write(noise.data(), static_cast<std::streamsize>(noise.size()));
     }},
};

TEST(KLVSqliteStoreOpenTest, CorruptFileIsRecreatedEmptyWithItsCompanions) {
    for (const auto& c : kCorruptCases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path path = folder.path() / "db.sql";
        c.damage(path);

        Error error;
        auto store = KLVSqliteStore::initWithDatabasePath(path.string(), &error);
        ASSERT_TRUE(store) << error.description;
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

TEST(KLVSqliteStoreOpenTest, DirectoryInPlaceOfTheFileFailsAndStays) {
    TempFolder folder;
    const fs::path path = folder.path() / "db.sql";
    fs::create_directories(path / "inside");

    Error error;
    EXPECT_FALSE(KLVSqliteStore::initWithDatabasePath(path.string(), &error));
    EXPECT_EQ(error.code, 3);
    EXPECT_EQ(error.userInfo.at("KLVMonitorContext"), Object("initialize sqlite handle,14,A"));
    EXPECT_TRUE(fs::is_directory(path / "inside"));
}

class RecordingFileAttributes : public platform::FileAttributes {
  public:
    bool setExcludedFromBackup(const fs::path& path, bool, Error* error) override {
        excluded.push_back(path);
        if (failExclusion) return platform::fail(error, {"Test", 4, "no backup flag", {}});
        return true;
    }
    std::optional<bool> isImmutable(const fs::path&, Error* error) override {
        if (failRead)
            return platform::failWith<std::optional<bool>>(error, {"Test", 9, "no attributes", {}});
        return immutable;
    }
    bool setImmutable(const fs::path&, bool value, Error*) override {
        immutable = value;
        ++immutableWrites;
        return true;
    }
    std::vector<fs::path> excluded;
    bool immutable = false;
    bool failRead = false;
    bool failExclusion = false;
    int immutableWrites = 0;
};

class InstalledAttributes {
  public:
    InstalledAttributes() : attributes(std::make_shared<RecordingFileAttributes>()) {
        platform::FileAttributes::install(attributes);
    }
    ~InstalledAttributes() { platform::FileAttributes::install(nullptr); }
    std::shared_ptr<RecordingFileAttributes> attributes;
};

TEST(KLVSqliteStoreOpenTest, ImmutableFileIsMadeMutableAndExcludedFromBackup) {
    TempFolder folder;
    const fs::path path = folder.path() / "db.sql";
    RawConnection(path).exec("CREATE TABLE t (a INTEGER)");
    InstalledAttributes installed;
    installed.attributes->immutable = true;

    Error error;
    auto store = KLVSqliteStore::initWithDatabasePath(path.string(), &error);
    ASSERT_TRUE(store) << error.description;
    EXPECT_FALSE(installed.attributes->immutable);
    EXPECT_EQ(installed.attributes->excluded, std::vector<fs::path>{path});
}

TEST(KLVSqliteStoreOpenTest, FailedBackupExclusionIsOnlyLogged) {
    TempFolder folder;
    InstalledAttributes installed;
    installed.attributes->failExclusion = true;
    LogCapture log;
    EXPECT_TRUE(KLVSqliteStore::initWithDatabasePath((folder.path() / "db.sql").string()));
    EXPECT_EQ(log.count(34017), 1u);
}

TEST(KLVSqliteStoreOpenTest, UnreadableAttributesFailTheOpenWithoutDeleting) {
    TempFolder folder;
    const fs::path path = folder.path() / "db.sql";
    RawConnection(path).exec("CREATE TABLE t (a INTEGER)");
    InstalledAttributes installed;
    installed.attributes->failRead = true;

    Error error;
    EXPECT_FALSE(KLVSqliteStore::initWithDatabasePath(path.string(), &error));
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
        {"Update record failed. Database not open.",
         [](KLVSqliteStore& s, Error* e) {
             return s.updateRecord({{"a", 1}}, "items", "a", 1, e);
         }},
        {"Delete record failed. Database not open.",
         [](KLVSqliteStore& s, Error* e) {
             return s.deleteRecordFromTableWithName("items", "a", 1, e);
         }},
        {"Delete all records failed. Database not open.",
         [](KLVSqliteStore& s, Error* e) {
             return s.deleteAllRecordsFromTableWithName("items", e);
         }},
        {"Query records failed. Database not open.",
         [](KLVSqliteStore& s, Error* e) {
             return s.recordsForQuery("SELECT * FROM items", {}, e).has_value();
         }},
        {"Row count failed. Database not open.",
         [](KLVSqliteStore& s, Error* e) {
             return s.rowCountForTableWithName("items", e).has_value();
         }},
        {"Table exists failed. Database not open.",
         [](KLVSqliteStore& s, Error* e) { return s.tableExists("items", e).has_value(); }},
        {"Ensure table failed. Database not open.",
         [](KLVSqliteStore& s, Error* e) {
             return s.ensureTableWithName("items", {{"a", "TEXT"}}, {}, e);
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

TEST_F(KLVSqliteStoreTest, EnsureCreatesTheDeclaredColumnsInOrderWithATableKey) {
    ASSERT_TRUE(store_->ensureTableWithName("filters",
                                            {{"audience_id", "INTEGER NOT NULL"},
                                             {"filter_id", "INTEGER NOT NULL"},
                                             {"data", "BLOB NOT NULL"},
                                             {"PRIMARY KEY", "(audience_id, filter_id)"}},
                                            {{"session_scoped", "INTEGER"}, {"alpha", "TEXT"}},
                                            &error_))
        << error_.description;
    EXPECT_EQ(
        store_->columnsForTableWithName("filters", &error_),
        (std::vector<std::string>{"audience_id", "filter_id", "data", "session_scoped", "alpha"}));
    EXPECT_EQ(
        handleText(store_->sqliteHandle(), "SELECT sql FROM sqlite_master WHERE name='filters'"),
        "CREATE TABLE filters ( audience_id INTEGER NOT NULL, filter_id INTEGER NOT NULL, "
        "data BLOB NOT NULL, session_scoped INTEGER, alpha TEXT, PRIMARY KEY (audience_id, "
        "filter_id))");
    ASSERT_TRUE(store_->upsertRecord({{"audience_id", 1}, {"filter_id", 2}, {"data", Data{1}}},
                                     "filters", &error_));
    ASSERT_TRUE(store_->upsertRecord({{"audience_id", 1}, {"filter_id", 2}, {"data", Data{2}}},
                                     "filters", &error_));
    EXPECT_EQ(store_->rowCountForTableWithName("filters", &error_), 1);
}

TEST_F(KLVSqliteStoreTest, EnsureBringsAnExistingTableToItsDeclaration) {
    struct Case {
        const char* name;
        const char* existing;
        std::optional<std::string> failure;
        std::vector<std::string> columnsAfter;
    };
    const Case cases[] = {
        {"all columns present",
         "CREATE TABLE t (a TEXT NOT NULL, b INTEGER, c TEXT)",
         std::nullopt,
         {"a", "b", "c"}},
        {"add-on columns missing",
         "CREATE TABLE t (a TEXT NOT NULL)",
         std::nullopt,
         {"a", "b", "c"}},
        {"elementary column missing",
         "CREATE TABLE t (b INTEGER)",
         "Table is missing required columns",
         {"b"}},
        {"extra nullable column",
         "CREATE TABLE t (a TEXT NOT NULL, z BLOB)",
         std::nullopt,
         {"a", "z", "b", "c"}},
        {"extra NOT NULL column",
         "CREATE TABLE t (a TEXT NOT NULL, z BLOB NOT NULL)",
         "Table contains unknown non-optional columns",
         {"a", "z", "b", "c"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(sqlite3_exec(store_->sqliteHandle(), "DROP TABLE IF EXISTS t", nullptr, nullptr,
                               nullptr),
                  SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(store_->sqliteHandle(), c.existing, nullptr, nullptr, nullptr),
                  SQLITE_OK);
        Error error;
        const bool ensured = store_->ensureTableWithName("t", {{"a", "TEXT NOT NULL"}},
                                                         {{"b", "INTEGER"}, {"c", "TEXT"}}, &error);
        EXPECT_EQ(ensured, !c.failure.has_value());
        if (c.failure) {
            EXPECT_EQ(error.code, 2);
            EXPECT_EQ(error.description, *c.failure);
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

TEST_F(KLVSqliteStoreTest, TableCopiesAndDrops) {
    createItems();
    ASSERT_TRUE(store_->upsertRecord({{"name", "a"}, {"count", 1}}, "items", &error_));
    ASSERT_TRUE(store_->createEmptyTable("items_snapshot", "items", &error_));
    EXPECT_EQ(store_->rowCountForTableWithName("items_snapshot", &error_), 0);
    ASSERT_TRUE(store_->copyContentsFromTable("items", "items_snapshot", &error_));
    EXPECT_EQ(store_->rowCountForTableWithName("items_snapshot", &error_), 1);
    ASSERT_TRUE(store_->dropTableWithName("items_snapshot", &error_));
    EXPECT_EQ(store_->tableExists("items_snapshot", &error_), std::optional<bool>(false));

    EXPECT_FALSE(store_->copyContentsFromTable("items", "items", &error_));
    EXPECT_EQ(error_.description, "Received duplicate name for copy table");
    EXPECT_FALSE(store_->renameTable("", "x", &error_));
    EXPECT_EQ(error_.description, "Received empty old name for rename table");
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
        {Object(std::numeric_limits<std::int64_t>::min()), std::nullopt},
        {Object(std::numeric_limits<std::int64_t>::max()), std::nullopt},
        {Object(-0.25), std::nullopt},
        {Object(1e300), std::nullopt},
        {Object(withNul), std::nullopt},
        {Object(""), std::nullopt},
        {Object(Data{0, 255, 0}), std::nullopt},
        {Object(nullptr), std::nullopt},
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

    ASSERT_TRUE(store_->upsertRecord({{"name", "a"}, {"count", 1}}, "items", &error_));
    EXPECT_FALSE(
        store_->updateRecord({{"count", platform::Date{5}}}, "items", "name", "a", &error_));
    EXPECT_EQ(error_.code, 1);
    EXPECT_EQ(error_.description,
              "Failed to bind parameter of unexpected type to update statement");
}

TEST_F(KLVSqliteStoreTest, RowOperations) {
    createItems();
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(store_->upsertRecord({{"name", "n" + std::to_string(i)}, {"count", i}}, "items",
                                         &error_));
    }
    EXPECT_EQ(store_->rowCountForTableWithName("items", &error_), 5);
    EXPECT_EQ(store_->rowCountForTableWithName("items", "count", 3, &error_), 1);

    ASSERT_TRUE(
        store_->updateRecord({{"note", "x"}, {"count", 30}}, "items", "name", "n3", &error_));
    EXPECT_EQ(rows("SELECT count, note FROM items WHERE name = ?", {"n3"}),
              (std::vector<Row>{{{"count", 30}, {"note", "x"}}}));

    ASSERT_TRUE(
        store_->increaseColumn("count", 10, "items", "name IN (?, ?)", {"n1", "n2"}, &error_));
    EXPECT_EQ(rows("SELECT count FROM items WHERE name < 'n3' ORDER BY name"),
              (std::vector<Row>{{{"count", 11}}, {{"count", 12}}}));
    EXPECT_FALSE(store_->increaseColumn("note", 1, "items", "1", {}, &error_));
    EXPECT_EQ(error_.description, "Column type is not integer.");
    EXPECT_FALSE(store_->increaseColumn("missing", 1, "items", "1", {}, &error_));
    EXPECT_EQ(error_.description, "Invalid column or table name");

    ASSERT_TRUE(store_->updateAllRecordsInTableWithName("items", "note", "all", &error_));
    EXPECT_EQ(store_->rowCountForTableWithName("items", "note", "all", &error_), 5);

    EXPECT_EQ(store_->deleteRecordsFromTableWithName("items", "count > ?", {11}, &error_), 2);
    EXPECT_EQ(store_->deleteRecordsFromTableWithName("items", "count > ?", {11}, &error_), 0);
    ASSERT_TRUE(store_->deleteRecordFromTableWithName("items", "name", "n1", &error_));
    ASSERT_TRUE(store_->deleteRecordFromTableWithName("items", "name", "none", &error_));
    EXPECT_EQ(store_->rowCountForTableWithName("items", &error_), 2);
    ASSERT_TRUE(store_->deleteAllRecordsFromTableWithName("items", &error_));
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

TEST_F(KLVSqliteStoreTest, FilterDecidesWhichRowsAreKept) {
    createItems();
    for (int i = 1; i <= 4; ++i) {
        ASSERT_TRUE(store_->upsertRecord({{"name", "n" + std::to_string(i)}, {"count", i}}, "items",
                                         &error_));
    }
    std::vector<std::size_t> accepted;
    const auto two = store_->recordsForQuery("SELECT count FROM items ORDER BY count", {}, &error_,
                                             [&](std::size_t count, const Row&) {
                                                 accepted.push_back(count);
                                                 return count < 2;
                                             });
    EXPECT_EQ(two, (std::vector<Row>{{{"count", 1}}, {{"count", 2}}}));
    EXPECT_EQ(accepted, (std::vector<std::size_t>{0, 1, 2}));

    const auto none = store_->recordsForQuery("select count from items", {}, &error_,
                                              [](std::size_t, const Row&) { return false; });
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_EQ(log_.count(34005), 1u);
}

TEST_F(KLVSqliteStoreTest, QueryArgumentChecks) {
    createItems();
    struct Case {
        const char* query;
        platform::Array values;
        const char* expected;
    };
    const Case cases[] = {
        {"", {}, "Received empty query for records for query"},
        {"DELETE FROM items", {}, "Received invalid select query"},
        {"SELECT * FROM items WHERE name = ?", {}, "Received empty parameters"},
        {"SELECT 1; SELECT 2", {}, "Query contained more than one SQL statement."},
    };
    for (const auto& c : cases) {
        Error error;
        EXPECT_FALSE(store_->recordsForQuery(c.query, c.values, &error)) << c.query;
        EXPECT_EQ(error.code, 1) << c.query;
        EXPECT_EQ(error.description, c.expected);
    }
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

TEST_F(KLVSqliteStoreTest, NumberForQuery) {
    createItems();
    EXPECT_EQ(store_->numberForQuery("SELECT 2.5", {}, &error_), Object(2.5));
    EXPECT_EQ(store_->numberForQuery("SELECT max(count) FROM items", {}, &error_), std::nullopt);
    error_ = {};
    EXPECT_FALSE(store_->numberForQuery("SELECT 'x'", {}, &error_));
    EXPECT_EQ(error_.description, "Found result that was not numeric");
    EXPECT_FALSE(store_->numberForQuery("SELECT count FROM items", {}, &error_));
    EXPECT_EQ(error_.code, 3);
    EXPECT_EQ(error_.userInfo.at("KLVMonitorContext").asString().rfind("query numeric result,", 0),
              0u);
}

// --- Transactions --------------------------------------------------------------------------------

TEST_F(KLVSqliteStoreTest, TransactionCommitsOrRollsBack) {
    createItems();
    EXPECT_TRUE(store_->performTransactionWithError(&error_, [&] {
        return store_->upsertRecord({{"name", "kept"}, {"count", 1}}, "items", nullptr);
    }));
    EXPECT_FALSE(store_->performTransactionWithError(&error_, [&] {
        store_->upsertRecord({{"name", "dropped"}, {"count", 2}}, "items", nullptr);
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

TEST_F(KLVSqliteStoreTest, TransactionsDoNotNest) {
    Error inner;
    EXPECT_TRUE(store_->performTransactionWithError(&error_, [&] {
        return !store_->performTransactionWithError(&inner, [] { return true; });
    }));
    EXPECT_EQ(inner.code, 3);
    EXPECT_EQ(inner.description, "Failed to begin transaction");
}

TEST_F(KLVSqliteStoreTest, ExceptionRollsBackAndPropagates) {
    createItems();
    EXPECT_THROW(store_->performTransactionWithError(
                     &error_,
                     [&]() -> bool {
                         store_->upsertRecord({{"name", "x"}, {"count", 1}}, "items", nullptr);
                         throw std::runtime_error("boom");
                     }),
                 std::runtime_error);
    EXPECT_EQ(store_->rowCountForTableWithName("items", &error_), 0);
    EXPECT_TRUE(store_->performTransactionWithError(&error_, [] { return true; }));
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
    const auto pages = store_->numberForQuery("PRAGMA page_count", {}, &error_);
    ASSERT_TRUE(pages);
    // No page may be added any more: the next large row finds the disk "full".
    ASSERT_EQ(sqlite3_exec(store_->sqliteHandle(),
                           ("PRAGMA max_page_count = " + pages->description()).c_str(), nullptr,
                           nullptr, nullptr),
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
