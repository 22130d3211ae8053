// Raw events and the bundle metadata they are stored under.

#include <sqlite3.h>

#include <span>
#include <string_view>
#include <utility>

#include "engine/base/KLVDataAdditions.h"
#include "engine/base/KLVErrors.h"
#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/database/KLVDatabaseSchema.h"
#include "engine/database/KLVDatabaseTableSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "platform/dispatch/Clock.h"

namespace engine {

using platform::Error;
using platform::Object;
using table_support::booleanOf;
using table_support::fail;

namespace {

constexpr std::int64_t kMaxMetadataRows = 100000;
constexpr std::int64_t kMaxRawEventsPerRead = 1000;

constexpr char kFingerprintColumn[] = "metadata_fingerprint";
constexpr char kMetadataColumn[] = "metadata";
constexpr char kRowIDColumn[] = "rowid";
constexpr char kNameColumn[] = "name";
constexpr char kTimestampColumn[] = "timestamp";
constexpr char kDataColumn[] = "data";
constexpr char kRealtimeColumn[] = "is_realtime";

// A present, non-NULL column.
const Object* column(const KLVDatabase::Row& row, std::string_view name) {
    const auto found = row.find(name);
    if (found == row.end() || found->second.isNull()) return nullptr;
    return &found->second;
}

// --- Parameter reader ------------------------------------------------------------------------

// The value field of a parameter message, when it has one: string, then integer, then double
// (the float field is not read).
std::optional<KLVValue> scalarOf(const KLVPBEventParam& message) {
    if (auto text = NANOGetString(message, KLVPBEventParam::string_value)) {
        return KLVValue::initWithString(std::move(*text));
    }
    if (NANOHasField(message, KLVPBEventParam::int_value)) {
        return KLVValue::initWithInt64(NANOGetInt64(message, KLVPBEventParam::int_value));
    }
    if (NANOHasField(message, KLVPBEventParam::double_value)) {
        return KLVValue::initWithDouble(NANOGetDouble(message, KLVPBEventParam::double_value));
    }
    return std::nullopt;
}

std::vector<KLVPBEventParam> childrenOf(const KLVPBEventParam& message) {
    return NANOGetArray<KLVPBEventParam>(message, KLVPBEventParam::param_value)
        .value_or(std::vector<KLVPBEventParam>{});
}

// One array element: the item's parameters merged into one dictionary (nameless or valueless
// children contribute nothing).
Object itemOf(const KLVPBEventParam& message) {
    platform::Dictionary item;
    for (const auto& child : childrenOf(message)) {
        const auto name = NANOGetString(child, KLVPBEventParam::name);
        const auto value = scalarOf(child);
        if (name && value) item.insert_or_assign(*name, value->value());
    }
    return Object(std::move(item));
}

// One top-level parameter. A parameter without a value field is an array whose children are the
// items; so an empty "items" array, which has neither, reads back as an empty array instead of
// making its whole event unreadable.
std::optional<std::pair<std::string, KLVValue>> readParameter(const KLVPBEventParam& message) {
    auto name = NANOGetString(message, KLVPBEventParam::name);
    if (!name) return std::nullopt;
    if (auto scalar = scalarOf(message)) return std::pair{std::move(*name), std::move(*scalar)};
    platform::Array items;
    for (const auto& child : childrenOf(message))
        items.push_back(itemOf(child));
    return std::pair{std::move(*name), KLVValue::initWithArray(std::move(items))};
}

struct StoredEventParameters {
    std::string origin;
    KLVParameters parameters;
};

std::optional<StoredEventParameters> readParameters(const KLVPBEvent& message, Error* error) {
    StoredEventParameters stored;
    const auto parameters = NANOGetArray<KLVPBEventParam>(message, KLVPBEvent::params)
                                .value_or(std::vector<KLVPBEventParam>{});
    for (const auto& parameter : parameters) {
        if (NANOGetString(parameter, KLVPBEventParam::name) == kKLVOriginParameter) {
            auto origin = NANOGetString(parameter, KLVPBEventParam::string_value);
            if (!origin) {
                fail(error, kKLVErrorCodeFailedOperation,
                     "Cannot create an event from database. Origin parameter is not a string");
                return std::nullopt;
            }
            stored.origin = std::move(*origin);
            continue;
        }
        auto entry = readParameter(parameter);
        if (!entry) {
            fail(error, kKLVErrorCodeFailedOperation, "Failed to parse event params from data");
            return std::nullopt;
        }
        stored.parameters.insert_or_assign(std::move(entry->first), std::move(entry->second));
    }
    return stored;
}

using StoredRawEvent = KLVDatabase::RawEventColumns;

std::optional<KLVRawEventData> rawEventFromStored(const StoredRawEvent& row, Error* error) {
    if (!row.rowID) {
        fail(error, kKLVErrorCodeBadArgument, "Unable to find row ID in the database dictionary");
        return std::nullopt;
    }
    if (!row.data) {
        fail(error, kKLVErrorCodeBadArgument,
             "Unable to find event data in the database dictionary");
        return std::nullopt;
    }
    if (!row.fingerprint) {
        fail(error, kKLVErrorCodeBadArgument,
             "Unable to find event metadata in the database dictionary");
        return std::nullopt;
    }
    const auto message = KLVPBEvent::initWithBuffer(*row.data);
    if (!message) {
        fail(error, kKLVErrorCodeEmptyData, "Failed to parse event from data");
        return std::nullopt;
    }
    auto stored = readParameters(*message, error);
    if (!stored) return std::nullopt;
    if (stored->origin.empty()) {
        fail(error, kKLVErrorCodeFailedOperation,
             "Cannot create an event from database. Missing origin parameter");
        return std::nullopt;
    }
    const double previousTimestamp =
        static_cast<double>(NANOGetInt64(*message, KLVPBEvent::previous_timestamp_millis)) / 1000.0;
    auto rawEvent = KLVRawEventData::initWithRawEvent(
        KLVEvent::initWithOrigin(std::move(stored->origin), false, std::string(row.name),
                                 row.timestamp, previousTimestamp, stored->parameters),
        *row.rowID, *row.fingerprint);
    if (!rawEvent) {
        fail(error, kKLVErrorCodeFailedOperation,
             "Failed to initialize raw event data from dictionary");
    }
    return rawEvent;
}

// Columns of the bundling read, in its SELECT order.
enum RawEventColumn : int { kRowID, kName, kTimestamp, kFingerprint, kData };

// A zero-length blob has no buffer: like the generic row reader, it reads as no value (logged).
bool blobIsMissing(sqlite3_stmt* statement, int index, const char* name) {
    if (sqlite3_column_type(statement, index) != SQLITE_BLOB ||
        sqlite3_column_blob(statement, index) != nullptr) {
        return false;
    }
    monitor().logWithLevel(kKLVLogWarningMonitored, 34004, "Value is nil for column", Object(name));
    return true;
}

std::optional<double> numberAt(sqlite3_stmt* statement, int index) {
    const int type = sqlite3_column_type(statement, index);
    if (type == SQLITE_INTEGER) return static_cast<double>(sqlite3_column_int64(statement, index));
    if (type == SQLITE_FLOAT) return sqlite3_column_double(statement, index);
    return std::nullopt;
}

std::optional<std::int64_t> integerAt(sqlite3_stmt* statement, int index) {
    if (sqlite3_column_type(statement, index) != SQLITE_INTEGER) return std::nullopt;
    return sqlite3_column_int64(statement, index);
}

// The row the statement stands on, its columns viewing the statement's own buffers (valid until
// the next step).
StoredRawEvent storedRawEventAt(sqlite3_stmt* statement) {
    StoredRawEvent row;
    for (const auto& [index, name] : {std::pair{kName, kNameColumn}, std::pair{kData, kDataColumn}})
        blobIsMissing(statement, index, name);
    row.rowID = integerAt(statement, kRowID);
    if (sqlite3_column_type(statement, kName) == SQLITE_TEXT) {
        const auto* text = sqlite3_column_text(statement, kName);
        if (text) {
            row.name =
                std::string_view(reinterpret_cast<const char*>(text),
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement, kName)));
        }
    }
    row.timestamp = numberAt(statement, kTimestamp).value_or(0);
    row.fingerprint = integerAt(statement, kFingerprint);
    if (sqlite3_column_type(statement, kData) == SQLITE_BLOB) {
        const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, kData));
        if (bytes) {
            row.data = std::span<const std::uint8_t>(
                bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, kData)));
        }
    }
    return row;
}

}  // namespace

// --- Metadata ----------------------------------------------------------------------------------

bool KLVDatabase::insertIfNotExistsRawEventMetadata(const KLVPBMeasurementBundle& metadata,
                                                    Error* error) {
    const auto bytes = metadata.protoBuffer().value_or(platform::Data{});
    return insertIfNotExistsRawEventMetadata(bytes, klv_64LSBMD5(bytes), error);
}

bool KLVDatabase::insertIfNotExistsRawEventMetadata(const platform::Data& bytes,
                                                    std::int64_t fingerprint, Error* error) {
    auto& known = mirrors().metadataFingerprints;
    if (known.count(fingerprint) != 0) return true;
    const auto existing = sqliteStore_->rowCountForTableWithName(
        kKLVRawEventsMetadataTable, kFingerprintColumn, Object(fingerprint), error);
    if (!existing) return false;
    if (*existing > 0) {
        mirrors().metadataFingerprints.insert(fingerprint);
        return true;
    }
    if (bytes.empty()) {
        return fail(error, kKLVErrorCodeEmptyData,
                    "Received empty measurement bundle metadata for getting dictionary "
                    "representation");
    }
    const Record record = {{kFingerprintColumn, fingerprint}, {kMetadataColumn, bytes}};
    if (!upsertDataType(record, kKLVRawEventsMetadataTable, kFingerprintColumn, Object(fingerprint),
                        kMaxMetadataRows, error)) {
        return false;
    }
    mirrors().metadataFingerprints.insert(fingerprint);
    return true;
}

std::optional<KLVPBMeasurementBundle> KLVDatabase::queryRawEventsMetadataWithFingerprint(
    std::int64_t metadataFingerprint, Error* error) {
    const auto rows = sqliteStore_->recordsForQuery(
        "SELECT metadata FROM raw_events_metadata WHERE "
        "metadata_fingerprint = ? LIMIT 1",
        {metadataFingerprint}, error);
    if (!rows) return std::nullopt;
    if (rows->empty()) {
        fail(error, kKLVErrorCodeEmptyData,
             "Received empty dictionary for getting measurement bundle");
        return std::nullopt;
    }
    const Object* metadata = column(rows->front(), kMetadataColumn);
    const auto* bytes = metadata ? metadata->getData() : nullptr;
    if (!bytes || bytes->empty()) {
        fail(error, kKLVErrorCodeEmptyData,
             "Event metadata should not be empty for getting measurement bundle");
        return std::nullopt;
    }
    auto bundle = KLVPBMeasurementBundle::initWithBuffer(*bytes);
    if (!bundle) {
        fail(error, kKLVErrorCodeFailedOperation, "Unable to parse measurement bundle metadata");
    }
    return bundle;
}

bool KLVDatabase::deleteRawEventMetadataWithMetadataFingerprint(std::int64_t metadataFingerprint,
                                                                Error* error) {
    return sqliteStore_
        ->deleteRecordsFromTableWithName(kKLVRawEventsMetadataTable, "metadata_fingerprint == ?",
                                         {metadataFingerprint}, error)
        .has_value();
}

bool KLVDatabase::deleteUnusedRawEventsMetadata(Error* error) {
    return sqliteStore_
        ->deleteRecordsFromTableWithName(
            kKLVRawEventsMetadataTable,
            "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)",
            {}, error)
        .has_value();
}

// --- Raw events --------------------------------------------------------------------------------

bool KLVDatabase::insertRawEvent(const KLVEvent& event, std::int64_t metadataFingerprint,
                                 bool isRealtime, Error* error) {
    // The name lives in its own column only.
    auto message = event.protoEvent();
    NANOClearField(message, KLVPBEvent::name);
    auto bytes = message.protoBuffer();
    if (!bytes) return fail(error, kKLVErrorCodeFailedOperation, "Failed to encode event");
    // The statement of every stored event, with a fixed text.
    static const std::string insert = std::string("INSERT OR REPLACE INTO ") + kKLVRawEventsTable +
                                      " (" + kNameColumn + ", " + kTimestampColumn + ", " +
                                      kFingerprintColumn + ", " + kDataColumn + ", " +
                                      kRealtimeColumn + ") VALUES (?, ?, ?, ?, ?)";
    if (!sqliteStore_->executeWrite(
            insert,
            {Object(event.name()), Object(event.timestamp()), Object(metadataFingerprint),
             Object(std::move(*bytes)), Object(isRealtime ? 1 : 0)},
            error)) {
        forgetRawEventMirrors();
        return false;
    }
    auto& m = mirrors();
    // The statement names no key of the table: it always adds a row.
    if (m.rawEventsEmpty == true) m.rawEventCount = 0;
    if (m.rawEventCount) ++*m.rawEventCount;
    m.rawEventsEmpty = false;
    noteInsertedTime(m.latestRawEventTime, event.timestamp());
    if (isRealtime) m.realtimeRawEvents = true;
    return true;
}

std::optional<std::vector<KLVRawEventData>> KLVDatabase::rawEventsWithMetadataFingerprint(
    std::int64_t metadataFingerprint, Error* error, const KLVSqliteStore::RowFilter& eventFilter) {
    const std::string query =
        "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC "
        "LIMIT ?";
    const KLVSqliteStore::ParameterValues parameters = {metadataFingerprint, kMaxRawEventsPerRead};
    const auto rows = eventFilter
                          ? sqliteStore_->recordsForQuery(query, parameters, error, eventFilter)
                          : sqliteStore_->recordsForQuery(query, parameters, error);
    if (!rows) return std::nullopt;
    std::vector<KLVRawEventData> events;
    events.reserve(rows->size());
    for (const auto& row : *rows) {
        if (auto event = rawEventDataFromDictionary(row, error))
            events.push_back(std::move(*event));
    }
    if (!rows->empty() && events.empty()) return std::nullopt;
    return events;
}

std::optional<std::vector<KLVRawEventData>>
KLVDatabase::rawEventsWithMetadataFingerprintForBundling(std::int64_t metadataFingerprint,
                                                         Error* error,
                                                         const RawEventFilter& eventFilter) {
    std::vector<KLVRawEventData> events;
    std::size_t seen = 0;
    std::size_t accepted = 0;
    const bool read = readRawEventsWithMetadataFingerprintForBundling(
        metadataFingerprint, error, [&](const StoredRawEvent& stored) {
            ++seen;
            Error conversionError;
            auto event = rawEventFromStored(stored, &conversionError);
            RawEventRow row;
            row.rowID = stored.rowID.value_or(0);
            row.timestamp = stored.timestamp;
            row.dataSize = stored.data ? static_cast<std::int64_t>(stored.data->size()) : 0;
            row.event = event ? &*event : nullptr;
            row.converts = event.has_value();
            row.conversionError = &conversionError;
            if (eventFilter && !eventFilter(accepted, row)) return false;
            ++accepted;
            // A row that does not convert keeps its place in the run but is skipped.
            if (event) {
                events.push_back(std::move(*event));
            } else if (error) {
                *error = std::move(conversionError);
            }
            return true;
        });
    if (!read) return std::nullopt;
    if (seen > 0 && accepted == 0) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 34005,
                               "Database contains records that were all filtered out");
    }
    if (accepted > 0 && events.empty()) return std::nullopt;
    return events;
}

bool KLVDatabase::readRawEventsWithMetadataFingerprintForBundling(
    std::int64_t metadataFingerprint, Error* error,
    const std::function<bool(const RawEventColumns& columns)>& visit) {
    return sqliteStore_->readRowsForQuery(
        "SELECT rowid, name, timestamp, metadata_fingerprint, data FROM raw_events WHERE "
        "metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
        {metadataFingerprint, kMaxRawEventsPerRead}, error,
        [&](sqlite3_stmt* statement) { return visit(storedRawEventAt(statement)); });
}

std::optional<KLVRawEventData> KLVDatabase::rawEventDataFromColumns(const RawEventColumns& columns,
                                                                    Error* error) {
    return rawEventFromStored(columns, error);
}

std::optional<KLVRawEventData> KLVDatabase::rawEventDataFromDictionary(const Row& row,
                                                                       Error* error) {
    const Object* rowID = column(row, kRowIDColumn);
    const Object* data = column(row, kDataColumn);
    const Object* fingerprint = column(row, kFingerprintColumn);
    const Object* name = column(row, kNameColumn);
    const Object* timestamp = column(row, kTimestampColumn);
    StoredRawEvent stored;
    if (rowID && rowID->isInteger()) stored.rowID = rowID->asInteger();
    if (data && data->isData()) stored.data = std::span<const std::uint8_t>(data->asData());
    if (fingerprint && fingerprint->isInteger()) stored.fingerprint = fingerprint->asInteger();
    if (name && name->isString()) stored.name = name->asString();
    stored.timestamp = timestamp ? timestamp->numberAsDouble().value_or(0) : 0;
    return rawEventFromStored(stored, error);
}

std::optional<std::int64_t> KLVDatabase::nextMetadataFingerprintToProcess(Error* error) {
    const auto rows = sqliteStore_->recordsForQuery(
        "SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
    if (!rows) return std::nullopt;
    if (rows->size() != 1) {
        fail(error, kKLVErrorCodeFailedOperation, "Only one event metadata should be processed");
        return std::nullopt;
    }
    const Object* fingerprint = column(rows->front(), kFingerprintColumn);
    if (!fingerprint) return std::nullopt;
    return fingerprint->numberAsInteger();
}

bool KLVDatabase::deleteRawEventsWithMaxRowID(std::int64_t maxRowID, Error* error) {
    return sqliteStore_
        ->deleteRecordsFromTableWithName(kKLVRawEventsTable, "rowid <= ?", {maxRowID}, error)
        .has_value();
}

std::optional<std::int64_t> KLVDatabase::deleteRawEventsOverAbsoluteLimit(Error* error) {
    // With the row about to be written, at most maxEventsStored remain: the newest ones by row
    // ID are kept, so the oldest go. Counted once and then followed in memory, the number of rows
    // says how many; they are taken from the start of the row ID key, so that at the cap an event
    // deletes its one predecessor without walking the rows that stay.
    const std::int64_t keep =
        std::max<std::int64_t>(KLVRemoteConfig::current()->maxEventsStored() - 1, 0);
    if (mirrors().rawEventsEmpty == true) return 0;
    if (!mirrors().rawEventCount) {
        const auto counted =
            sqliteStore_->numberForQuery("SELECT COUNT(*) FROM raw_events", {}, error);
        if (!counted) return std::nullopt;
        mirrors().rawEventCount = counted->numberAsInteger().value_or(0);
    }
    const std::int64_t count = *mirrors().rawEventCount;
    if (count <= keep) return 0;
    // Up to the row ID of the last row that goes: one value read from the start of the key,
    // where a list of row IDs would need a temporary table for every event.
    const auto deleted = sqliteStore_->deleteRecordsFromTableWithName(
        kKLVRawEventsTable,
        "rowid <= (SELECT rowid FROM raw_events ORDER BY rowid LIMIT 1 OFFSET ?)",
        {count - keep - 1}, error);
    if (!deleted) return std::nullopt;
    // The deletion made the mirrors forget the table; what is left of it is known.
    auto& m = mirrors();
    m.rawEventCount = std::max<std::int64_t>(count - *deleted, 0);
    m.rawEventsEmpty = *m.rawEventCount == 0;
    return deleted;
}

bool KLVDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, Error* error) {
    if (maxAge < 0) {
        return fail(error, kKLVErrorCodeBadArgument,
                    "Cannot delete stale raw events given negative time period");
    }
    const double now = platform::Clock::current().now();
    const auto deleted = sqliteStore_->deleteRecordsFromTableWithName(
        kKLVRawEventsTable, "abs(timestamp - cast(? as REAL)) > cast(? as REAL)", {now, maxAge},
        error);
    if (!deleted) return false;
    if (*deleted == 0) return true;
    return deleteUnusedRawEventsMetadata(error);
}

std::optional<bool> KLVDatabase::isRawEventsTableEmpty(Error* error) {
    auto& m = mirrors();
    if (m.rawEventsEmpty) return m.rawEventsEmpty;
    const auto empty = booleanOf(sqliteStore_->numberForQuery(
        "SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error));
    mirrors().rawEventsEmpty = empty;
    return empty;
}

std::optional<double> KLVDatabase::queryLatestRawEventTime(Error* error) {
    if (const auto& mirrored = mirrors().latestRawEventTime) return *mirrored;
    Error queryError;
    const auto latest =
        sqliteStore_->numberForQuery("SELECT MAX(timestamp) FROM raw_events", {}, &queryError);
    if (!latest && queryError != Error{}) {
        return platform::failWith<std::optional<double>>(error, queryError);
    }
    const auto time = latest ? latest->numberAsDouble() : std::nullopt;
    mirrors().latestRawEventTime = time;
    return time;
}

std::optional<bool> KLVDatabase::containsRawEventWithMetadataFingerprint(
    std::int64_t metadataFingerprint, Error* error) {
    return booleanOf(sqliteStore_->numberForQuery(
        "SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
        {metadataFingerprint}, error));
}

std::optional<bool> KLVDatabase::containsRealtimeRawEventsWithError(Error* error) {
    auto& m = mirrors();
    if (m.realtimeRawEvents) return m.realtimeRawEvents;
    const auto realtime = booleanOf(sqliteStore_->numberForQuery(
        "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = ? LIMIT 1)", {1}, error));
    mirrors().realtimeRawEvents = realtime;
    return realtime;
}

}  // namespace engine
