// Per-event counters ("events") and the snapshot copy the measurement service can restore them
// from ("events_snapshot").

#include <utility>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/database/KLVDatabaseSchema.h"
#include "engine/database/KLVDatabaseTableSupport.h"

namespace engine {

using platform::Error;
using platform::Object;
using table_support::integerOf;

namespace {

constexpr std::int64_t kMaxEventNames = 1000;
constexpr std::int64_t kSnapshotTableCode = 12058;
constexpr char kFirstOpenEventName[] = "_f";

std::optional<std::int64_t> integerColumn(const KLVDatabase::Row& row, std::string_view name) {
    const auto found = row.find(name);
    if (found == row.end()) return std::nullopt;
    return found->second.numberAsInteger();
}

std::optional<double> doubleColumn(const KLVDatabase::Row& row, std::string_view name) {
    const auto found = row.find(name);
    if (found == row.end()) return std::nullopt;
    return found->second.numberAsDouble();
}

std::int32_t int32Column(const KLVDatabase::Row& row, std::string_view name, std::int32_t absent) {
    return static_cast<std::int32_t>(integerColumn(row, name).value_or(absent));
}

// A row of "events" (or its snapshot); add-on columns that are NULL read as their defaults.
std::optional<KLVEventAggregates> eventAggregatesFromRow(const KLVDatabase::Row& row, Error*) {
    const auto name = row.find("name");
    if (name == row.end() || !name->second.isString()) return std::nullopt;
    auto aggregates = KLVEventAggregates::initWithName(
        name->second.asString(), int32Column(row, "lifetime_count", 0),
        int32Column(row, "current_bundle_count", 0), int32Column(row, "current_session_count", 0),
        doubleColumn(row, "last_fire_timestamp").value_or(0));
    if (!aggregates) return std::nullopt;
    aggregates->setLastBundledTimestamp(doubleColumn(row, "last_bundled_timestamp").value_or(0));
    aggregates->setLastSampledComplexEventID(integerColumn(row, "last_sampled_complex_event_id"));
    aggregates->setLastSamplingRate(int32Column(row, "last_sampling_rate", 1));
    aggregates->setLastExemptFromSampling(int32Column(row, "last_exempt_from_sampling", 0) != 0);
    aggregates->setLastBundledDay(int32Column(row, "last_bundled_day", 0));
    return aggregates;
}

KLVDatabase::Record recordFromEventAggregates(const KLVEventAggregates& aggregates) {
    KLVDatabase::Record record = {
        {"name", aggregates.name()},
        {"lifetime_count", aggregates.lifetimeCount()},
        {"current_bundle_count", aggregates.currentBundleCount()},
        {"last_fire_timestamp", aggregates.lastFireTimestamp()},
        {"last_bundled_timestamp", aggregates.lastBundledTimestamp()},
        {"last_sampling_rate", aggregates.lastSamplingRate()},
        {"last_exempt_from_sampling", aggregates.lastExemptFromSampling() ? 1 : 0},
        {"last_bundled_day", aggregates.lastBundledDay()},
        {"current_session_count", aggregates.currentSessionCount()},
    };
    if (const auto& eventID = aggregates.lastSampledComplexEventID()) {
        record.emplace("last_sampled_complex_event_id", *eventID);
    }
    return record;
}

}  // namespace

std::optional<std::vector<KLVEventAggregates>> KLVDatabase::allEventAggregates(Error* error) {
    return allDataTypesFromTableWithName<KLVEventAggregates>(kKLVEventsTable, kMaxEventNames, error,
                                                             eventAggregatesFromRow);
}

std::optional<KLVEventAggregates> KLVDatabase::eventAggregatesWithName(std::string_view name,
                                                                       Error* error) {
    return eventAggregatesWithName(name, kKLVEventsTable, error);
}

std::optional<KLVEventAggregates> KLVDatabase::eventAggregatesSnapshotWithName(
    std::string_view name, Error* error) {
    const auto exists = sqliteStore_->tableExists(kKLVEventsSnapshotTable, error);
    if (!exists || !*exists) return std::nullopt;
    return eventAggregatesWithName(name, kKLVEventsSnapshotTable, error);
}

std::optional<KLVEventAggregates> KLVDatabase::eventAggregatesWithName(std::string_view name,
                                                                       const std::string& tableName,
                                                                       Error* error) {
    auto rows = dataTypesFromTableWithName<KLVEventAggregates>(tableName, "name", Object(name),
                                                               error, eventAggregatesFromRow);
    if (!rows || rows->empty()) return std::nullopt;
    if (tableName == kKLVEventsTable) mirrors().aggregateNames.emplace(name);
    return std::move(rows->front());
}

bool KLVDatabase::updateEventAggregates(const KLVEventAggregates& eventAggregates, Error* error) {
    if (!KLVCheckNonZero(eventAggregates.name().size(), error, kKLVErrorCodeBadArgument,
                         "Received event aggregates object with empty name for getting "
                         "dictionary representation")) {
        return false;
    }
    if (!upsertDataType(recordFromEventAggregates(eventAggregates), kKLVEventsTable, "name",
                        Object(eventAggregates.name()), kMaxEventNames, error)) {
        return false;
    }
    mirrors().aggregateNames.insert(eventAggregates.name());
    return true;
}

bool KLVDatabase::clearCurrentSessionCounts(Error* error) {
    return sqliteStore_->updateAllRecordsInTableWithName(kKLVEventsTable, "current_session_count",
                                                         Object(0), error);
}

bool KLVDatabase::deleteAllEventAggregates(Error* error) {
    mirrors().aggregateNames.clear();
    return sqliteStore_->deleteAllRecordsFromTableWithName(kKLVEventsTable, error);
}

bool KLVDatabase::deleteAllEventAggregatesInSnapshot(Error* error) {
    return sqliteStore_->deleteAllRecordsFromTableWithName(kKLVEventsSnapshotTable, error);
}

std::optional<std::int64_t> KLVDatabase::publicEventCount(Error* error) {
    return integerOf(sqliteStore_->numberForQuery(
        "SELECT count(1) FROM events WHERE name NOT LIKE '!_%%' ESCAPE '!'", {}, error));
}

bool KLVDatabase::createEventsSnapshotTable(Error* error) {
    if (sqliteStore_->tableExists(kKLVEventsSnapshotTable).value_or(false)) {
        // A table left behind makes the create below fail, which is reported there.
        (void)sqliteStore_->dropTableWithName(kKLVEventsSnapshotTable);
    }
    if (!sqliteStore_->createEmptyTable(kKLVEventsSnapshotTable, kKLVEventsTable, error)) {
        monitor().logWithLevel(kKLVLogWarningMonitored, kSnapshotTableCode,
                               "Failed to ensure event snapshot table");
        return false;
    }
    return sqliteStore_->copyContentsFromTable(kKLVEventsTable, kKLVEventsSnapshotTable, error);
}

bool KLVDatabase::restoreFromEventsSnapshotTable(Error* error) {
    mirrors().aggregateNames.clear();
    const auto exists = sqliteStore_->tableExists(kKLVEventsSnapshotTable, error);
    if (!exists) return false;
    if (!*exists) return true;
    const auto snapshotRows =
        sqliteStore_->rowCountForTableWithName(kKLVEventsSnapshotTable, error);
    if (!snapshotRows) return false;
    if (*snapshotRows == 0) return true;

    const auto currentFirstOpen = eventAggregatesWithName(kFirstOpenEventName);
    if (!sqliteStore_->deleteAllRecordsFromTableWithName(kKLVEventsTable, error) ||
        !sqliteStore_->copyContentsFromTable(kKLVEventsSnapshotTable, kKLVEventsTable, error)) {
        return false;
    }
    // A snapshot taken before the first open was counted must not undo that count.
    const auto snapshotFirstOpen = eventAggregatesSnapshotWithName(kFirstOpenEventName);
    const bool snapshotCountedFirstOpen =
        snapshotFirstOpen && snapshotFirstOpen->lifetimeCount() != 0;
    if (!snapshotCountedFirstOpen && currentFirstOpen &&
        !updateEventAggregates(*currentFirstOpen, error)) {
        return false;
    }
    return deleteAllEventAggregatesInSnapshot(error);
}

}  // namespace engine
