#pragma once

// The measurement engine's persistent state, on one SQLite store: raw events waiting for
// bundling, the upload queue, per-event aggregates, user properties, audience filters and their
// results, conditional user properties, purchase and subscription fingerprints, complex events,
// and one row of engine metadata. This file gives the opening sequence, the schema check, the
// generic row operations the table operations share, the transaction wrapper, and the metadata
// row with its daily counters; the table families add their operations to this class.
//
// The database takes no lock: its owner uses it from one serial queue (the worker queue). Every
// operation answers false or nothing on failure with the error set when one is asked for; an empty
// list means no row matched.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/messages/KLVPBMessages.h"
#include "engine/storage/KLVAppMetadata.h"
#include "engine/storage/KLVDailyCounts.h"
#include "engine/storage/KLVSqliteStore.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVPersistedConfig;

inline constexpr char kKLVMeasurementDatabaseName[] = "nexory-app-measurement.sql";

class KLVDatabase {
  public:
    using Row = KLVSqliteStore::Row;
    using Record = KLVSqliteStore::Record;
    // Turns one row into an object; nullopt skips the row.
    template <typename T>
    using CreateDataTypeBlock = std::function<std::optional<T>(const Row& row, platform::Error*)>;

    // Opens the file `name` in the engine's directory, ensures every table and the metadata row.
    // `persistedConfig` gives the day offset of the daily counters.
    static std::unique_ptr<KLVDatabase> initWithDatabaseName(
        std::string_view name, std::shared_ptr<KLVPersistedConfig> persistedConfig,
        platform::Error* error = nullptr);

    // Deletes the database file and opens a fresh one at the same path.
    bool reset(platform::Error* error = nullptr);
    // Runs `block` in one exclusive transaction: true commits, false rolls back. Answers whether
    // it committed.
    bool performTransaction(const std::function<bool()>& block);

    // The opening sequence; `context` ("Init" or "Reset") only names it in log lines. A file
    // whose tables do not match their declaration is deleted, so that the next start opens a new
    // one; a file that merely could not be read or written now is kept.
    bool initializeDatabaseResourcesWithContext(std::string_view context, const std::string& path,
                                                platform::Error* error = nullptr);
    bool ensureAllTables(platform::Error* error = nullptr);
    // Creates the app_metadata row (rowid 1) when missing.
    bool initializeAppMetadata();

    // --- Generic row operations ----------------------------------------------------------------

    // Every row of the table in rowid order, at most `tableLimit` (-1: all), as converted.
    template <typename T>
    std::optional<std::vector<T>> allDataTypesFromTableWithName(
        const std::string& tableName, std::int64_t tableLimit, platform::Error* error,
        const CreateDataTypeBlock<T>& createDataTypeBlock);
    // The rows whose `columnName` equals `columnValue`, as converted; fails (code 2) when rows
    // were read and none converted.
    template <typename T>
    std::optional<std::vector<T>> dataTypesFromTableWithName(
        const std::string& tableName, const std::string& columnName,
        const platform::Object& columnValue, platform::Error* error,
        const CreateDataTypeBlock<T>& createDataTypeBlock);
    bool insertDataType(const Record& record, const std::string& tableName,
                        platform::Error* error = nullptr);
    // Writes (INSERT OR REPLACE) when a row with the key exists or the table holds fewer than
    // `tableLimit` rows; otherwise fails with code 2, "Failed to insert data type. Table is full".
    bool upsertDataType(const Record& record, const std::string& tableName,
                        const std::string& columnName, const platform::Object& columnValue,
                        std::int64_t tableLimit, platform::Error* error = nullptr);
    // Sets the record's columns in the rows whose key matches; fails when there is none.
    bool updateDataType(const Record& record, const std::string& tableName,
                        const std::string& columnName, const platform::Object& columnValue,
                        platform::Error* error = nullptr);

    // --- Metadata row and daily counters -------------------------------------------------------

    // The counters as stored (the day unchanged); a row without counters reads as today with
    // all counters 0.
    std::optional<KLVDailyCounts> dailyCounts(platform::Error* error = nullptr);
    bool updateDailyCounts(const KLVDailyCounts& dailyCounts, platform::Error* error = nullptr);
    // Nothing without an error when the row is missing.
    std::optional<KLVAppMetadata> queryAppMetadata(platform::Error* error = nullptr);
    bool updateAppMetadata(const KLVAppMetadata& appMetadata, platform::Error* error = nullptr);
    // Stores the downloaded configuration with the current time; one without an app ID is refused.
    bool updateRemoteConfig(const KLVPBMeasurementConfig& config, platform::Error* error = nullptr);
    bool updateRemoteConfigSuccessfulTimestamp(double timestamp, platform::Error* error = nullptr);
    // The stored configuration; nothing (without an error) when none is stored.
    std::optional<KLVPBMeasurementConfig> queryMeasurementConfigWithError(
        platform::Error* error = nullptr);
    // Seconds since 1970 of the last successful fetch, or nothing.
    std::optional<platform::Object> lastRemoteConfigUpdateTimestamp(
        platform::Error* error = nullptr);

    KLVSqliteStore& sqliteStore() { return *sqliteStore_; }
    const std::shared_ptr<KLVPersistedConfig>& persistedConfig() const { return persistedConfig_; }

  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    explicit KLVDatabase(Key) {}

  private:
    // The rows for the two templates, after their argument checks (`hasBlock` included).
    std::optional<std::vector<Row>> rowsFromTableWithName(const std::string& tableName,
                                                          std::int64_t tableLimit, bool hasBlock,
                                                          platform::Error* error);
    std::optional<std::vector<Row>> rowsFromTableWithName(const std::string& tableName,
                                                          const std::string& columnName,
                                                          const platform::Object& columnValue,
                                                          bool hasBlock, platform::Error* error);
    static void failNoneConverted(platform::Error* error);
    bool updateMetadataRow(const Record& record, platform::Error* error);
    std::int32_t currentDay();

    std::unique_ptr<KLVSqliteStore> sqliteStore_;
    std::shared_ptr<KLVPersistedConfig> persistedConfig_;
};

template <typename T>
std::optional<std::vector<T>> KLVDatabase::allDataTypesFromTableWithName(
    const std::string& tableName, std::int64_t tableLimit, platform::Error* error,
    const CreateDataTypeBlock<T>& createDataTypeBlock) {
    const auto rows =
        rowsFromTableWithName(tableName, tableLimit, static_cast<bool>(createDataTypeBlock), error);
    if (!rows) return std::nullopt;
    std::vector<T> objects;
    for (const auto& row : *rows) {
        if (auto object = createDataTypeBlock(row, error)) objects.push_back(std::move(*object));
    }
    return objects;
}

template <typename T>
std::optional<std::vector<T>> KLVDatabase::dataTypesFromTableWithName(
    const std::string& tableName, const std::string& columnName,
    const platform::Object& columnValue, platform::Error* error,
    const CreateDataTypeBlock<T>& createDataTypeBlock) {
    const auto rows = rowsFromTableWithName(tableName, columnName, columnValue,
                                            static_cast<bool>(createDataTypeBlock), error);
    if (!rows) return std::nullopt;
    std::vector<T> objects;
    for (const auto& row : *rows) {
        if (auto object = createDataTypeBlock(row, error)) objects.push_back(std::move(*object));
    }
    if (!rows->empty() && objects.empty()) {
        failNoneConverted(error);
        return std::nullopt;
    }
    return objects;
}

}  // namespace engine
