#include "engine/database/KLVDatabaseSchema.h"

namespace engine {

const std::vector<KLVTableDeclaration>& KLVMeasurementDatabaseTables() {
    // The two filter tables share one shape; only the name column differs.
    const auto filterTable = [](const char* name, const char* nameColumn) {
        return KLVTableDeclaration{name,
                                   {{"audience_id", "INTEGER NOT NULL"},
                                    {"filter_id", "INTEGER NOT NULL"},
                                    {nameColumn, "TEXT NOT NULL"},
                                    {"data", "BLOB NOT NULL"},
                                    {"PRIMARY KEY", "(audience_id, filter_id)"}},
                                   {{"session_scoped", "INTEGER"}},
                                   {}};
    };
    static const std::vector<KLVTableDeclaration> kTables = {
        {kKLVAppMetadataTable,
         {{"last_bundle_index", "INTEGER NOT NULL"},
          {"last_bundle_end_timestamp", "REAL NOT NULL"}},
         {{"last_bundle_start_timestamp", "REAL"},
          {"day", "INTEGER"},
          {"daily_conversions_count", "INTEGER"},
          {"daily_events_count", "INTEGER"},
          {"daily_public_events_count", "INTEGER"},
          {"daily_error_events_count", "INTEGER"},
          {"remote_config_data", "BLOB"},
          {"remote_config_timestamp", "REAL"},
          {"daily_real_time_conversion_events_count", "INTEGER"},
          {"daily_real_time_dcu_events_count", "INTEGER"}},
         {}},
        {kKLVRawEventsMetadataTable,
         {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
         {},
         {}},
        {kKLVRawEventsTable,
         {{"name", "TEXT NOT NULL"},
          {"timestamp", "INTEGER NOT NULL"},
          {"metadata_fingerprint", "INTEGER NOT NULL"},
          {"data", "BLOB NOT NULL"}},
         {{"is_realtime", "INTEGER"}},
         {{"timestamp", "REAL NOT NULL"}}},
        {kKLVEventsTable,
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"lifetime_count", "INTEGER NOT NULL"},
          {"current_bundle_count", "INTEGER NOT NULL"},
          {"last_fire_timestamp", "REAL NOT NULL"}},
         {{"last_bundled_timestamp", "REAL"},
          {"last_sampled_complex_event_id", "INTEGER"},
          {"last_sampling_rate", "INTEGER"},
          {"last_exempt_from_sampling", "INTEGER"},
          {"last_bundled_day", "INTEGER"},
          {"current_session_count", "INTEGER"}},
         {}},
        {kKLVUserAttributesTable,
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"set_timestamp", "REAL NOT NULL"},
          {"value", "BLOB NOT NULL"}},
         {{"origin", "TEXT"}},
         {}},
        {kKLVQueueTable,
         {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
         {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
         {}},
        filterTable(kKLVEventFiltersTable, "event_name"),
        filterTable(kKLVPropertyFiltersTable, "property_name"),
        {kKLVAudienceFilterValuesTable,
         {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
          {"current_results", "BLOB"},
          {"previous_results", "BLOB"}},
         {},
         {}},
        {kKLVPurchaseTransactionsTable, {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
        {kKLVSubscriptionsTable, {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
        {kKLVConditionalPropertiesTable,
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"origin", "TEXT NOT NULL"},
          {"value", "BLOB NOT NULL"},
          {"creation_timestamp", "REAL NOT NULL"},
          {"active", "INTEGER NOT NULL"},
          {"trigger_timeout", "REAL NOT NULL"},
          {"triggered_timestamp", "REAL NOT NULL"},
          {"time_to_live", "REAL NOT NULL"},
          {"trigger_event_name", "TEXT"},
          {"timed_out_event", "BLOB"},
          {"triggered_event", "BLOB"},
          {"expired_event", "BLOB"}},
         {},
         {}},
        {kKLVMainEventParamsTable,
         {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
          {"children_to_process", "INTEGER NOT NULL"},
          {"main_event", "BLOB NOT NULL"}},
         {},
         {}},
    };
    return kTables;
}

const std::vector<KLVIndexDeclaration>& KLVMeasurementDatabaseIndexes() {
    // MAX(...) reads the last entry of an index, EXISTS(... is_realtime = ?) its first match.
    // The real-time indexes are full ones: a partial index chosen by a bound value makes SQLite
    // prepare the statement again on every run.
    static const std::vector<KLVIndexDeclaration> kIndexes = {
        {"raw_events_timestamp", kKLVRawEventsTable, "timestamp", ""},
        {"raw_events_realtime", kKLVRawEventsTable, "is_realtime", ""},
        {"queue_bundle_end_timestamp", kKLVQueueTable, "bundle_end_timestamp", ""},
        {"queue_realtime", kKLVQueueTable, "is_realtime", ""},
    };
    return kIndexes;
}

}  // namespace engine
