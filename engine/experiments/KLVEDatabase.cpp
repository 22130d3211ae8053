#include "engine/experiments/KLVEDatabase.h"

#include <utility>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/experiments/KLVEMonitor.h"
#include "engine/messages/NANOAccessors.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Format.h"

namespace engine {

namespace {

constexpr char kSDKNameColumn[] = "sdk_name";
constexpr char kSnapshotProtoColumn[] = "snapshotProto";
constexpr char kTimestampColumn[] = "timestamp";
constexpr char kManuallyActivatedColumn[] = "manually_activated";
constexpr std::int64_t kTableLimit = 100000;

const KLVSqliteStore::ColumnInfoList& columnInfo() {
    static const KLVSqliteStore::ColumnInfoList columns = {
        {kSDKNameColumn, "TEXT NOT NULL PRIMARY KEY"},
        {kSnapshotProtoColumn, "BLOB NOT NULL"},
        {kTimestampColumn, "REAL NOT NULL"},
        {kManuallyActivatedColumn, "INTEGER"},
    };
    return columns;
}

// The row's snapshot with the row's time and manual flag; null when the blob gives none.
std::shared_ptr<KLVESnapshot> snapshotFromRow(const KLVSqliteStore::Row& row) {
    const auto it = row.find(kSnapshotProtoColumn);
    if (it == row.end() || !it->second.isData()) return nullptr;
    const auto message = KLVPBSnapshot::initWithBuffer(it->second.asData());
    if (!message) return nullptr;
    auto snapshot = KLVESnapshot::initWithProtobuf(*message);
    if (!snapshot) return nullptr;
    const auto timestamp = row.find(kTimestampColumn);
    if (timestamp != row.end()) {
        snapshot->setTimestamp(timestamp->second.numberAsDouble().value_or(0));
    }
    const auto manual = row.find(kManuallyActivatedColumn);
    if (manual != row.end() && manual->second.isNumber()) {
        snapshot->setManuallyActivated(manual->second.numberAsDouble().value_or(0) != 0);
    }
    return snapshot;
}

}  // namespace

std::unique_ptr<KLVEDatabase> KLVEDatabase::initWithPath(const std::string& path) {
    if (path.empty()) {
        KLVEMonitor::instance().logWithLevel(kKLVLogErrorMonitored, 810000,
                                             "Cannot initialize the database with invalid path");
        return nullptr;
    }
    auto database = std::make_unique<KLVEDatabase>();
    if (!database->initializeDatabaseResourcesWithContext("Init", path)) return nullptr;
    return database;
}

bool KLVEDatabase::initializeDatabaseResourcesWithContext(std::string_view context,
                                                          const std::string& path) {
    databasePath_ = path;
    platform::Error error;
    sqliteStore_ = KLVSqliteStore::initWithDatabasePath(path, &error);
    if (!sqliteStore_) {
        KLVEMonitor::instance().logWithLevel(
            kKLVLogErrorMonitored, 810001,
            platform::formatString("Failed to open database (%@)", context), error);
        return false;
    }
    if (ensureAllTables()) return true;
    KLVEMonitor::instance().logWithLevel(
        kKLVLogErrorMonitored, 810002,
        platform::formatString("Failed to create or validate required database tables (%@)",
                               context));
    // A file whose tables cannot be made is of no use: the next start builds a fresh one.
    if (!sqliteStore_->closeAndDeleteDatabase()) {
        KLVEMonitor::instance().logWithLevel(
            kKLVLogWarningMonitored, 810003,
            platform::formatString(
                "Failed to delete old database file after failed validation. Error (%@)", context));
    }
    sqliteStore_.reset();
    return false;
}

bool KLVEDatabase::ensureAllTables() {
    for (const char* table :
         {kKLVEPendingSnapshotTable, kKLVEActivatedSnapshotTable, kKLVELaunchedSnapshotTable}) {
        platform::Error error;
        if (!sqliteStore_ || !sqliteStore_->ensureTableWithName(table, columnInfo(), {}, &error)) {
            KLVEMonitor::instance().logWithLevel(kKLVLogErrorMonitored, 810004,
                                                 "Failed to ensure table. Table, error", table,
                                                 error);
            return false;
        }
    }
    return true;
}

void KLVEDatabase::closeAndDelete() {
    if (!sqliteStore_ || !sqliteStore_->closeAndDeleteDatabase()) {
        KLVEMonitor::instance().logWithLevel(kKLVLogWarningMonitored, 810005,
                                             "Failed to delete database data");
    }
    sqliteStore_.reset();
}

void KLVEDatabase::reset() {
    if (sqliteStore_) sqliteStore_->closeAndDeleteDatabase();
    sqliteStore_.reset();
    const std::string path = databasePath_;
    if (path.empty() || !initializeDatabaseResourcesWithContext("Reset", path)) {
        KLVEMonitor::instance().logWithLevel(kKLVLogErrorMonitored, 810006,
                                             "Cannot re-initialize the database");
    }
}

bool KLVEDatabase::hasStore(platform::Error* error) const {
    return KLVCheckPointer(sqliteStore_.get(), error, kKLVErrorCodeFailedOperation,
                           "The experiments database is not open");
}

bool KLVEDatabase::performTransaction(const std::function<bool()>& block) {
    platform::Error error;
    if (hasStore(&error) && sqliteStore_->performTransactionWithError(&error, block)) return true;
    KLVEMonitor::instance().logWithLevel(
        kKLVLogErrorMonitored, 810007,
        platform::formatString("Transaction failed. %@", error.description));
    return false;
}

std::optional<KLVEDatabase::Snapshots> KLVEDatabase::fetchAllActivatedSnapshots(
    platform::Error* error) {
    return fetchAllSnapshotsFromTable(kKLVEActivatedSnapshotTable, error);
}

std::optional<KLVEDatabase::Snapshots> KLVEDatabase::fetchAllPendingSnapshots(
    platform::Error* error) {
    return fetchAllSnapshotsFromTable(kKLVEPendingSnapshotTable, error);
}

std::optional<KLVEDatabase::Snapshots> KLVEDatabase::fetchAllLaunchedSnapshots(
    platform::Error* error) {
    return fetchAllSnapshotsFromTable(kKLVELaunchedSnapshotTable, error);
}

std::optional<KLVEDatabase::Snapshots> KLVEDatabase::fetchAllSnapshotsFromTable(
    const std::string& tableName, platform::Error* error) {
    const auto rows = allDataTypesFromTableWithName(tableName, kTableLimit, error);
    if (!rows) return std::nullopt;
    Snapshots snapshots;
    for (const auto& row : *rows) {
        auto snapshot = snapshotFromRow(row);
        if (!snapshot) return std::nullopt;
        snapshots.push_back(std::move(snapshot));
    }
    return snapshots;
}

bool KLVEDatabase::activateSnapshot(const std::shared_ptr<KLVESnapshot>& snapshot, double t,
                                    platform::Error* error) {
    if (!KLVCheckObject(snapshot, error, kKLVErrorCodeBadArgument,
                        "Received nil pending snapshot")) {
        return false;
    }
    std::shared_ptr<KLVEExperiment> launched;
    KLVESnapshot::Experiments activated;
    for (const auto& experiment : snapshot->experiments()) {
        if (experiment->experimentID() == 0) {
            launched = experiment;
        } else {
            activated.push_back(experiment);
        }
    }
    const std::string& name = snapshot->SDKName();
    if (launched) {
        const auto launchedSnapshot = KLVESnapshot::initWithSDKName(name, {launched});
        if (!launchedSnapshot ||
            !upsertSnapshot(launchedSnapshot->proto(), kKLVELaunchedSnapshotTable, t, std::nullopt,
                            error)) {
            return false;
        }
    }
    // Written also without experiments: an older activated row would otherwise come back into
    // force at the next start, although the activation replaced it.
    const auto activatedSnapshot = KLVESnapshot::initWithSDKName(name, activated);
    if (!activatedSnapshot ||
        !upsertSnapshot(activatedSnapshot->proto(), kKLVEActivatedSnapshotTable, t, std::nullopt,
                        error)) {
        return false;
    }
    // A pending row written after the activation began is newer than what was activated.
    return sqliteStore_
        ->deleteRecordsFromTableWithName(
            kKLVEPendingSnapshotTable,
            platform::formatString("%@ = ? AND %@ <= ?", kSDKNameColumn, kTimestampColumn),
            {name, t}, error)
        .has_value();
}

bool KLVEDatabase::deleteActivatedExperimentsOfSDKName(std::string_view SDKName,
                                                       platform::Error* error) {
    if (!KLVCheckNonZero(SDKName.size(), error, kKLVErrorCodeBadArgument,
                         "Received empty SDK Name")) {
        return false;
    }
    return deleteExperimentsOfSDKName(SDKName, kKLVEActivatedSnapshotTable, error);
}

bool KLVEDatabase::deletePendingExperimentsOfSDKName(std::string_view SDKName,
                                                     platform::Error* error) {
    return deleteExperimentsOfSDKName(SDKName, kKLVEPendingSnapshotTable, error);
}

bool KLVEDatabase::deleteLaunchedExperimentSDKName(std::string_view SDKName,
                                                   platform::Error* error) {
    return deleteExperimentsOfSDKName(SDKName, kKLVELaunchedSnapshotTable, error);
}

bool KLVEDatabase::deleteStaleActivatedSnapshots(platform::Error* error) {
    if (!hasStore(error)) return false;
    const double cutoff = platform::Clock::current().now() - kKLVEStaleSnapshotInterval;
    return sqliteStore_
        ->deleteRecordsFromTableWithName(kKLVEActivatedSnapshotTable,
                                         platform::formatString("%@ <= ?", kTimestampColumn),
                                         {cutoff}, error)
        .has_value();
}

bool KLVEDatabase::upsertPendingExperimentSnapshots(const Snapshots& snapshots,
                                                    platform::Error* error) {
    for (const auto& snapshot : snapshots) {
        if (!snapshot) continue;
        if (!upsertSnapshot(snapshot->proto(), kKLVEPendingSnapshotTable, snapshot->timestamp(),
                            snapshot->manuallyActivated(), error)) {
            return false;
        }
    }
    return true;
}

bool KLVEDatabase::activatePendingSnapshotsAutomatically(platform::Error* error) {
    if (!hasStore(error)) return false;
    const auto rows = sqliteStore_->recordsForQuery(
        "SELECT rowid,* FROM pending_snapshot_table WHERE NOT manually_activated = ? ORDER BY "
        "rowid",
        {true}, error);
    if (!rows) return false;
    for (const auto& row : *rows) {
        const auto snapshot = snapshotFromRow(row);
        if (!snapshot) {
            KLVSetError(error, kKLVErrorCodeFailedOperation,
                        "Received an invalid snapshot from database");
            return false;
        }
        if (!activateSnapshot(snapshot, snapshot->timestamp(), error)) return false;
        if (!sqliteStore_->deleteRecordFromTableWithName(kKLVEPendingSnapshotTable, kSDKNameColumn,
                                                         snapshot->SDKName(), error)) {
            return false;
        }
    }
    return true;
}

bool KLVEDatabase::upsertSnapshot(const KLVPBSnapshot& snapshot, const std::string& tableName,
                                  double timestamp, std::optional<bool> manuallyActivated,
                                  platform::Error* error) {
    if (!hasStore(error)) return false;
    const auto bytes = snapshot.protoBuffer();
    if (!KLVCheckObject(bytes, error, kKLVErrorCodeFailedOperation, "Cannot encode the snapshot")) {
        return false;
    }
    KLVSqliteStore::Record record = {
        {kSDKNameColumn, NANOGetString(snapshot, KLVPBSnapshot::sdk_name).value_or("")},
        {kTimestampColumn, timestamp},
        {kSnapshotProtoColumn, *bytes},
    };
    if (manuallyActivated) record.emplace(kManuallyActivatedColumn, *manuallyActivated ? 1 : 0);
    return sqliteStore_->upsertRecord(record, tableName, error);
}

std::optional<std::vector<KLVSqliteStore::Row>> KLVEDatabase::allDataTypesFromTableWithName(
    const std::string& tableName, std::int64_t tableLimit, platform::Error* error) {
    if (!hasStore(error)) return std::nullopt;
    return sqliteStore_->recordsForQuery(
        platform::formatString("SELECT rowid, * FROM %@ ORDER BY rowid LIMIT %ld", tableName,
                               tableLimit),
        {}, error);
}

bool KLVEDatabase::deleteExperimentsOfSDKName(std::string_view SDKName,
                                              const std::string& tableName,
                                              platform::Error* error) {
    if (!hasStore(error)) return false;
    return sqliteStore_->deleteRecordFromTableWithName(tableName, kSDKNameColumn,
                                                       std::string(SDKName), error);
}

}  // namespace engine
