#include "engine/database/KLVDatabase.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "engine/base/EngineTestSupport.h"
#include "engine/database/KLVDatabaseSchema.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/stores/KLVFileLocations.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "testkit/ManualClock.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using platform::Data;
using platform::Error;
using platform::Object;
using Row = KLVSqliteStore::Row;

// 2023-11-14T22:13:20Z, 1,700,000,000 s: day 19675 from midnight UTC.
constexpr double kNow = 1'700'000'000.0;

class KLVDatabaseTest : public testkit::TempHomeTest {
  protected:
    void SetUp() override {
        config_ = KLVPersistedConfig::initWithSuiteName(kKLVPersistedConfigName);
        config_->setDouble(0, KLVPersistedConfigKey("midnight_offset"));
    }

    std::unique_ptr<KLVDatabase> open() {
        Error error;
        auto database =
            KLVDatabase::initWithDatabaseName(kKLVMeasurementDatabaseName, config_, &error);
        EXPECT_TRUE(database) << error.description;
        return database;
    }
    static std::string path() { return KLVMeasurementFilePath(kKLVMeasurementDatabaseName); }
    static int exec(const std::string& sql) {
        sqlite3* db = nullptr;
        fs::create_directories(fs::path(path()).parent_path());
        sqlite3_open(path().c_str(), &db);
        const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        sqlite3_close(db);
        return rc;
    }
    static std::vector<Row> rows(KLVDatabase& database, const std::string& query) {
        return database.sqliteStore().recordsForQuery(query, {}).value_or(std::vector<Row>{});
    }

    testkit::ScopedManualClock clock_{kNow};
    std::shared_ptr<KLVPersistedConfig> config_;
    LogCapture log_;
};

// --- Schema --------------------------------------------------------------------------------------

// PRAGMA table_info of a table as "name TYPE [NOT NULL] [PK]" lines.
std::vector<std::string> describeTable(KLVDatabase& database, const std::string& table) {
    std::vector<std::string> lines;
    for (const auto& row : database.sqliteStore()
                               .recordsForQuery("SELECT name, type, \"notnull\", pk FROM "
                                                "pragma_table_info(?) ORDER BY cid",
                                                {table})
                               .value_or(std::vector<Row>{})) {
        std::string line = row.at("name").asString() + " " + row.at("type").asString();
        if (row.at("notnull").asInteger()) line += " NOT NULL";
        if (row.at("pk").asInteger()) line += " PK";
        lines.push_back(line);
    }
    return lines;
}

TEST_F(KLVDatabaseTest, FreshFileHasEveryDeclaredTableInOrder) {
    auto database = open();
    // One table transcribed; the others follow the same declaration.
    EXPECT_EQ(KLVMeasurementDatabaseTables().size(), 13u);
    EXPECT_EQ(describeTable(*database, "raw_events"),
              (std::vector<std::string>{"name TEXT NOT NULL", "timestamp REAL NOT NULL",
                                        "metadata_fingerprint INTEGER NOT NULL",
                                        "data BLOB NOT NULL", "is_realtime INTEGER"}));
    EXPECT_EQ(rows(*database, "SELECT rowid, last_bundle_index, day FROM app_metadata"),
              (std::vector<Row>{{{"rowid", 1}, {"last_bundle_index", 0}, {"day", nullptr}}}));
}

TEST_F(KLVDatabaseTest, SchedulingQueriesReadIndexesThatOlderFilesGainOnOpen) {
    open();
    ASSERT_EQ(exec("DROP INDEX raw_events_timestamp; DROP INDEX queue_realtime"), SQLITE_OK);
    auto database = open();
    EXPECT_EQ(rows(*database,
                   "SELECT name FROM sqlite_master WHERE type = 'index' AND name NOT "
                   "LIKE 'sqlite_autoindex%' ORDER BY name"),
              (std::vector<Row>{{{"name", "queue_bundle_end_timestamp"}},
                                {{"name", "queue_realtime"}},
                                {{"name", "raw_events_realtime"}},
                                {{"name", "raw_events_timestamp"}}}));
    const auto plan = [](const std::string& query) {
        std::string details;
        sqlite3* db = nullptr;
        sqlite3_open(path().c_str(), &db);
        sqlite3_exec(
            db, ("EXPLAIN QUERY PLAN " + query).c_str(),
            [](void* out, int columns, char** values, char**) {
                static_cast<std::string*>(out)->append(values[columns - 1]).append(";");
                return 0;
            },
            &details, nullptr);
        sqlite3_close(db);
        return details;
    };
    EXPECT_EQ(plan("SELECT MAX(timestamp) FROM raw_events"),
              "SEARCH raw_events USING COVERING INDEX raw_events_timestamp;");
    EXPECT_NE(plan("SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)")
                  .find("COVERING INDEX queue_realtime"),
              std::string::npos);
}

TEST_F(KLVDatabaseTest, TablesContradictingTheirDeclarationGiveUpTheFile) {
    ASSERT_EQ(exec("CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER "
                   "NOT NULL, current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT "
                   "NULL, surprise TEXT NOT NULL)"),
              SQLITE_OK);
    Error error;
    EXPECT_FALSE(KLVDatabase::initWithDatabaseName(kKLVMeasurementDatabaseName, config_, &error));
    EXPECT_EQ(error.description, "Table contains unknown non-optional columns");
    EXPECT_TRUE(log_.contains(12047));
    EXPECT_TRUE(log_.contains(12002));
    for (const char* suffix : {"", "-wal", "-shm"})
        EXPECT_FALSE(fs::exists(path() + suffix));
    EXPECT_TRUE(open());  // the next start begins afresh
}

TEST_F(KLVDatabaseTest, ResetLeavesAnEmptyDatabaseWithAFreshMetadataRow) {
    auto database = open();
    auto metadata = database->queryAppMetadata();
    metadata->incrementLastBundleIndex();
    ASSERT_TRUE(database->updateAppMetadata(*metadata));
    ASSERT_TRUE(database->insertDataType({{"fingerprint", "abc"}}, "purchase_transactions"));
    Error error;
    ASSERT_TRUE(database->reset(&error)) << error.description;
    EXPECT_EQ(database->sqliteStore().databasePath(), path());
    EXPECT_EQ(database->queryAppMetadata()->lastBundleIndex(), 0);
    EXPECT_EQ(database->sqliteStore().rowCountForTableWithName("purchase_transactions"), 0);
}

// --- Generic row operations ----------------------------------------------------------------------

TEST_F(KLVDatabaseTest, UpsertRespectsTheTableLimitUnlessTheKeyExists) {
    auto database = open();
    Error error;
    EXPECT_TRUE(database->upsertDataType(
        {{"rowid", 1}, {"last_bundle_index", 3}, {"last_bundle_end_timestamp", 1.0}},
        "app_metadata", "rowid", 1, 1, &error))
        << error.description;
    EXPECT_FALSE(database->upsertDataType(
        {{"rowid", 2}, {"last_bundle_index", 3}, {"last_bundle_end_timestamp", 1.0}},
        "app_metadata", "rowid", 2, 1, &error));
    EXPECT_EQ(error.code, 2);
    EXPECT_EQ(error.description, "Failed to insert data type. Table is full");
    EXPECT_EQ(database->sqliteStore().rowCountForTableWithName("app_metadata"), 1);
}

TEST_F(KLVDatabaseTest, UpdateNeedsAnExistingRow) {
    auto database = open();
    Error error;
    EXPECT_FALSE(database->updateDataType({{"retry_count", 1}}, "queue", "rowid", 9, &error));
    EXPECT_EQ(error.description, "Failed to update record. Item doesn't exist");
    EXPECT_FALSE(database->insertDataType({}, "queue", &error));
    EXPECT_EQ(error.description, "Failed to insert empty record");
}

TEST_F(KLVDatabaseTest, FailedTransactionIsLoggedWithItsCause) {
    auto database = open();
    Error error;
    EXPECT_FALSE(database->performTransaction([] { return false; }, &error));
    EXPECT_EQ(log_.line(12056).substr(log_.line(12056).find("Transaction failed")),
              "Transaction failed. Transaction failed");
    log_.clear();
    EXPECT_FALSE(database->performTransaction(
        [&](Error* cause) {
            return database->insertDataType({{"nope", 1}}, "queue", cause);
        },
        &error));
    EXPECT_NE(error.description.find("no column named nope"), std::string::npos)
        << error.description;
    EXPECT_NE(log_.line(12056).find("Transaction failed. Database operation"), std::string::npos)
        << log_.line(12056);
    EXPECT_TRUE(database->performTransaction([] { return true; }));
}

// --- Metadata row and daily counters -------------------------------------------------------------

TEST_F(KLVDatabaseTest, DailyCountersRoundTripAndReadAsTodayWhenNeverWritten) {
    auto database = open();
    EXPECT_EQ(database->dailyCounts(), KLVDailyCounts(19675, 0, 0, 0, 0, 0, 0));
    const KLVDailyCounts stored(20000, 1, 2, 3, 4, 5, 6);
    ASSERT_TRUE(database->updateDailyCounts(stored));
    EXPECT_EQ(database->dailyCounts(), stored);  // the stored day, not today
    EXPECT_EQ(
        rows(*database,
             "SELECT day, daily_events_count, daily_real_time_dcu_events_count "
             "FROM app_metadata"),
        (std::vector<Row>{
            {{"day", 20000}, {"daily_events_count", 2}, {"daily_real_time_dcu_events_count", 6}}}));
}

TEST_F(KLVDatabaseTest, DayBoundaryFollowsTheMidnightOffset) {
    config_->setDouble(3600, KLVPersistedConfigKey("midnight_offset"));
    clock_->setNow(1'699'920'000.0 + 3599);  // 2023-11-14T00:59:59Z
    auto database = open();
    auto counts = *database->dailyCounts();
    EXPECT_EQ(counts.day(), 19674);
    counts.incrementCountsForCurrentDay(counts.day(), true, false);
    ASSERT_TRUE(database->updateDailyCounts(counts));

    clock_.advance(1);  // 01:00:00: a new day for this installation
    const auto today = KLVDayNumber(clock_->now(), config_->midnightOffset());
    EXPECT_EQ(today, 19675);
    counts = *database->dailyCounts();
    EXPECT_EQ(counts.day(), 19674);
    counts.incrementCountsForCurrentDay(today, true, false);
    EXPECT_EQ(counts, KLVDailyCounts(19675, 0, 1, 1, 0, 0, 0));
}

TEST_F(KLVDatabaseTest, RemoteConfigIsStoredOnlyWithAnAppID) {
    auto database = open();
    KLVPBMeasurementConfig config;
    NANOSetInt64(config, KLVPBMeasurementConfig::version, 7);
    Error error;
    EXPECT_FALSE(database->updateRemoteConfig(config, &error));
    EXPECT_EQ(error.description, "Missing Nexory app ID in measurement configuration");
    EXPECT_FALSE(database->updateRemoteConfig(KLVPBMeasurementConfig(), &error));
    EXPECT_EQ(error.description, "Invalid measurement config data");
    error = {};
    EXPECT_FALSE(database->queryMeasurementConfigWithError(&error));
    EXPECT_EQ(error.code, 0);

    NANOSetString(config, KLVPBMeasurementConfig::app_id, "1:123:ios:abc");
    ASSERT_TRUE(database->updateRemoteConfig(config, &error)) << error.description;
    EXPECT_EQ(database->queryMeasurementConfigWithError(), config);
    EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(), Object(kNow));

    ASSERT_TRUE(database->updateRemoteConfigSuccessfulTimestamp(kNow + 60));
    EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(), Object(kNow + 60));
    EXPECT_EQ(database->queryMeasurementConfigWithError(), config);
}

TEST_F(KLVDatabaseTest, CorruptStoredConfigIsReported) {
    auto database = open();
    ASSERT_TRUE(database->updateDataType({{"remote_config_data", Data{0x12, 0xff, 0xff}}},
                                         "app_metadata", "rowid", 1));
    Error error;
    EXPECT_FALSE(database->queryMeasurementConfigWithError(&error));
    EXPECT_EQ(error.code, 2);
    EXPECT_EQ(error.description, "Remote config data is corrupted");
}

}  // namespace
}  // namespace engine
