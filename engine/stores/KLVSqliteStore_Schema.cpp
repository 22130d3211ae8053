// Schema operations of the SQLite store: create, validate, extend and rebuild tables.

#include <set>

#include "engine/base/KLVErrors.h"
#include "engine/stores/KLVSqliteStore.h"
#include "engine/stores/KLVSqliteStoreStatement.h"

namespace engine {

using namespace sqlite_store_detail;
using platform::Error;
using platform::Object;

namespace {

std::string firstWord(std::string_view type) {
    const auto space = type.find(' ');
    return std::string(type.substr(0, space));
}

}  // namespace

// --- Schema --------------------------------------------------------------------------------------

bool KLVSqliteStore::ensureTableWithName(const std::string& tableName,
                                         const ColumnInfoList& elementaryColumnInfo,
                                         const ColumnInfoList& addOnColumnInfo,
                                         const ModifyColumnInfo& modifyColumnInfo, Error* error) {
    if (!ensureTableWithName(tableName, elementaryColumnInfo, addOnColumnInfo, error)) return false;
    if (modifyColumnInfo.empty()) return true;
    const auto retyped = [&](ColumnInfoList list) {
        for (auto& [name, type] : list) {
            if (auto it = modifyColumnInfo.find(name); it != modifyColumnInfo.end())
                type = it->second;
        }
        return list;
    };
    return ensureSchemaOfTableWithName(tableName, retyped(elementaryColumnInfo),
                                       retyped(addOnColumnInfo), error);
}

bool KLVSqliteStore::ensureTableWithName(const std::string& tableName,
                                         const ColumnInfoList& elementaryColumnInfo,
                                         const ColumnInfoList& addOnColumnInfo, Error* error) {
    if (!KLVCheckNonZero(tableName.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty table name for ensure table") ||
        !KLVCheckNonZero(elementaryColumnInfo.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty elementary column info for ensure table")) {
        return false;
    }
    const std::string createSQL =
        "CREATE TABLE IF NOT EXISTS " + tableName + " ( " +
        joined(elementaryColumnInfo,
               [](const auto& pair) { return pair.first + " " + pair.second; }) +
        ");";
    AddOnStatementList addOnColumns;
    for (const auto& [name, type] : addOnColumnInfo) {
        if (name.empty()) continue;
        addOnColumns.emplace_back(name,
                                  "ALTER TABLE " + tableName + " ADD COLUMN " + name + " " + type);
    }
    std::vector<std::string> requiredColumnNames;
    for (const auto& [name, type] : elementaryColumnInfo) {
        if (name != kPrimaryKey) requiredColumnNames.push_back(name);
    }
    return ensureTableWithName(tableName, createSQL, requiredColumnNames, addOnColumns, error);
}

bool KLVSqliteStore::ensureTableWithName(const std::string& tableName, const std::string& createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const AddOnStatementList& addOnColumns, Error* error) {
    if (!checkArguments(
            {{!tableName.empty(), "Received empty table name for ensure table"},
             {!requiredColumnNames.empty(), "Received no table columns for ensure table"},
             {!createSQL.empty(), "Received empty create statement for ensure table"}},
            "Ensure table failed. Database not open.", error)) {
        return false;
    }
    const auto exists = tableExists(tableName, error);
    if (!exists) return false;
    if (!*exists && !executeSQL(createSQL, error)) return false;
    const auto valid = validateTableWithName(tableName, requiredColumnNames, addOnColumns, error);
    return valid.value_or(false);
}

std::optional<bool> KLVSqliteStore::validateTableWithName(
    const std::string& tableName, const std::vector<std::string>& requiredColumnNames,
    const AddOnStatementList& addOnColumns, Error* error) {
    if (!checkArguments(
            {{!tableName.empty(), "Received empty table name for validate table"},
             {!requiredColumnNames.empty(), "Received no table columns for validate table"}},
            "Validate table failed. Database not open.", error)) {
        return std::nullopt;
    }
    const auto columns = tableInfo(tableName, error);
    if (!columns) return std::nullopt;
    if (!KLVCheckCondition(!(columns->empty()), error, kKLVSqliteStoreErrorUnusable,
                           "Table does not exist for validate table")) {
        return std::nullopt;
    }

    std::set<std::string, std::less<>> live;
    for (const auto& column : *columns)
        live.insert(column.name);
    for (const auto& name : requiredColumnNames) {
        if (!live.contains(name)) {
            platform::fail(error, klv_errorWithCode(kKLVSqliteStoreErrorUnusable,
                                                    "Table is missing required columns"));
            return false;
        }
    }
    for (const auto& name : requiredColumnNames)
        live.erase(name);
    for (const auto& [name, alterSQL] : addOnColumns) {
        if (live.erase(name) > 0) continue;
        if (!executeSQL(alterSQL, error)) return false;
    }
    for (const auto& column : *columns) {
        if (live.contains(column.name) && column.notNull) {
            platform::fail(error, klv_errorWithCode(kKLVSqliteStoreErrorUnusable,
                                                    "Table contains unknown non-optional columns"));
            return false;
        }
    }
    return true;
}

bool KLVSqliteStore::ensureSchemaOfTableWithName(const std::string& tableName,
                                                 const ColumnInfoList& elementaryColumnInfo,
                                                 const ColumnInfoList& addOnColumnInfo,
                                                 Error* error) {
    if (!KLVCheckNonZero(tableName.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty table name for ensure table schema") ||
        !KLVCheckNonZero(elementaryColumnInfo.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty column info for ensure table schema")) {
        return false;
    }
    const auto live = columnInfoForTableWithName(tableName, error);
    if (!live) return false;
    if (!KLVCheckCondition(!(live->empty()), error, kKLVSqliteStoreErrorUnusable,
                           "Table does not exist for ensure table schema")) {
        return false;
    }
    LiveColumnInfo expected;
    for (const auto& [name, type] : elementaryColumnInfo) {
        if (name == kPrimaryKey || name.empty() || type.empty()) continue;
        expected[name] = firstWord(type);
    }
    for (const auto& [name, type] : addOnColumnInfo) {
        if (name.empty() || type.empty()) continue;
        expected[name] = type;
    }
    if (*live == expected) return true;
    return rebuildTable(tableName, elementaryColumnInfo, addOnColumnInfo, error);
}

bool KLVSqliteStore::rebuildTable(const std::string& tableName,
                                  const ColumnInfoList& elementaryColumnInfo,
                                  const ColumnInfoList& addOnColumnInfo, Error* error) {
    const std::string oldName = tableName + "_old";
    // The step that failed (a NOT NULL violation in the copy, a failed rename) is the cause the
    // caller gets, not the transaction's generic failure.
    Error transactionError;
    const bool rebuilt = performTransactionWithError(&transactionError, [&] {
        return renameTable(tableName, oldName, &transactionError) &&
               ensureTableWithName(tableName, elementaryColumnInfo, addOnColumnInfo,
                                   &transactionError) &&
               copySharedColumns(oldName, tableName, &transactionError) &&
               dropTableWithName(oldName, &transactionError);
    });
    return rebuilt || platform::fail(error, transactionError);
}

// Copies by column name, so that a table whose columns were added in another order, or which has
// lost or gained a column, keeps every value the two shapes have in common.
bool KLVSqliteStore::copySharedColumns(const std::string& sourceName,
                                       const std::string& destinationName, Error* error) {
    const auto source = columnsForTableWithName(sourceName, error);
    if (!source) return false;
    const auto destination = columnsForTableWithName(destinationName, error);
    if (!destination) return false;
    std::vector<std::string> shared;
    for (const auto& name : *destination) {
        if (std::find(source->begin(), source->end(), name) != source->end())
            shared.push_back(name);
    }
    if (shared.empty()) return true;
    const std::string columns = joined(shared, [](const std::string& name) { return name; });
    return executeSQL("INSERT INTO " + destinationName + " (" + columns + ") SELECT " + columns +
                          " FROM " + sourceName,
                      error);
}

bool KLVSqliteStore::ensureIndexWithName(const std::string& indexName, const std::string& tableName,
                                         const std::string& columns, const std::string& whereClause,
                                         Error* error) {
    if (!KLVCheckNonZero(indexName.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty index name to ensure index") ||
        !KLVCheckNonZero(tableName.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty table name to ensure index")) {
        return false;
    }
    std::string sql =
        "CREATE INDEX IF NOT EXISTS " + indexName + " ON " + tableName + " (" + columns + ")";
    if (!whereClause.empty()) sql += " WHERE " + whereClause;
    return executeSQL(sql, error);
}

std::optional<bool> KLVSqliteStore::tableExists(const std::string& tableName, Error* error) {
    if (!checkArguments({{!tableName.empty(), "Received empty table name for table exists"}},
                        "Table exists failed. Database not open.", error)) {
        return std::nullopt;
    }
    Statement statement =
        prepareSQL("SELECT name FROM sqlite_master WHERE type='table' AND name=?", false, error);
    if (!statement || !bindValues({Object(tableName)}, statement.get(), error)) return std::nullopt;
    const int rc = sqlite3_step(statement.get());
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    setDatabaseError(error, "table exists");
    return std::nullopt;
}

std::optional<std::vector<KLVSqliteStore::ColumnDescription>> KLVSqliteStore::tableInfo(
    const std::string& tableName, Error* error) {
    Statement statement = statementForQuery("PRAGMA table_info(" + tableName + ")", nullptr, error);
    if (!statement) return std::nullopt;
    std::vector<ColumnDescription> columns;
    const bool read = readRows(
        statement.get(), "table info",
        [&](sqlite3_stmt* row) {
            const auto text = [&](int column) {
                const auto* value = sqlite3_column_text(row, column);
                return value ? std::string(reinterpret_cast<const char*>(value)) : std::string();
            };
            columns.push_back({text(1), text(2), sqlite3_column_int(row, 3) != 0});
            return true;
        },
        error);
    if (!read) return std::nullopt;
    return columns;
}

std::optional<std::vector<std::string>> KLVSqliteStore::columnsForTableWithName(
    const std::string& tableName, Error* error) {
    if (!checkArguments({{!tableName.empty(), "Received empty table name for get columns"}},
                        "Get table columns failed. Database not open.", error)) {
        return std::nullopt;
    }
    const auto columns = tableInfo(tableName, error);
    if (!columns) return std::nullopt;
    std::vector<std::string> names;
    for (const auto& column : *columns) {
        if (!column.name.empty()) names.push_back(column.name);
    }
    return names;
}

std::optional<KLVSqliteStore::LiveColumnInfo> KLVSqliteStore::columnInfoForTableWithName(
    const std::string& tableName, Error* error) {
    if (!checkArguments({{!tableName.empty(), "Received empty table name for column info"}},
                        "Get table column info failed. Database not open.", error)) {
        return std::nullopt;
    }
    const auto columns = tableInfo(tableName, error);
    if (!columns) return std::nullopt;
    LiveColumnInfo info;
    for (const auto& column : *columns) {
        if (!column.name.empty() && !column.type.empty()) info[column.name] = column.type;
    }
    return info;
}

bool KLVSqliteStore::dropTableWithName(const std::string& tableName, Error* error) {
    if (!KLVCheckNonZero(tableName.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty table name for drop table")) {
        return false;
    }
    return executeSQL("DROP TABLE " + tableName, error);
}

bool KLVSqliteStore::renameTable(const std::string& oldName, const std::string& newName,
                                 Error* error) {
    if (!KLVCheckNonZero(oldName.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty old name for rename table") ||
        !KLVCheckNonZero(newName.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty new name for rename table") ||
        !KLVCheckCondition(!(oldName == newName), error, kKLVSqliteStoreErrorBadArgument,
                           "Received duplicate name for rename table")) {
        return false;
    }
    return executeSQL("ALTER TABLE " + oldName + " RENAME TO " + newName, error);
}

bool KLVSqliteStore::copyContentsFromTable(const std::string& sourceName,
                                           const std::string& destinationName, Error* error) {
    if (!KLVCheckNonZero(sourceName.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty source name for copy table") ||
        !KLVCheckNonZero(destinationName.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty destination name for copy table") ||
        !KLVCheckCondition(!(sourceName == destinationName), error, kKLVSqliteStoreErrorBadArgument,
                           "Received duplicate name for copy table")) {
        return false;
    }
    return executeSQL("INSERT INTO " + destinationName + " SELECT * FROM " + sourceName, error);
}

bool KLVSqliteStore::createEmptyTable(const std::string& newName, const std::string& sourceName,
                                      Error* error) {
    if (!KLVCheckNonZero(sourceName.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty source name for create empty copy") ||
        !KLVCheckNonZero(newName.size(), error, kKLVSqliteStoreErrorBadArgument,
                         "Received empty destination name for create empty copy") ||
        !KLVCheckCondition(!(sourceName == newName), error, kKLVSqliteStoreErrorBadArgument,
                           "Received duplicate name for create empty copy")) {
        return false;
    }
    return executeSQL("CREATE TABLE IF NOT EXISTS " + newName + " AS SELECT * FROM " + sourceName +
                          " WHERE false",
                      error);
}

}  // namespace engine
