// Row operations of the SQLite store: counts, writes, deletes and reads.

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVMonitor.h"
#include "engine/stores/KLVSqliteStore.h"
#include "engine/stores/KLVSqliteStoreStatement.h"

namespace engine {

using namespace sqlite_store_detail;
using platform::Error;
using platform::Object;

// --- Rows ----------------------------------------------------------------------------------------

std::optional<std::int64_t> KLVSqliteStore::rowCountForTableWithName(const std::string& tableName,
                                                                     Error* error) {
    return rowCountForTableWithName(tableName, std::string(), Object(), error);
}

std::optional<std::int64_t> KLVSqliteStore::rowCountForTableWithName(const std::string& tableName,
                                                                     const std::string& columnName,
                                                                     const Object& columnValue,
                                                                     Error* error) {
    if (!checkArguments({{!tableName.empty(), "Received empty table name for row count"}},
                        "Row count failed. Database not open.", error)) {
        return std::nullopt;
    }
    std::string query = "SELECT count(1) FROM " + tableName;
    ParameterValues values;
    if (!columnName.empty() && !columnValue.isNull()) {
        query += " WHERE " + columnName + "=?";
        values.push_back(columnValue);
    }
    const auto count = numberForQuery(query, values, error);
    if (!count) return std::nullopt;
    return count->numberAsInteger();
}

bool KLVSqliteStore::upsertRecord(const Record& record, const std::string& tableName,
                                  Error* error) {
    if (!checkArguments({{!record.empty(), "Received empty record for upsert"},
                         {!tableName.empty(), "Received empty table name for upsert"}},
                        "Upsert record failed. Database not open.", error)) {
        return false;
    }
    ParameterValues values;
    for (const auto& [column, value] : record) {
        if (!isRowValue(value)) {
            monitor().logWithLevel(kKLVLogWarningMonitored, 34020,
                                   "Record has value of unexpected type", Object(column));
            return platform::fail(
                error, klv_errorWithCode(
                           kKLVSqliteStoreErrorBadArgument,
                           "Failed to bind parameter of unexpected type to upsert statement"));
        }
        values.push_back(value);
    }
    const std::string sql = "INSERT OR REPLACE INTO " + tableName + " (" +
                            joined(record, [](const auto& entry) { return entry.first; }) +
                            ") VALUES (" +
                            joined(record, [](const auto&) { return std::string("?"); }) + ");";
    // One text per table and column set: kept prepared, as it recurs with every write.
    Statement statement = statementForQuery(sql, &values, error);
    if (!statement) return false;
    return executeSQLStatement(std::move(statement), error);
}

bool KLVSqliteStore::executeWrite(const std::string& sql, const ParameterValues& parameterValues,
                                  Error* error) {
    if (!isOpen(error, "Execute write failed. Database not open.")) return false;
    Statement statement = statementForQuery(sql, &parameterValues, error);
    if (!statement) return false;
    return executeSQLStatement(std::move(statement), error);
}

bool KLVSqliteStore::updateRecord(const Record& record, const std::string& tableName,
                                  const std::string& columnName, const Object& columnValue,
                                  Error* error) {
    if (!checkArguments({{!record.empty(), "Empty record for update"},
                         {!tableName.empty(), "Empty table name for update"},
                         {!columnName.empty(), "Empty column name for update"},
                         {!columnValue.isNull(), "Nil column value for update"}},
                        "Update record failed. Database not open.", error)) {
        return false;
    }
    ParameterValues values;
    std::string assignments;
    for (const auto& [column, value] : record) {
        if (!isRowValue(value)) {
            monitor().logWithLevel(kKLVLogWarningMonitored, 34021,
                                   "Record has value of unexpected type (update)", Object(column));
            return platform::fail(
                error, klv_errorWithCode(
                           kKLVSqliteStoreErrorBadArgument,
                           "Failed to bind parameter of unexpected type to update statement"));
        }
        if (!assignments.empty()) assignments += ",";
        assignments += column + "=?";
        values.push_back(value);
    }
    if (!isRowValue(columnValue)) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 34021,
                               "Record has value of unexpected type (update)", Object(columnName));
        return platform::fail(
            error,
            klv_errorWithCode(kKLVSqliteStoreErrorBadArgument,
                              "Failed to bind parameter of unexpected type to update statement"));
    }
    values.push_back(columnValue);
    Statement statement = statementForQuery(
        "UPDATE " + tableName + " SET " + assignments + " WHERE " + columnName + "=?", &values,
        error);
    if (!statement) return false;
    return executeSQLStatement(std::move(statement), error);
}

bool KLVSqliteStore::updateAllRecordsInTableWithName(const std::string& tableName,
                                                     const std::string& columnName,
                                                     const Object& columnValue, Error* error) {
    if (!checkArguments({{!tableName.empty(), "Empty table name for update"},
                         {!columnName.empty(), "Empty column name for update"},
                         {!columnValue.isNull(), "Nil column value for update"}},
                        "Update record failed. Database not open.", error)) {
        return false;
    }
    const ParameterValues values = {columnValue};
    Statement statement =
        statementForQuery("UPDATE " + tableName + " SET " + columnName + "=?", &values, error);
    if (!statement) return false;
    return stepToDone(statement.get(), "update all records value", error);
}

bool KLVSqliteStore::increaseColumn(const std::string& columnName, std::int64_t value,
                                    const std::string& tableName, const std::string& condition,
                                    const ParameterValues& parameterValues, Error* error) {
    if (!checkArguments({{!tableName.empty(), "Empty table name for increase column"},
                         {!columnName.empty(), "Empty column name for increase column"},
                         {!condition.empty(), "Empty condition for increase column"}},
                        "Increase column failed. Database not open.", error)) {
        return false;
    }
    const auto info = columnInfoForTableWithName(tableName, error);
    if (!info) return false;
    const auto column = info->find(columnName);
    if (!KLVCheckCondition(column != info->end(), error, kKLVSqliteStoreErrorBadArgument,
                           "Invalid column or table name") ||
        !KLVCheckCondition(platform::equalsIgnoringASCIICase(column->second, "INTEGER"), error,
                           kKLVSqliteStoreErrorBadArgument, "Column type is not integer.")) {
        return false;
    }
    const std::string sql = "UPDATE " + tableName + " SET " + columnName + " = " + columnName +
                            " + " + std::to_string(value) + " WHERE " + condition;
    Statement statement = statementForQuery(sql, &parameterValues, error);
    if (!statement) return false;
    return stepToDone(statement.get(), "increase records value", error);
}

bool KLVSqliteStore::deleteRecordFromTableWithName(const std::string& tableName,
                                                   const std::string& columnName,
                                                   const Object& columnValue, Error* error) {
    if (!checkArguments({{!tableName.empty(), "Received empty table name for delete record"},
                         {!columnName.empty(), "Received empty column for delete record"},
                         {!columnValue.isNull(), "Received nil value for delete record"}},
                        "Delete record failed. Database not open.", error)) {
        return false;
    }
    Statement statement =
        prepareSQL("DELETE FROM " + tableName + " WHERE " + columnName + "=?", false, error);
    if (!statement || !bindValues({columnValue}, statement.get(), error)) return false;
    return stepToDone(statement.get(), "delete record", error);
}

std::optional<std::int64_t> KLVSqliteStore::deleteRecordsFromTableWithName(
    const std::string& tableName, const std::string& condition,
    const ParameterValues& parameterValues, Error* error) {
    if (!checkArguments({{!tableName.empty(), "Received empty table name for delete record"},
                         {!condition.empty(), "Received empty condition for delete record"}},
                        "Delete records with condition failed. Database not open.", error)) {
        return std::nullopt;
    }
    Statement statement = statementForQuery("DELETE FROM " + tableName + " WHERE " + condition,
                                            &parameterValues, error);
    if (!statement || !stepToDone(statement.get(), "delete records with condition", error)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(sqlite3_changes64(sqliteHandle_));
}

bool KLVSqliteStore::deleteAllRecordsFromTableWithName(const std::string& tableName, Error* error) {
    if (!checkArguments({{!tableName.empty(), "Received empty table name for delete all records"}},
                        "Delete all records failed. Database not open.", error)) {
        return false;
    }
    Statement statement = statementForQuery("DELETE FROM " + tableName, nullptr, error);
    if (!statement) return false;
    return stepToDone(statement.get(), "delete all records", error);
}

std::optional<std::vector<KLVSqliteStore::Row>> KLVSqliteStore::recordsForQuery(
    const std::string& query, const ParameterValues& parameterValues, Error* error) {
    return recordsForQuery(query, parameterValues, error,
                           [](std::size_t, const Row&) { return true; });
}

std::optional<std::vector<KLVSqliteStore::Row>> KLVSqliteStore::recordsForQuery(
    const std::string& query, const ParameterValues& parameterValues, Error* error,
    const RowFilter& filter) {
    // An empty query is reported before an empty filter.
    if (!query.empty() &&
        !KLVCheckCondition(static_cast<bool>(filter), error, kKLVSqliteStoreErrorBadArgument,
                           "Received empty filter for selecting records")) {
        return std::nullopt;
    }
    std::vector<Row> rows;
    std::size_t seen = 0;
    const bool read = readRowsForQuery(query, parameterValues, error, [&](sqlite3_stmt* current) {
        ++seen;
        Row row = rowFromStatement(current);
        if (!filter(rows.size(), row)) return false;
        rows.push_back(std::move(row));
        return true;
    });
    if (!read) return std::nullopt;
    if (seen > 0 && rows.empty()) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 34005,
                               "Database contains records that were all filtered out");
    }
    return rows;
}

bool KLVSqliteStore::readRowsForQuery(const std::string& query,
                                      const ParameterValues& parameterValues, Error* error,
                                      const StatementRowReader& onRow) {
    if (!KLVCheckNonZero(query.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty query for records for query") ||
        !KLVCheckCondition(static_cast<bool>(onRow), error, kKLVSqliteStoreErrorBadArgument,
                           "Received empty filter for selecting records") ||
        !isOpen(error, "Query records failed. Database not open.") ||
        !KLVCheckCondition(!(!beginsWithSelect(query)), error, kKLVSqliteStoreErrorBadArgument,
                           "Received invalid select query")) {
        return false;
    }
    Statement statement = statementForQuery(query, &parameterValues, error);
    if (!statement) return false;
    return readRows(statement.get(), "query records", onRow, error);
}

std::optional<Object> KLVSqliteStore::numberForQuery(const std::string& query,
                                                     const ParameterValues& parameterValues,
                                                     Error* error) {
    if (!checkArguments({{!query.empty(), "Received empty query to get numeric result"}},
                        "Query numeric result failed. Database not open.", error)) {
        return std::nullopt;
    }
    Statement statement = statementForQuery(query, &parameterValues, error);
    if (!statement) return std::nullopt;
    if (sqlite3_step(statement.get()) != SQLITE_ROW) {
        setDatabaseError(error, "query numeric result");
        return std::nullopt;
    }
    auto value = valueAtColumn(0, statement.get());
    if (!value || value->isNull()) return std::nullopt;
    if (!KLVCheckCondition(!(!value->isInteger() && !value->isDouble()), error,
                           kKLVSqliteStoreErrorBadArgument, "Found result that was not numeric")) {
        return std::nullopt;
    }
    return value;
}

}  // namespace engine
