#include <sqlite3.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/base/KLVDataAdditions.h"
#include "engine/database/DatabaseTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVRemoteConfig.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Error;
using platform::Object;
using testing::plain;
using Row = KLVDatabase::Row;

class KLVDatabaseRawEventsTest : public testing::DatabaseEventTest {
  protected:
    static KLVPBMeasurementBundle metadata(const std::string& appVersion) {
        KLVPBMeasurementBundle bundle;
        NANOSetString(bundle, KLVPBMeasurementBundle::app_id, testing::kTestAppID);
        NANOSetString(bundle, KLVPBMeasurementBundle::app_version, appVersion);
        return bundle;
    }
    static std::int64_t fingerprint(const KLVPBMeasurementBundle& bundle) {
        return klv_64LSBMD5(*bundle.protoBuffer());
    }
    static KLVEvent event(const char* name, double timestamp = testing::kTestNow,
                          const Dictionary& parameters = {}, double previous = 0) {
        return *KLVEvent::initWithOrigin("app", false, name, timestamp, previous, parameters);
    }
    void insert(const KLVEvent& event, std::int64_t fingerprint, bool isRealtime = false) {
        Error error;
        ASSERT_TRUE(database_->insertRawEvent(event, fingerprint, isRealtime, &error))
            << error.description;
    }
    std::vector<KLVRawEventData> read(std::int64_t fingerprint,
                                      const KLVSqliteStore::RowFilter& filter = {}) {
        Error error;
        auto events = database_->rawEventsWithMetadataFingerprint(fingerprint, &error, filter);
        EXPECT_TRUE(events) << error.description;
        return events.value_or(std::vector<KLVRawEventData>{});
    }
    // The smallest stored event that converts: its origin parameter alone.
    static platform::Data originOnlyEvent() {
        KLVPBEvent event;
        KLVPBEventParam origin;
        NANOSetString(origin, KLVPBEventParam::name, "_o");
        NANOSetString(origin, KLVPBEventParam::string_value, "app");
        NANOSetArray(event, KLVPBEvent::params, std::vector{origin});
        return *event.protoBuffer();
    }
    std::int64_t count(const std::string& table) {
        return *database_->sqliteStore().rowCountForTableWithName(table);
    }
};

TEST_F(KLVDatabaseRawEventsTest, MetadataIsStoredOncePerFingerprint) {
    const auto bundle = metadata("1.0");
    EXPECT_TRUE(database_->insertIfNotExistsRawEventMetadata(bundle));
    EXPECT_TRUE(database_->insertIfNotExistsRawEventMetadata(bundle));
    EXPECT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata("2.0")));
    EXPECT_EQ(count("raw_events_metadata"), 2);
    EXPECT_EQ(database_->queryRawEventsMetadataWithFingerprint(fingerprint(bundle)), bundle);

    Error error;
    EXPECT_FALSE(database_->queryRawEventsMetadataWithFingerprint(42, &error));
    EXPECT_EQ(error.code, 3);
    EXPECT_EQ(error.description, "Received empty dictionary for getting measurement bundle");

    // Only the metadata no raw event refers to is swept.
    insert(event("_s"), fingerprint(bundle));
    EXPECT_TRUE(database_->deleteUnusedRawEventsMetadata());
    EXPECT_EQ(count("raw_events_metadata"), 1);
    EXPECT_TRUE(database_->deleteRawEventMetadataWithMetadataFingerprint(fingerprint(bundle)));
    EXPECT_EQ(count("raw_events_metadata"), 0);
}

TEST_F(KLVDatabaseRawEventsTest, EncodedMetadataIsStoredUnderTheGivenFingerprintOnce) {
    const auto bundle = metadata("1.0");
    const auto bytes = bundle.protoBuffer().value();
    EXPECT_TRUE(database_->insertIfNotExistsRawEventMetadata(bytes, fingerprint(bundle)));
    // Stored already, whichever form it came in.
    EXPECT_TRUE(database_->insertIfNotExistsRawEventMetadata(bundle));
    EXPECT_TRUE(database_->insertIfNotExistsRawEventMetadata(bytes, fingerprint(bundle)));
    EXPECT_EQ(count("raw_events_metadata"), 1);
    EXPECT_EQ(database_->queryRawEventsMetadataWithFingerprint(fingerprint(bundle)), bundle);

    Error error;
    EXPECT_FALSE(database_->insertIfNotExistsRawEventMetadata(platform::Data{}, 7, &error));
    EXPECT_EQ(error.code, 3);
    EXPECT_EQ(error.description,
              "Received empty measurement bundle metadata for getting dictionary representation");
    EXPECT_EQ(count("raw_events_metadata"), 1);
}

TEST_F(KLVDatabaseRawEventsTest, RawEventRoundTripsWithItsArrays) {
    const Dictionary parameters = {
        {"score", 7},
        {"ratio", 0.5},
        {"items",
         Object::array({Object::dict({{"item_id", "a"}}), Object::dict({{"item_id", "b"}})})},
    };
    insert(event("purchase", 1'700'000'000.25, parameters, 1'600'000'000.5), 9, true);

    // The message keeps no name: the column does.
    const auto row = database_->sqliteStore().recordsForQuery("SELECT * FROM raw_events", {});
    ASSERT_TRUE(row && row->size() == 1);
    EXPECT_EQ(row->front().at("name"), Object("purchase"));
    EXPECT_EQ(row->front().at("is_realtime"), Object(1));
    EXPECT_FALSE(NANOHasField(KLVPBEvent::initWithBuffer(row->front().at("data").asData()),
                              KLVPBEvent::name));

    const auto events = read(9);
    ASSERT_EQ(events.size(), 1u);
    const auto& stored = events.front();
    EXPECT_EQ(stored.rawEvent().name(), "purchase");
    EXPECT_EQ(stored.rawEvent().timestamp(), 1'700'000'000.25);
    EXPECT_EQ(plain(stored.rawEvent().parameters()),
              Object::dict({{"_o", "app"},
                            {"items", Object::array({Object::dict({{"item_id", "a"}}),
                                                     Object::dict({{"item_id", "b"}})})},
                            {"ratio", 0.5},
                            {"score", 7}}));

    // An empty array is stored as a parameter without any value; it still reads back.
    insert(event("purchase", 1, {{"items", Object::array({})}}), 11);
    EXPECT_EQ(plain(read(11).front().rawEvent().parameters()),
              Object::dict({{"_o", "app"}, {"items", Object::array({})}}));
}

TEST_F(KLVDatabaseRawEventsTest, TextThatIsNotUTF8ReadsBackAsText) {
    // Bytes that are not UTF-8 come back as U+FFFD, never as an empty array or not at all.
    const Dictionary parameters = {
        {"note", "a\xFF"},
        {"items", Object::array({Object::dict({{"item_name", "\xC3"}})})},
    };
    insert(event("purchase", 1, parameters), 12);
    const auto events = read(12);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(
        plain(events.front().rawEvent().parameters()),
        Object::dict({{"_o", "app"},
                      {"items", Object::array({Object::dict({{"item_name", "\xEF\xBF\xBD"}})})},
                      {"note", "a\xEF\xBF\xBD"}}));
    const auto rebuilt =
        KLVEvent::initWithEventProto(event("purchase", 1, parameters).protoEvent());
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(plain(rebuilt->parameters()),
              Object::dict({{"_o", "app"}, {"note", "a\xEF\xBF\xBD"}}));
}

TEST_F(KLVDatabaseRawEventsTest, ReadsOneFingerprintOldestFirstUnderLimits) {
    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 0; i < 1001; ++i) {
            if (!database_->insertRawEvent(event(i % 2 ? "_e" : "_s"), 1, false)) return false;
        }
        return database_->insertRawEvent(event("_x"), 2, false);
    }));
    const auto oldest = read(1);
    ASSERT_EQ(oldest.size(), 1000u);
    EXPECT_EQ(oldest.front().rowID(), 1);
    EXPECT_EQ(oldest.back().rowID(), 1000);
    EXPECT_EQ(read(2).front().rowID(), 1002);

    // The filter sees the number accepted so far; false ends the read without the row.
    std::vector<std::size_t> seen;
    const auto filtered = read(1, [&](std::size_t accepted, const Row&) {
        seen.push_back(accepted);
        return accepted < 3;
    });
    EXPECT_EQ(filtered.size(), 3u);
    EXPECT_EQ(seen, (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_TRUE(read(3).empty());

    EXPECT_EQ(database_->nextMetadataFingerprintToProcess(), 1);
    ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(1001));
    EXPECT_EQ(database_->nextMetadataFingerprintToProcess(), 2);
    EXPECT_EQ(count("raw_events"), 1);
}

TEST_F(KLVDatabaseRawEventsTest, RowsThatDoNotConvertAreSkipped) {
    insert(event("_s"), 5);
    ASSERT_TRUE(database_->sqliteStore().upsertRecord({{"name", "_e"},
                                                       {"timestamp", 1.0},
                                                       {"metadata_fingerprint", 5},
                                                       {"data", platform::Data{0xff, 0xff}}},
                                                      "raw_events"));
    EXPECT_EQ(read(5).size(), 1u);
    ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(1));
    Error error;
    EXPECT_FALSE(database_->rawEventsWithMetadataFingerprint(5, &error, {}));
    EXPECT_EQ(error.description, "Failed to parse event from data");
}

TEST_F(KLVDatabaseRawEventsTest, RowConversionFailures) {
    const Row good = {{"rowid", 3},
                      {"name", "_s"},
                      {"timestamp", 1.5},
                      {"metadata_fingerprint", 8},
                      {"data", originOnlyEvent()}};
    const auto with = [&](const char* column, Object value) {
        Row row = good;
        row.insert_or_assign(column, std::move(value));
        return row;
    };
    const struct {
        const char* label;
        Row row;
        std::int64_t code;
        const char* description;
    } cases[] = {
        {"no rowid", with("rowid", Object()), 1,
         "Unable to find row ID in the database dictionary"},
        {"bad data", with("data", platform::Data{0xff}), 3, "Failed to parse event from data"},
        {"no origin", with("data", platform::Data{}), 2,
         "Cannot create an event from database. Missing origin parameter"},
        {"bad name", with("name", "a-b"), 2, "Failed to initialize raw event data from dictionary"},
    };
    for (const auto& c : cases) {
        Error error;
        EXPECT_FALSE(database_->rawEventDataFromDictionary(c.row, &error)) << c.label;
        EXPECT_EQ(error.code, c.code) << c.label;
        EXPECT_EQ(error.description, c.description) << c.label;
    }
    EXPECT_EQ(database_->rawEventDataFromDictionary(good)->rowID(), 3);
}

// The bundling read takes its columns straight from the statement: for every shape a stored row
// can have, it must convert exactly as the generic read does, and show its filter the row's
// place (row, timestamp, size) and why it did not convert.
TEST_F(KLVDatabaseRawEventsTest, BundlingReadConvertsAsTheGenericReadDoes) {
    const platform::Data bytes = originOnlyEvent();
    const auto size = static_cast<std::int64_t>(bytes.size());

    const struct {
        const char* label;
        Object name, timestamp, data;
        double seenTimestamp;
        std::int64_t seenSize;
        const char* failure;  // empty: converts
    } cases[] = {
        {"valid", "_s", 7.5, bytes, 7.5, size, ""},
        {"integer timestamp", "_s", 7, bytes, 7, size, ""},
        {"text timestamp", "_s", "x7", bytes, 0, size, ""},
        {"empty name", "", 7.5, bytes, 7.5, size,
         "Failed to initialize raw event data from dictionary"},
        {"name as blob", platform::Data{'_', 's'}, 7.5, bytes, 7.5, size,
         "Failed to initialize raw event data from dictionary"},
        {"data as text", "_s", 7.5, "abc", 7.5, 0,
         "Unable to find event data in the database dictionary"},
        {"empty data", "_s", 7.5, platform::Data{}, 7.5, 0,
         "Unable to find event data in the database dictionary"},
        {"garbage data", "_s", 7.5, platform::Data{0xff}, 7.5, 1,
         "Failed to parse event from data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(1'000'000));
        insert(event("_e", 3.0), 5);
        ASSERT_TRUE(database_->sqliteStore().upsertRecord({{"name", c.name},
                                                           {"timestamp", c.timestamp},
                                                           {"metadata_fingerprint", 5},
                                                           {"data", c.data}},
                                                          "raw_events"));
        Error genericError;
        const auto generic = database_->rawEventsWithMetadataFingerprint(5, &genericError, {});
        std::vector<KLVDatabase::RawEventRow> seen;
        std::vector<std::string> failures;
        Error error;
        const auto bundled = database_->rawEventsWithMetadataFingerprintForBundling(
            5, &error, [&](std::size_t, const KLVDatabase::RawEventRow& row) {
                seen.push_back(row);
                failures.push_back(row.event ? "" : row.conversionError->description);
                return true;
            });
        ASSERT_TRUE(generic && bundled);
        ASSERT_EQ(bundled->size(), generic->size());
        for (std::size_t i = 0; i < generic->size(); ++i) {
            EXPECT_EQ((*bundled)[i].rowID(), (*generic)[i].rowID());
            EXPECT_EQ((*bundled)[i].rawEvent().name(), (*generic)[i].rawEvent().name());
            EXPECT_EQ((*bundled)[i].rawEvent().timestamp(), (*generic)[i].rawEvent().timestamp());
            EXPECT_EQ((*bundled)[i].rawEvent().parameters(), (*generic)[i].rawEvent().parameters());
        }
        EXPECT_EQ(error.description, genericError.description);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[1].rowID, seen[0].rowID + 1);
        EXPECT_EQ(seen[1].timestamp, c.seenTimestamp);
        EXPECT_EQ(seen[1].dataSize, c.seenSize);
        EXPECT_EQ(failures, (std::vector<std::string>{"", c.failure}));
    }
}

TEST_F(KLVDatabaseRawEventsTest, TrimKeepsTheNewest) {
    useSettings({{"measurement.store.max_stored_events_per_app", "3"}});
    for (int i = 0; i < 5; ++i)
        insert(event("_s"), 1);
    EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(), 3);
    const auto rows = database_->sqliteStore().recordsForQuery("SELECT rowid FROM raw_events", {});
    EXPECT_EQ(*rows, (std::vector<Row>{{{"rowid", 4}}, {{"rowid", 5}}}));
}

// At the cap the oldest rows go by their key: the rows that survive must be exactly those the
// former statement kept (it walked the newest rows to skip them), for every cap, with gaps in
// the row IDs (rows bundled or deleted meanwhile), and while the row count is followed in memory
// across inserts, deletions of the database's own and commits of another connection.
TEST_F(KLVDatabaseRawEventsTest, TrimKeepsTheSameRowsAsTheFormerStatement) {
    useSettings({});
    auto& store = database_->sqliteStore();
    const auto rowIDs = [&](const std::string& table, const std::string& column) {
        std::vector<std::int64_t> ids;
        const auto rows = store.recordsForQuery(
            "SELECT " + column + " AS id FROM " + table + " ORDER BY " + column, {});
        for (const auto& row : rows.value_or(std::vector<Row>{}))
            ids.push_back(row.at("id").asInteger());
        return ids;
    };
    // The former statement, on a copy of the row IDs.
    const auto formerSurvivors = [&](std::int64_t cap) {
        EXPECT_EQ(sqlite3_exec(store.sqliteHandle(),
                               "DROP TABLE IF EXISTS temp.former; CREATE TEMP TABLE former AS "
                               "SELECT rowid AS id FROM raw_events",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        const std::string trim =
            "DELETE FROM temp.former WHERE id IN (SELECT id FROM temp.former ORDER BY id DESC "
            "LIMIT -1 OFFSET " +
            std::to_string(cap - 1) + ")";
        EXPECT_EQ(sqlite3_exec(store.sqliteHandle(), trim.c_str(), nullptr, nullptr, nullptr),
                  SQLITE_OK);
        return rowIDs("temp.former", "id");
    };
    const auto trimAndCompare = [&](std::int64_t cap) {
        SCOPED_TRACE("cap " + std::to_string(cap));
        ASSERT_TRUE(KLVRemoteConfig::current()->updateMeasurementConfig(testing::makeConfig(
            testing::kTestAppID,
            {{"measurement.store.max_stored_events_per_app", std::to_string(cap)}})));
        ASSERT_EQ(KLVRemoteConfig::current()->maxEventsStored(), cap);
        const auto before = rowIDs("raw_events", "rowid");
        const auto expected = formerSurvivors(cap);
        std::optional<std::int64_t> deleted;
        ASSERT_TRUE(database_->performTransaction(
            [&] { return (deleted = database_->deleteRawEventsOverAbsoluteLimit()).has_value(); }));
        EXPECT_EQ(rowIDs("raw_events", "rowid"), expected);
        EXPECT_EQ(*deleted, static_cast<std::int64_t>(before.size() - expected.size()));
    };
    const auto insertRows = [&](int n) {
        for (int i = 0; i < n; ++i)
            insert(event("_s"), 1);
    };
    const auto execute = [&](const char* sql) {
        ASSERT_EQ(sqlite3_exec(store.sqliteHandle(), sql, nullptr, nullptr, nullptr), SQLITE_OK);
    };

    // Rows 1 to 20, counted; then gaps: 3 to 5 and 12 bundled, 20 deleted (the next row gets 20
    // again).
    insertRows(20);
    trimAndCompare(1000);
    execute("DELETE FROM raw_events WHERE rowid BETWEEN 3 AND 5 OR rowid IN (12, 20)");
    for (const std::int64_t cap : {16, 15, 14, 9})
        trimAndCompare(cap);
    // At the cap: each new row makes the oldest go, as for every event of a phone offline.
    for (int i = 0; i < 5; ++i) {
        insertRows(1);
        trimAndCompare(9);
    }
    // Rows deleted by another connection: noticed when the next transaction begins.
    {
        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(store.databasePath().c_str(), &other), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(other, "DELETE FROM raw_events WHERE rowid % 2 = 0", nullptr,
                               nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(other);
    }
    insertRows(3);
    trimAndCompare(6);
    // A write rolled back: the count it added is not kept.
    EXPECT_FALSE(database_->performTransaction([&] {
        insertRows(4);
        return false;
    }));
    trimAndCompare(4);
    // Caps of one and none keep no older row at all.
    trimAndCompare(2);
    trimAndCompare(1);
    insertRows(2);
    trimAndCompare(0);
    EXPECT_TRUE(rowIDs("raw_events", "rowid").empty());
    insertRows(1);
    trimAndCompare(1);
    EXPECT_TRUE(rowIDs("raw_events", "rowid").empty());
}

TEST_F(KLVDatabaseRawEventsTest, StaleRawEventsAndTheirMetadataGo) {
    const auto bundle = metadata("1.0");
    ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(bundle));
    ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata("2.0")));
    insert(event("_s", testing::kTestNow - 100), fingerprint(bundle));
    insert(event("_s", testing::kTestNow + 100), fingerprint(bundle));
    insert(event("_s", testing::kTestNow - 50), fingerprint(metadata("2.0")));

    EXPECT_TRUE(database_->deleteStaleRawEventsDataOlderThanMaxAge(50));
    EXPECT_EQ(count("raw_events"), 1);
    EXPECT_EQ(count("raw_events_metadata"), 1);
    EXPECT_TRUE(
        database_->containsRawEventWithMetadataFingerprint(fingerprint(metadata("2.0"))).value());

    EXPECT_FALSE(database_->deleteStaleRawEventsDataOlderThanMaxAge(-1));
    insert(event("_s", testing::kTestNow + 200), 4, true);
    EXPECT_EQ(database_->queryLatestRawEventTime(), testing::kTestNow + 200);
    EXPECT_EQ(database_->containsRealtimeRawEventsWithError(), true);
}

}  // namespace
}  // namespace engine
