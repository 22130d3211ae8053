// The contents the event writer and the upload schedule read for every event, kept in memory
// once read and kept current by this class's own writes; grouped transactions and checkpoints.

#include <sqlite3.h>

#include <cmath>

#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/database/KLVDatabaseSchema.h"
#include "engine/database/KLVDatabaseTableSupport.h"
#include "platform/foundation/Format.h"

namespace engine {

using platform::Error;
using table_support::booleanOf;

KLVDatabase::Mirrors& KLVDatabase::mirrors() {
    // A roll-back may have taken back any write the mirrors followed.
    if (sqliteStore_ && sqliteStore_->rollbackCount() != mirroredRollbackCount_) {
        forgetMirroredContents();
    }
    return mirrors_;
}

void KLVDatabase::forgetMirroredContents() {
    mirrors_ = Mirrors();
    mirroredRollbackCount_ = sqliteStore_ ? sqliteStore_->rollbackCount() : 0;
    ++userAttributesVersion_;
}

void KLVDatabase::noticeChangesElsewhere() {
    const auto version = sqliteStore_->dataVersion();
    if (version && version == dataVersion_) return;
    forgetMirroredContents();
    dataVersion_ = version;
}

void KLVDatabase::rowChanged(int operation, std::string_view table) {
    auto& m = mirrors();
    if (table == kKLVRawEventsTable) {
        // Inserts are followed by insertRawEvent itself: for every event, the one write path.
        if (operation == SQLITE_DELETE) forgetRawEventMirrors();
    } else if (table == kKLVQueueTable) {
        forgetBundleMirrors();
    } else if (table == kKLVUserAttributesTable) {
        ++userAttributesVersion_;
    } else if (table == kKLVAppMetadataTable) {
        // updateDailyCounts mirrors its counters again once its update went through.
        m.dailyCounts.reset();
    } else if (table == kKLVEventsTable) {
        if (operation == SQLITE_DELETE) m.aggregateNames.clear();
    } else if (table == kKLVRawEventsMetadataTable) {
        if (operation == SQLITE_DELETE) m.metadataFingerprints.clear();
    } else if (table == kKLVConditionalPropertiesTable) {
        if (operation == SQLITE_DELETE) m.conditionalProperties.reset();
        if (operation == SQLITE_INSERT) m.conditionalProperties = true;
    }
}

void KLVDatabase::forgetRawEventMirrors() {
    auto& m = mirrors();
    m.rawEventsEmpty.reset();
    m.latestRawEventTime.reset();
    m.realtimeRawEvents.reset();
    m.rawEventCount.reset();
}

void KLVDatabase::forgetBundleMirrors() {
    auto& m = mirrors();
    m.bundlesEmpty.reset();
    m.latestBundleTime.reset();
    m.realtimeBundles.reset();
}

void KLVDatabase::noteInsertedTime(std::optional<std::optional<double>>& latest, double time) {
    if (!latest) return;
    // SQLite keeps no NaN: such a row's time is read back, not guessed.
    if (!std::isfinite(time)) {
        latest.reset();
    } else if (!*latest || **latest < time) {
        *latest = time;
    }
}

std::uint64_t KLVDatabase::userAttributesVersion() {
    mirrors();
    return userAttributesVersion_;
}

std::optional<bool> KLVDatabase::hasEventAggregatesWithName(std::string_view name, Error* error) {
    auto& names = mirrors().aggregateNames;
    if (names.find(std::string(name)) != names.end()) return true;
    Error queryError;
    const auto aggregates = eventAggregatesWithName(name, &queryError);
    if (aggregates) return true;
    if (queryError != Error{}) return platform::failWith<std::optional<bool>>(error, queryError);
    return false;
}

std::optional<bool> KLVDatabase::hasConditionalUserProperties(Error* error) {
    auto& m = mirrors();
    if (!m.conditionalProperties) {
        m.conditionalProperties = booleanOf(sqliteStore_->numberForQuery(
            "SELECT EXISTS (SELECT 1 FROM conditional_properties LIMIT 1)", {}, error));
    }
    return m.conditionalProperties;
}

bool KLVDatabase::beginGroupedTransaction(Error* error) {
    noticeChangesElsewhere();
    return sqliteStore_->beginGroupedTransaction(error);
}

bool KLVDatabase::endGroupedTransaction(Error* error) {
    Error cause;
    std::size_t lost = 0;
    const bool committed = sqliteStore_->endGroupedTransaction(&cause, &lost);
    // Each event lost is told as its own failed transaction would have been.
    const std::string line = platform::formatString("Transaction failed. %@", cause.description);
    for (std::size_t i = 0; i < lost; ++i)
        monitor().logWithLevel(kKLVLogErrorMonitored, 12056, line);
    noteEventsWritten(0);
    return committed || platform::fail(error, cause);
}

void KLVDatabase::noteEventsWritten(std::int64_t count) {
    eventsSinceCheckpoint_ += count;
    if (eventsSinceCheckpoint_ < kEventsPerCheckpoint || sqliteStore_->isInGroupedTransaction()) {
        return;
    }
    eventsSinceCheckpoint_ = 0;
    sqliteStore_->checkpoint();
}

}  // namespace engine
