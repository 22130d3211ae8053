#include "engine/database/KLVDatabase.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

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
    const std::map<std::string, std::vector<std::string>> expected = {
        {"app_metadata",
         {"last_bundle_index INTEGER NOT NULL", "last_bundle_end_timestamp REAL NOT NULL",
          "last_bundle_start_timestamp REAL", "day INTEGER", "daily_conversions_count INTEGER",
          "daily_events_count INTEGER", "daily_public_events_count INTEGER",
          "daily_error_events_count INTEGER", "remote_config_data BLOB",
          "remote_config_timestamp REAL", "daily_real_time_conversion_events_count INTEGER",
          "daily_real_time_dcu_events_count INTEGER"}},
        {"raw_events_metadata",
         {"metadata_fingerprint INTEGER NOT NULL PK", "metadata BLOB NOT NULL"}},
        {"raw_events",
         {"name TEXT NOT NULL", "timestamp REAL NOT NULL", "metadata_fingerprint INTEGER NOT NULL",
          "data BLOB NOT NULL", "is_realtime INTEGER"}},
        {"events",
         {"name TEXT NOT NULL PK", "lifetime_count INTEGER NOT NULL",
          "current_bundle_count INTEGER NOT NULL", "last_fire_timestamp REAL NOT NULL",
          "last_bundled_timestamp REAL", "last_sampled_complex_event_id INTEGER",
          "last_sampling_rate INTEGER", "last_exempt_from_sampling INTEGER",
          "last_bundled_day INTEGER", "current_session_count INTEGER"}},
        {"user_attributes",
         {"name TEXT NOT NULL PK", "set_timestamp REAL NOT NULL", "value BLOB NOT NULL",
          "origin TEXT"}},
        {"queue",
         {"data BLOB NOT NULL", "bundle_end_timestamp REAL NOT NULL", "is_realtime INTEGER",
          "retry_count INTEGER"}},
        {"event_filters",
         {"audience_id INTEGER NOT NULL PK", "filter_id INTEGER NOT NULL PK",
          "event_name TEXT NOT NULL", "data BLOB NOT NULL", "session_scoped INTEGER"}},
        {"property_filters",
         {"audience_id INTEGER NOT NULL PK", "filter_id INTEGER NOT NULL PK",
          "property_name TEXT NOT NULL", "data BLOB NOT NULL", "session_scoped INTEGER"}},
        {"audience_filter_values",
         {"audience_id INTEGER NOT NULL PK", "current_results BLOB", "previous_results BLOB"}},
        {"purchase_transactions", {"fingerprint TEXT NOT NULL PK"}},
        {"subscriptions", {"subscription_id TEXT NOT NULL PK"}},
        {"conditional_properties",
         {"name TEXT NOT NULL PK", "origin TEXT NOT NULL", "value BLOB NOT NULL",
          "creation_timestamp REAL NOT NULL", "active INTEGER NOT NULL",
          "trigger_timeout REAL NOT NULL", "triggered_timestamp REAL NOT NULL",
          "time_to_live REAL NOT NULL", "trigger_event_name TEXT", "timed_out_event BLOB",
          "triggered_event BLOB", "expired_event BLOB"}},
        {"main_event_params",
         {"event_id INTEGER NOT NULL PK", "children_to_process INTEGER NOT NULL",
          "main_event BLOB NOT NULL"}},
    };
    EXPECT_EQ(KLVMeasurementDatabaseTables().size(), expected.size());
    for (const auto& [table, columns] : expected) {
        EXPECT_EQ(describeTable(*database, table), columns) << table;
    }
    EXPECT_EQ(rows(*database,
                   "SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE "
                   "'%_old'"),
              std::vector<Row>{});
    EXPECT_EQ(rows(*database, "SELECT rowid, * FROM app_metadata"),
              (std::vector<Row>{{{"rowid", 1},
                                 {"last_bundle_index", 0},
                                 {"last_bundle_end_timestamp", 0.0},
                                 {"last_bundle_start_timestamp", 0.0},
                                 {"day", nullptr},
                                 {"daily_conversions_count", nullptr},
                                 {"daily_events_count", nullptr},
                                 {"daily_public_events_count", nullptr},
                                 {"daily_error_events_count", nullptr},
                                 {"remote_config_data", nullptr},
                                 {"remote_config_timestamp", nullptr},
                                 {"daily_real_time_conversion_events_count", nullptr},
                                 {"daily_real_time_dcu_events_count", nullptr}}}));
}

TEST_F(KLVDatabaseTest, OlderSchemaIsExtendedAndRebuiltWithoutLosingRows) {
    ASSERT_EQ(exec("CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
                   "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
                   "INSERT INTO raw_events VALUES ('_s', 1700000000, 7, x'0a01');"
                   "INSERT INTO raw_events VALUES ('_e', 1700000001, 7, x'0a02');"
                   "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, "
                   "is_realtime INTEGER);"
                   "INSERT INTO queue VALUES (x'1f8b', 5.5, 1);"),
              SQLITE_OK);
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        auto database = open();
        EXPECT_EQ(rows(*database,
                       "SELECT rowid, name, timestamp, metadata_fingerprint, data, "
                       "is_realtime FROM raw_events ORDER BY rowid"),
                  (std::vector<Row>{{{"rowid", 1},
                                     {"name", "_s"},
                                     {"timestamp", 1700000000.0},
                                     {"metadata_fingerprint", 7},
                                     {"data", Data{0x0a, 0x01}},
                                     {"is_realtime", nullptr}},
                                    {{"rowid", 2},
                                     {"name", "_e"},
                                     {"timestamp", 1700000001.0},
                                     {"metadata_fingerprint", 7},
                                     {"data", Data{0x0a, 0x02}},
                                     {"is_realtime", nullptr}}}));
        EXPECT_EQ(rows(*database, "SELECT * FROM queue"),
                  (std::vector<Row>{{{"data", Data{0x1f, 0x8b}},
                                     {"bundle_end_timestamp", 5.5},
                                     {"is_realtime", 1},
                                     {"retry_count", nullptr}}}));
        EXPECT_EQ(describeTable(*database, "raw_events")[1], "timestamp REAL NOT NULL");
    }
}

TEST_F(KLVDatabaseTest, FileOfGarbageIsRecreated) {
    fs::create_directories(fs::path(path()).parent_path());
    std::ofstream(path()) << std::string(5000, '#');
    auto database = open();
    ASSERT_TRUE(database);
    EXPECT_TRUE(database->queryAppMetadata());
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

TEST_F(KLVDatabaseTest, BusyFileIsKeptWhenItCannotBeOpenedNow) {
    ASSERT_EQ(exec("CREATE TABLE keep (a INTEGER); INSERT INTO keep VALUES (1)"), SQLITE_OK);
    sqlite3* holder = nullptr;
    sqlite3_open(path().c_str(), &holder);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    Error error;
    EXPECT_FALSE(KLVDatabase::initWithDatabaseName(kKLVMeasurementDatabaseName, config_, &error));
    EXPECT_EQ(error.code, 3);
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    auto database = open();
    EXPECT_EQ(rows(*database, "SELECT a FROM keep"), (std::vector<Row>{{{"a", 1}}}));
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

TEST_F(KLVDatabaseTest, EmptyNameIsRefused) {
    Error error;
    EXPECT_FALSE(KLVDatabase::initWithDatabaseName("", config_, &error));
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.description, "Received empty database name in init");
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

TEST_F(KLVDatabaseTest, ReadRowsThroughTheCreationBlock) {
    auto database = open();
    for (const char* name : {"a", "b", "c"}) {
        ASSERT_TRUE(database->insertDataType({{"subscription_id", name}}, "subscriptions"));
    }
    const KLVDatabase::CreateDataTypeBlock<std::string> names = [](const Row& row, Error*) {
        const auto& id = row.at("subscription_id").asString();
        return id == "b"
                   ? std::nullopt
                   : std::optional<std::string>(id + std::to_string(row.at("rowid").asInteger()));
    };
    EXPECT_EQ(
        database->allDataTypesFromTableWithName<std::string>("subscriptions", -1, nullptr, names),
        (std::vector<std::string>{"a1", "c3"}));
    EXPECT_EQ(
        database->allDataTypesFromTableWithName<std::string>("subscriptions", 1, nullptr, names),
        (std::vector<std::string>{"a1"}));

    Error error;
    EXPECT_EQ(database->dataTypesFromTableWithName<std::string>("subscriptions", "subscription_id",
                                                                "z", &error, names),
              std::vector<std::string>{});
    EXPECT_FALSE(database->dataTypesFromTableWithName<std::string>(
        "subscriptions", "subscription_id", "b", &error, names));
    EXPECT_EQ(error.code, 2);
    EXPECT_EQ(error.description, "Failed to initialize data types from dictionaries");
    EXPECT_FALSE(database->dataTypesFromTableWithName<std::string>(
        "subscriptions", "subscription_id", "a", &error, {}));
    EXPECT_EQ(error.description, "Received nil block to create data type from table");
    EXPECT_FALSE(
        database->allDataTypesFromTableWithName<std::string>("subscriptions", -1, &error, {}));
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.description, "Received nil block to get all data types");
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
    EXPECT_EQ(rows(*database,
                   "SELECT day, daily_conversions_count, daily_events_count, "
                   "daily_public_events_count, daily_error_events_count, "
                   "daily_real_time_conversion_events_count, "
                   "daily_real_time_dcu_events_count FROM app_metadata"),
              (std::vector<Row>{{{"day", 20000},
                                 {"daily_conversions_count", 1},
                                 {"daily_events_count", 2},
                                 {"daily_public_events_count", 3},
                                 {"daily_error_events_count", 4},
                                 {"daily_real_time_conversion_events_count", 5},
                                 {"daily_real_time_dcu_events_count", 6}}}));
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

TEST_F(KLVDatabaseTest, AppMetadataRoundTrips) {
    auto database = open();
    auto metadata = *KLVAppMetadata::initWithLastBundleIndex(41, 10.5, 20.25);
    ASSERT_TRUE(database->updateAppMetadata(metadata));
    const auto read = database->queryAppMetadata();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->lastBundleIndex(), 41);
    EXPECT_EQ(read->lastBundleStartTimestamp(), 10.5);
    EXPECT_EQ(read->lastBundleEndTimestamp(), 20.25);
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

    KLVPBMeasurementConfig withoutID;
    NANOSetInt64(withoutID, KLVPBMeasurementConfig::version, 8);
    EXPECT_FALSE(database->updateRemoteConfig(withoutID, &error));
    EXPECT_EQ(database->queryMeasurementConfigWithError(), config);

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
