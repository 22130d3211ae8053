// The upload queue: finished bundles, gzip-compressed, oldest first, with their retry counters;
// and the periodic deletion of stale raw events and bundles that every insertion triggers.

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/database/KLVDatabaseSchema.h"
#include "engine/database/KLVDatabaseTableSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/utilities/WDLGzip.h"

namespace engine {

using platform::Error;
using platform::Object;
using table_support::booleanOf;
using table_support::fail;

namespace {

constexpr std::int64_t kMaxRetryCount = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kOutsideQueueTimeCode = 12016;
constexpr std::int64_t kSavingBundleCode = 12018;
constexpr std::int64_t kRetryLimitCode = 12054;

// "rowid IN (?,?,...)" with the identifiers as its parameters.
struct RowIDCondition {
    std::string condition;
    KLVSqliteStore::ParameterValues parameters;
};

std::optional<RowIDCondition> rowIDCondition(const std::vector<std::int64_t>& rowIDs,
                                             Error* error) {
    if (rowIDs.empty()) {
        fail(error, kKLVErrorCodeEmptyData, "Received empty row IDs to process");
        return std::nullopt;
    }
    RowIDCondition condition{"rowid IN (?", {}};
    condition.parameters.reserve(rowIDs.size() + 1);
    for (std::size_t i = 1; i < rowIDs.size(); ++i)
        condition.condition += ",?";
    condition.condition += ")";
    for (const auto rowID : rowIDs)
        condition.parameters.emplace_back(rowID);
    return condition;
}

// One queue row as a queued bundle: inflated, decoded, its retry count taken from the row.
std::optional<KLVQueuedBundle> queuedBundleFromRow(const KLVDatabase::Row& row, Error* error) {
    if (row.empty()) {
        fail(error, kKLVErrorCodeEmptyData, "Cannot process empty rowData");
        return std::nullopt;
    }
    const auto data = row.find("data");
    const auto* compressed = data == row.end() ? nullptr : data->second.getData();
    if (!compressed || compressed->empty()) {
        fail(error, kKLVErrorCodeEmptyData, "Cannot decompress an empty bundle data");
        return std::nullopt;
    }
    Error inflateError;
    const auto bytes = platform::wdl_dataByInflatingGzippedData(*compressed, &inflateError);
    if (!bytes || bytes->empty()) {
        fail(error, kKLVErrorCodeFailedOperation, inflateError.description);
        return std::nullopt;
    }
    auto bundle = KLVPBMeasurementBundle::initWithBuffer(*bytes);
    if (!bundle) {
        fail(error, kKLVErrorCodeFailedOperation, "Unable to parse bundle from decompressed data");
        return std::nullopt;
    }
    const auto retryCount = row.find("retry_count");
    if (retryCount != row.end() && retryCount->second.isInteger() &&
        retryCount->second.asInteger() >= 1) {
        NANOSetInt32(
            *bundle, KLVPBMeasurementBundle::retry_count,
            static_cast<std::int32_t>(std::min(retryCount->second.asInteger(), kMaxRetryCount)));
    }
    const auto rowID = row.find("rowid");
    if (rowID == row.end() || !rowID->second.isInteger()) return std::nullopt;
    return KLVQueuedBundle{std::move(*bundle), rowID->second.asInteger()};
}

std::int64_t encodedSize(const KLVPBMeasurementBundle& bundle) {
    const auto bytes = bundle.protoBuffer();
    return bytes ? static_cast<std::int64_t>(bytes->size()) : 0;
}

}  // namespace

bool KLVDatabase::insertBundle(const KLVPBMeasurementBundle& bundle, bool isRealtime,
                               Error* error) {
    const auto bytes = bundle.protoBuffer();
    if (!bytes || bytes->empty()) {
        return fail(error, kKLVErrorCodeBadArgument, "Failed to insert nil bundle");
    }
    return insertBundle(bundle, *bytes, isRealtime, error);
}

bool KLVDatabase::insertBundle(const KLVPBMeasurementBundle& bundle, const platform::Data& encoded,
                               bool isRealtime, Error* error) {
    const platform::Data* bytes = &encoded;
    if (bytes->empty()) return fail(error, kKLVErrorCodeBadArgument, "Failed to insert nil bundle");
    if (NANOGetString(bundle, KLVPBMeasurementBundle::app_id).value_or("").empty()) {
        return fail(error, kKLVErrorCodeBadArgument, "Failed to insert bundle without App ID");
    }
    const std::int64_t endMillis =
        NANOGetInt64(bundle, KLVPBMeasurementBundle::end_timestamp_millis);
    if (endMillis < 1) {
        return fail(error, kKLVErrorCodeBadArgument,
                    "Failed to insert bundle without valid timestamp");
    }
    if (!maybeDeleteStaleData(error).has_value()) return false;

    const double endTimestamp = static_cast<double>(endMillis) / 1000.0;
    auto& monitor = engine::monitor();
    // Kept all the same: the stale deletion removes it once it is too old.
    if (std::abs(platform::currentTime() - endTimestamp) >
        KLVRemoteConfig::current()->maxQueueTime()) {
        monitor.logWithLevel(kKLVLogWarningMonitored, kOutsideQueueTimeCode,
                             "Storing bundle outside of the max uploading time span");
    }
    auto compressed = platform::wdl_dataByGzippingData(*bytes);
    if (!compressed || compressed->empty()) {
        return fail(error, kKLVErrorCodeFailedOperation, "Failed to compress bundle");
    }
    monitor.logWithLevel(kKLVLogDebug, kSavingBundleCode, "Saving bundle. size (bytes)",
                         std::to_string(compressed->size()));
    const Record record = {
        {"bundle_end_timestamp", endTimestamp},
        {"data", std::move(*compressed)},
        {"is_realtime", isRealtime ? 1 : 0},
        {"retry_count", NANOGetInt32(bundle, KLVPBMeasurementBundle::retry_count)},
    };
    if (!sqliteStore_->upsertRecord(record, kKLVQueueTable, error)) {
        forgetBundleMirrors();
        return false;
    }
    auto& m = mirrors();
    m.bundlesEmpty = false;
    noteInsertedTime(m.latestBundleTime, endTimestamp);
    if (isRealtime) m.realtimeBundles = true;
    return true;
}

std::optional<std::vector<KLVQueuedBundle>> KLVDatabase::queryBundlesWithCountLimit(
    std::int64_t countLimit, std::int64_t sizeLimit, Error* error) {
    const auto rows = sqliteStore_->recordsForQuery(
        "SELECT rowid, data, retry_count FROM queue ORDER BY rowid ASC LIMIT ?", {countLimit},
        error);
    if (!rows) return std::nullopt;
    std::vector<KLVQueuedBundle> bundles;
    std::int64_t totalSize = 0;
    for (const auto& row : *rows) {
        auto queued = queuedBundleFromRow(row, nullptr);
        if (!queued) continue;
        const auto size = encodedSize(queued->bundle);
        if (!bundles.empty() && totalSize + size > sizeLimit) break;
        bundles.push_back(std::move(*queued));
        totalSize += size;
        if (totalSize > sizeLimit) break;
    }
    return bundles;
}

std::optional<KLVDatabase::NextQueuedBundle> KLVDatabase::queuedBundleAfterRowID(
    std::int64_t afterRowID, Error* error) {
    const auto rows = sqliteStore_->recordsForQuery(
        "SELECT rowid, data, retry_count FROM queue WHERE rowid > ? ORDER BY rowid ASC LIMIT 1",
        {afterRowID}, error);
    if (!rows) return std::nullopt;
    NextQueuedBundle next;
    if (rows->empty()) return next;
    const auto rowID = rows->front().find("rowid");
    // A rowid is always an integer; anything else ends the read as if no row followed.
    if (rowID == rows->front().end() || !rowID->second.isInteger()) return next;
    next.rowID = rowID->second.asInteger();
    next.bundle = queuedBundleFromRow(rows->front(), nullptr);
    return next;
}

std::optional<std::vector<KLVQueuedBundle>> KLVDatabase::queryBundlesWithRowIDs(
    const std::vector<std::int64_t>& rowIDs, Error* error) {
    const auto condition = rowIDCondition(rowIDs, error);
    if (!condition) return std::nullopt;
    const auto rows = sqliteStore_->recordsForQuery(
        "SELECT rowid, data, retry_count FROM queue WHERE " + condition->condition,
        condition->parameters, error);
    if (!rows) return std::nullopt;
    std::vector<KLVQueuedBundle> bundles;
    for (const auto& row : *rows) {
        if (auto queued = queuedBundleFromRow(row, nullptr)) bundles.push_back(std::move(*queued));
    }
    return bundles;
}

bool KLVDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs,
                                                         Error* error) {
    if (rowIDs.empty()) {
        return fail(error, kKLVErrorCodeBadArgument, "Failed to increment retry counter");
    }
    // A failed look-up only costs the warning.
    const auto atLimit = booleanOf(sqliteStore_->numberForQuery(
        "SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)", {kMaxRetryCount}));
    if (atLimit.value_or(false)) {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, kRetryLimitCode,
            "The number of upload retries exceeds the limit. Will remain unchanged.");
    }
    auto condition = rowIDCondition(rowIDs, error);
    if (!condition) return false;
    condition->condition += " AND retry_count < ?";
    condition->parameters.emplace_back(kMaxRetryCount);
    return sqliteStore_->increaseColumn("retry_count", 1, kKLVQueueTable, condition->condition,
                                        condition->parameters, error);
}

bool KLVDatabase::deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, Error* error) {
    const auto condition = rowIDCondition(rowIDs, error);
    if (!condition) return false;
    return sqliteStore_
        ->deleteRecordsFromTableWithName(kKLVQueueTable, condition->condition,
                                         condition->parameters, error)
        .has_value();
}

std::optional<bool> KLVDatabase::isQueuedBundleTableEmpty(Error* error) {
    auto& m = mirrors();
    if (m.bundlesEmpty) return m.bundlesEmpty;
    const auto empty = booleanOf(
        sqliteStore_->numberForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error));
    mirrors().bundlesEmpty = empty;
    return empty;
}

std::optional<double> KLVDatabase::queryLatestBundleTime(Error* error) {
    if (const auto& mirrored = mirrors().latestBundleTime) return *mirrored;
    Error queryError;
    const auto latest = sqliteStore_->numberForQuery("SELECT MAX(bundle_end_timestamp) FROM queue",
                                                     {}, &queryError);
    if (!latest && queryError != Error{}) {
        return platform::failWith<std::optional<double>>(error, queryError);
    }
    const auto time = latest ? latest->numberAsDouble() : std::nullopt;
    mirrors().latestBundleTime = time;
    return time;
}

std::optional<bool> KLVDatabase::containsRealtimeBundlesWithError(Error* error) {
    auto& m = mirrors();
    if (m.realtimeBundles) return m.realtimeBundles;
    const auto realtime = booleanOf(sqliteStore_->numberForQuery(
        "SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = ? LIMIT 1)", {1}, error));
    mirrors().realtimeBundles = realtime;
    return realtime;
}

std::optional<bool> KLVDatabase::maybeDeleteStaleData(Error* error) {
    const auto config = persistedConfig_ ? persistedConfig_ : KLVPersistedConfig::sharedInstance();
    const auto settings = KLVRemoteConfig::current();
    const double current = platform::currentTime();
    if (std::abs(current - config->lastDeleteStaleBundlesTimestamp()) <=
        settings->databaseDeleteStaleBundlesInterval()) {
        return false;
    }
    const double maxAge = settings->maxQueueTime();
    if (!deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error) ||
        !deleteStaleBundlesOlderThanMaxAge(maxAge, error)) {
        return std::nullopt;
    }
    config->setLastDeleteStaleBundlesTimestamp(current);
    return true;
}

bool KLVDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, Error* error) {
    if (maxAge < 0) {
        return fail(error, kKLVErrorCodeBadArgument,
                    "Cannot delete stale bundles after negative time period");
    }
    return sqliteStore_
        ->deleteRecordsFromTableWithName(kKLVQueueTable,
                                         "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as "
                                         "REAL)",
                                         {platform::currentTime(), maxAge}, error)
        .has_value();
}

}  // namespace engine
