#include "engine/database/KLVDatabase.h"

#include <utility>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabaseSchema.h"
#include "engine/stores/KLVFileLocations.h"
#include "engine/stores/KLVSqliteStore.h"
#include "platform/foundation/Format.h"

namespace engine {

using platform::Error;
using platform::Object;

namespace {

// Codes the store gives a table that does not match its declaration (as opposed to a file that
// could not be read or written just now).
bool isDeclarationMismatch(const Error& error) {
    return error.code == kKLVSqliteStoreErrorUnusable;
}

}  // namespace

// --- Opening -------------------------------------------------------------------------------------

std::unique_ptr<KLVDatabase> KLVDatabase::initWithDatabaseName(
    std::string_view name, std::shared_ptr<KLVPersistedConfig> persistedConfig, Error* error) {
    if (!KLVCheckNonZero(name.size(), error, kKLVErrorCodeBadArgument,
                         "Received empty database name in init")) {
        return nullptr;
    }
    auto database = std::make_unique<KLVDatabase>(Key{});
    database->persistedConfig_ = std::move(persistedConfig);
    if (!database->initializeDatabaseResourcesWithContext("Init", KLVMeasurementFilePath(name),
                                                          error)) {
        return nullptr;
    }
    return database;
}

bool KLVDatabase::reset(Error* error) {
    const std::string path = sqliteStore_->databasePath();
    if (!sqliteStore_->closeAndDeleteDatabase()) {
        KLVSetError(error, kKLVErrorCodeFailedOperation, "Failed to delete database data");
        return false;
    }
    forgetMirroredContents();
    return initializeDatabaseResourcesWithContext("Reset", path, error);
}

bool KLVDatabase::initializeDatabaseResourcesWithContext(std::string_view context,
                                                         const std::string& path, Error* error) {
    auto store = KLVSqliteStore::initWithDatabasePath(path, error);
    // Without a new store the previous (closed) one stays, so later calls fail with its errors.
    if (!store) return false;
    sqliteStore_ = std::move(store);
    forgetMirroredContents();
    sqliteStore_->setRowChangeHandler(
        [this](int operation, std::string_view table) { rowChanged(operation, table); });

    auto& monitor = engine::monitor();
    Error tablesError;
    if (!ensureAllTables(&tablesError)) {
        monitor.logWithLevel(
            kKLVLogErrorMonitored, 12002,
            platform::formatString("Failed to create or validate required database tables (%@)",
                                   context));
        // Only a file whose tables contradict their declaration is given up (with its journal
        // files); a busy, read-only or full file keeps its events for the next attempt.
        if (isDeclarationMismatch(tablesError) && !sqliteStore_->closeAndDeleteDatabase()) {
            monitor.logWithLevel(
                kKLVLogWarningMonitored, 12003,
                platform::formatString(
                    "Failed to delete old database file after failed validation. Error (%@)",
                    context),
                Error(
                    klv_errorWithCode(kKLVErrorCodeFailedOperation, "Failed to delete database")));
        }
        return platform::fail(error, tablesError);
    }
    if (!initializeAppMetadata()) {
        monitor.logWithLevel(
            kKLVLogErrorMonitored, 12004,
            platform::formatString("Failed to initialize App Metadata table (%@)", context));
        KLVSetError(error, kKLVErrorCodeFailedOperation, "Failed to initialize App Metadata table");
        return false;
    }
    return true;
}

bool KLVDatabase::ensureAllTables(Error* error) {
    for (const auto& table : KLVMeasurementDatabaseTables()) {
        Error tableError;
        if (sqliteStore_->ensureTableWithName(table.name, table.elementaryColumnInfo,
                                              table.addOnColumnInfo, table.modifyColumnInfo,
                                              &tableError)) {
            continue;
        }
        monitor().logWithLevel(kKLVLogErrorMonitored, 12047, "Failed to ensure table. Table, error",
                               std::string(table.name), tableError);
        return platform::fail(error, tableError);
    }
    // Indexes only make queries fast: without one the store still works, so a failure to make
    // it is logged and the open goes on.
    for (const auto& index : KLVMeasurementDatabaseIndexes()) {
        Error indexError;
        if (!sqliteStore_->ensureIndexWithName(index.name, index.table, index.columns,
                                               index.whereClause, &indexError)) {
            monitor().logWithLevel(kKLVLogWarningMonitored, 12047,
                                   "Failed to ensure table. Table, error", std::string(index.table),
                                   indexError);
        }
    }
    return true;
}

bool KLVDatabase::performTransaction(const std::function<bool()>& block, Error* error) {
    return performTransaction([&block](Error*) { return block(); }, error);
}

bool KLVDatabase::performTransaction(const std::function<bool(Error*)>& block, Error* error) {
    // Inside a grouped transaction no other connection can have written.
    if (!sqliteStore_->isInGroupedTransaction()) noticeChangesElsewhere();
    Error cause;
    if (sqliteStore_->performTransactionWithError(&cause, [&] { return block(&cause); })) {
        return true;
    }
    monitor().logWithLevel(kKLVLogErrorMonitored, 12056,
                           platform::formatString("Transaction failed. %@", cause.description));
    return platform::fail(error, cause);
}

// --- Generic row operations ----------------------------------------------------------------------

std::optional<std::vector<KLVDatabase::Row>> KLVDatabase::rowsFromTableWithName(
    const std::string& tableName, std::int64_t tableLimit, bool hasBlock, Error* error) {
    if (!KLVCheckCondition(hasBlock, error, kKLVErrorCodeBadArgument,
                           "Received nil block to get all data types")) {
        return std::nullopt;
    }
    return sqliteStore_->recordsForQuery(
        "SELECT rowid, * FROM " + tableName + " ORDER BY rowid LIMIT " + std::to_string(tableLimit),
        {}, error);
}

std::optional<std::vector<KLVDatabase::Row>> KLVDatabase::rowsFromTableWithName(
    const std::string& tableName, const std::string& columnName, const Object& columnValue,
    bool hasBlock, Error* error) {
    if (!KLVCheckNonZero(tableName.size(), error, kKLVErrorCodeBadArgument,
                         "Received empty table name to create data type from table") ||
        !KLVCheckNonZero(columnName.size(), error, kKLVErrorCodeBadArgument,
                         "Received empty column name to create data type from table") ||
        !KLVCheckCondition(!columnValue.isNull(), error, kKLVErrorCodeBadArgument,
                           "Received nil column value to create data type from table") ||
        !KLVCheckCondition(hasBlock, error, kKLVErrorCodeFailedOperation,
                           "Received nil block to create data type from table")) {
        return std::nullopt;
    }
    return sqliteStore_->recordsForQuery(
        "SELECT rowid, * FROM " + tableName + " WHERE " + columnName + " = ?", {columnValue},
        error);
}

void KLVDatabase::failNoneConverted(Error* error) {
    KLVSetError(error, kKLVErrorCodeFailedOperation,
                "Failed to initialize data types from dictionaries");
}

bool KLVDatabase::insertDataType(const Record& record, const std::string& tableName, Error* error) {
    if (!KLVCheckNonZero(tableName.size(), error, kKLVErrorCodeBadArgument,
                         "Received empty table name for inserting") ||
        !KLVCheckNonZero(record.size(), error, kKLVErrorCodeFailedOperation,
                         "Failed to insert empty record")) {
        return false;
    }
    return sqliteStore_->upsertRecord(record, tableName, error);
}

bool KLVDatabase::upsertDataType(const Record& record, const std::string& tableName,
                                 const std::string& columnName, const Object& columnValue,
                                 std::int64_t tableLimit, Error* error) {
    if (!KLVCheckNonZero(record.size(), error, kKLVErrorCodeBadArgument,
                         "Received empty data type to upsert") ||
        !KLVCheckNonZero(tableName.size(), error, kKLVErrorCodeBadArgument,
                         "Received empty table name for checking upsert")) {
        return false;
    }
    const auto matching =
        sqliteStore_->rowCountForTableWithName(tableName, columnName, columnValue, error);
    if (!matching) return false;
    const auto total = sqliteStore_->rowCountForTableWithName(tableName, error);
    if (!total) return false;
    if (*matching == 0 && *total >= tableLimit) {
        KLVSetError(error, kKLVErrorCodeFailedOperation,
                    "Failed to insert data type. Table is full");
        return false;
    }
    return sqliteStore_->upsertRecord(record, tableName, error);
}

bool KLVDatabase::updateDataType(const Record& record, const std::string& tableName,
                                 const std::string& columnName, const Object& columnValue,
                                 Error* error) {
    if (!KLVCheckNonZero(record.size(), error, kKLVErrorCodeBadArgument,
                         "Received empty data type to update") ||
        !KLVCheckNonZero(tableName.size(), error, kKLVErrorCodeBadArgument,
                         "Received empty table name for updating")) {
        return false;
    }
    const auto matching =
        sqliteStore_->rowCountForTableWithName(tableName, columnName, columnValue, error);
    if (!matching) return false;
    if (*matching == 0) {
        KLVSetError(error, kKLVErrorCodeFailedOperation,
                    "Failed to update record. Item doesn't exist");
        return false;
    }
    return sqliteStore_->updateRecord(record, tableName, columnName, columnValue, error);
}

}  // namespace engine
