// The app_metadata row (rowid 1): bundle bookkeeping, daily counters and the downloaded
// measurement configuration.

#include <array>
#include <limits>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/database/KLVDatabaseSchema.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"

namespace engine {

using platform::Error;
using platform::Object;

namespace {

constexpr std::int64_t kMetadataRowID = 1;

// The counters' columns, in the order of KLVDailyCounts' fields after the day.
constexpr const char* kDayColumn = "day";
constexpr const char* kCounterColumns[] = {
    "daily_conversions_count",
    "daily_events_count",
    "daily_public_events_count",
    "daily_error_events_count",
    "daily_real_time_conversion_events_count",
    "daily_real_time_dcu_events_count",
};

const Object& column(const KLVDatabase::Row& row, const char* name) {
    const auto it = row.find(name);
    return it == row.end() ? Object::null() : it->second;
}

// A stored counter as the 32-bit number it was written from; anything that is not a number is 0.
std::int32_t storedInt32(const Object& value, std::int32_t otherwise) {
    const auto number = value.numberAsInteger();
    if (!number) return otherwise;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(*number));
}

std::optional<KLVDailyCounts> dailyCountsFromRow(const KLVDatabase::Row& row, std::int32_t today) {
    std::int32_t counters[std::size(kCounterColumns)] = {};
    for (std::size_t i = 0; i < std::size(kCounterColumns); ++i) {
        counters[i] = storedInt32(column(row, kCounterColumns[i]), 0);
    }
    const std::int32_t day = storedInt32(column(row, kDayColumn), today);
    return KLVDailyCounts(day, counters[0], counters[1], counters[2], counters[3], counters[4],
                          counters[5]);
}

// The counters in the order of kCounterColumns.
std::array<std::int32_t, std::size(kCounterColumns)> counterValues(const KLVDailyCounts& counts) {
    return {counts.conversionsCount(), counts.allEventsCount(), counts.publicEventsCount(),
            counts.errorEventsCount(), counts.realtimeCount(),  counts.dcuRealtimeCount()};
}

// The values of the update of updateDailyCounts: the day, the counters, the row.
platform::Array valuesFromDailyCounts(const KLVDailyCounts& counts) {
    platform::Array values{Object(counts.day())};
    for (const std::int32_t value : counterValues(counts))
        values.emplace_back(value);
    values.emplace_back(kMetadataRowID);
    return values;
}

KLVDatabase::Record recordFromDailyCounts(const KLVDailyCounts& counts) {
    const auto values = counterValues(counts);
    KLVDatabase::Record record = {{kDayColumn, counts.day()}};
    for (std::size_t i = 0; i < std::size(kCounterColumns); ++i) {
        record.emplace(kCounterColumns[i], values[i]);
    }
    return record;
}

std::optional<KLVAppMetadata> appMetadataFromRow(const KLVDatabase::Row& row) {
    const auto index = column(row, "last_bundle_index").numberAsInteger();
    if (!index || *index > std::numeric_limits<std::int32_t>::max() ||
        *index < std::numeric_limits<std::int32_t>::min()) {
        return std::nullopt;
    }
    return KLVAppMetadata::initWithLastBundleIndex(
        static_cast<std::int32_t>(*index),
        column(row, "last_bundle_start_timestamp").numberAsDouble().value_or(0.0),
        column(row, "last_bundle_end_timestamp").numberAsDouble().value_or(0.0));
}

KLVDatabase::Record recordFromAppMetadata(const KLVAppMetadata& metadata) {
    return {{"rowid", kMetadataRowID},
            {"last_bundle_index", metadata.lastBundleIndex()},
            {"last_bundle_start_timestamp", metadata.lastBundleStartTimestamp()},
            {"last_bundle_end_timestamp", metadata.lastBundleEndTimestamp()}};
}

}  // namespace

std::int32_t KLVDatabase::currentDay() {
    const double offset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0.0;
    return KLVDayNumber(platform::Clock::current().now(), offset);
}

bool KLVDatabase::updateMetadataRow(const Record& record, Error* error) {
    return updateDataType(record, kKLVAppMetadataTable, "rowid", kMetadataRowID, error);
}

std::optional<KLVDailyCounts> KLVDatabase::dailyCounts(Error* error) {
    auto& mirrored = mirrors().dailyCounts;
    if (mirrored) return mirrored;
    const std::int32_t today = currentDay();
    // Only the counters: the row also holds the downloaded configuration, which every event
    // would otherwise copy out.
    static const std::string query = [] {
        std::string sql = std::string("SELECT ") + kDayColumn;
        for (const char* counter : kCounterColumns)
            sql.append(", ").append(counter);
        return sql + " FROM " + kKLVAppMetadataTable + " WHERE rowid = ?";
    }();
    const auto rows = sqliteStore_->recordsForQuery(query, {Object(kMetadataRowID)}, error);
    if (!rows || rows->empty()) return std::nullopt;
    const auto counts = dailyCountsFromRow(rows->front(), today);
    // A row without a day reads as today's, which changes at midnight: read it again then.
    if (!column(rows->front(), kDayColumn).isNull()) mirrors().dailyCounts = counts;
    return counts;
}

bool KLVDatabase::updateDailyCounts(const KLVDailyCounts& dailyCounts, Error* error) {
    // A mirrored row was read, so it exists: the update needs no look for it first, and its
    // text is the same for every event.
    static const std::string update = [] {
        std::string sql =
            std::string("UPDATE ") + kKLVAppMetadataTable + " SET " + kDayColumn + "=?";
        for (const char* counter : kCounterColumns)
            sql.append(", ").append(counter).append("=?");
        return sql + " WHERE rowid=?";
    }();
    const bool updated =
        mirrors().dailyCounts
            ? sqliteStore_->executeWrite(update, valuesFromDailyCounts(dailyCounts), error)
            : updateMetadataRow(recordFromDailyCounts(dailyCounts), error);
    if (updated) {
        mirrors().dailyCounts = dailyCounts;
    } else {
        mirrors().dailyCounts.reset();
    }
    return updated;
}

std::optional<KLVAppMetadata> KLVDatabase::queryAppMetadata(Error* error) {
    const auto metadata = dataTypesFromTableWithName<KLVAppMetadata>(
        kKLVAppMetadataTable, "rowid", kMetadataRowID, error,
        [](const Row& row, Error*) { return appMetadataFromRow(row); });
    if (!metadata || metadata->empty()) return std::nullopt;
    return metadata->front();
}

bool KLVDatabase::updateAppMetadata(const KLVAppMetadata& appMetadata, Error* error) {
    return updateMetadataRow(recordFromAppMetadata(appMetadata), error);
}

bool KLVDatabase::initializeAppMetadata() {
    return performTransaction([this] {
        Error error;
        if (queryAppMetadata(&error)) return true;
        if (error.code != 0) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 12005, "Failed to query app metadata");
            return false;
        }
        const auto fresh = KLVAppMetadata::initWithLastBundleIndex(0, 0, 0);
        if (!upsertDataType(recordFromAppMetadata(*fresh), kKLVAppMetadataTable, "rowid",
                            kMetadataRowID, 1, &error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 12006,
                                   "Unable to update the app metadata. Error", error);
            return false;
        }
        return true;
    });
}

bool KLVDatabase::updateRemoteConfig(const KLVPBMeasurementConfig& config, Error* error) {
    const auto bytes = config.protoBuffer();
    if (!bytes || bytes->empty()) {
        KLVSetError(error, kKLVErrorCodeBadArgument, "Invalid measurement config data");
        return false;
    }
    const auto appID = NANOGetString(config, KLVPBMeasurementConfig::app_id);
    if (!appID || appID->empty()) {
        KLVSetError(error, kKLVErrorCodeBadArgument,
                    "Missing Nexory app ID in measurement configuration");
        return false;
    }
    return updateMetadataRow({{"remote_config_data", *bytes},
                              {"remote_config_timestamp", platform::Clock::current().now()}},
                             error);
}

bool KLVDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, Error* error) {
    return updateMetadataRow({{"remote_config_timestamp", timestamp}}, error);
}

std::optional<KLVPBMeasurementConfig> KLVDatabase::queryMeasurementConfigWithError(Error* error) {
    const auto rows = sqliteStore_->recordsForQuery(
        "SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
    if (!rows || rows->empty()) return std::nullopt;
    const auto* bytes = column(rows->front(), "remote_config_data").getData();
    if (!bytes || bytes->empty()) return std::nullopt;
    auto config = KLVPBMeasurementConfig::initWithBuffer(*bytes);
    if (!config)
        KLVSetError(error, kKLVErrorCodeFailedOperation, "Remote config data is corrupted");
    return config;
}

std::optional<Object> KLVDatabase::lastRemoteConfigUpdateTimestamp(Error* error) {
    return sqliteStore_->numberForQuery("SELECT remote_config_timestamp FROM app_metadata LIMIT 1",
                                        {}, error);
}

}  // namespace engine
