#pragma once

// The measurement database's tables as data: each table's elementary columns (created with the
// table, in this order), add-on columns (added later by ALTER TABLE when missing, in this order)
// and modified columns (whose declared type changed; a table whose live type differs is rebuilt).
// The type texts are exact.

#include <vector>

#include "engine/stores/KLVSqliteStore.h"

namespace engine {

inline constexpr char kKLVAppMetadataTable[] = "app_metadata";
inline constexpr char kKLVRawEventsMetadataTable[] = "raw_events_metadata";
inline constexpr char kKLVRawEventsTable[] = "raw_events";
inline constexpr char kKLVEventsTable[] = "events";
inline constexpr char kKLVEventsSnapshotTable[] = "events_snapshot";
inline constexpr char kKLVUserAttributesTable[] = "user_attributes";
inline constexpr char kKLVQueueTable[] = "queue";
inline constexpr char kKLVEventFiltersTable[] = "event_filters";
inline constexpr char kKLVPropertyFiltersTable[] = "property_filters";
inline constexpr char kKLVAudienceFilterValuesTable[] = "audience_filter_values";
inline constexpr char kKLVPurchaseTransactionsTable[] = "purchase_transactions";
inline constexpr char kKLVSubscriptionsTable[] = "subscriptions";
inline constexpr char kKLVConditionalPropertiesTable[] = "conditional_properties";
inline constexpr char kKLVMainEventParamsTable[] = "main_event_params";

struct KLVTableDeclaration {
    const char* name;
    KLVSqliteStore::ColumnInfoList elementaryColumnInfo;
    KLVSqliteStore::ColumnInfoList addOnColumnInfo;
    KLVSqliteStore::ModifyColumnInfo modifyColumnInfo;
};

// The thirteen declared tables (events_snapshot is made on demand as a copy of events).
const std::vector<KLVTableDeclaration>& KLVMeasurementDatabaseTables();

// An index the scheduling queries need so that they do not scan their table after every stored
// event. Made after the tables on every open: a table rebuilt for a changed column loses its
// indexes, and files made before an index gain it.
struct KLVIndexDeclaration {
    const char* name;
    const char* table;
    const char* columns;
    const char* whereClause;
};

const std::vector<KLVIndexDeclaration>& KLVMeasurementDatabaseIndexes();

}  // namespace engine
