// Audience state: the filters of the configuration's audiences ("event_filters",
// "property_filters"), the evaluation results per audience ("audience_filter_values") and the
// main events of complex events still being evaluated ("main_event_params").

#include <set>
#include <string>
#include <utility>

#include "engine/base/KLVErrors.h"
#include "engine/database/KLVDatabase.h"
#include "engine/database/KLVDatabaseSchema.h"
#include "engine/database/KLVDatabaseTableSupport.h"
#include "engine/messages/NANOAccessors.h"

namespace engine {

using platform::Data;
using platform::Error;
using platform::Object;
using table_support::fail;

namespace {

// The three flags of a filter, as its message states them (the session_scoped column only serves
// the session-scoped query). A message that does not decode has none set.
struct FilterFlags {
    bool sessionScoped = false;
    bool dynamic = false;
    bool sequence = false;
};

template <typename Message>
FilterFlags flagsOfFilterData(const Data& data, std::int32_t sessionScopedIndex,
                              std::int32_t dynamicIndex, std::int32_t sequenceIndex) {
    const auto message = Message::initWithBuffer(data);
    if (!message) return {};
    return {NANOGetBool(*message, sessionScopedIndex), NANOGetBool(*message, dynamicIndex),
            NANOGetBool(*message, sequenceIndex)};
}

std::optional<std::int32_t> int32Column(const KLVDatabase::Row& row, const char* column) {
    const auto it = row.find(column);
    if (it == row.end() || !it->second.isInteger()) return std::nullopt;
    return static_cast<std::int32_t>(it->second.asInteger());
}

std::string stringColumn(const KLVDatabase::Row& row, const char* column) {
    const auto it = row.find(column);
    const auto* text = it == row.end() ? nullptr : it->second.getString();
    return text ? *text : std::string();
}

Data dataColumn(const KLVDatabase::Row& row, const char* column) {
    const auto it = row.find(column);
    const auto* data = it == row.end() ? nullptr : it->second.getData();
    return data ? *data : Data();
}

std::optional<KLVEventFilter> eventFilterFromRow(const KLVDatabase::Row& row, Error* error) {
    const auto audienceID = int32Column(row, "audience_id");
    const auto filterID = int32Column(row, "filter_id");
    if (row.empty() || !audienceID || !filterID) {
        fail(error, kKLVErrorCodeEmptyData, "Received empty dictionary for getting event filter");
        return std::nullopt;
    }
    Data data = dataColumn(row, "data");
    const auto flags =
        flagsOfFilterData<KLVPBEventFilter>(data, KLVPBEventFilter::session_scoped,
                                            KLVPBEventFilter::dynamic, KLVPBEventFilter::sequence);
    return KLVEventFilter::initWithAudienceID(*audienceID, *filterID,
                                              stringColumn(row, "event_name"), std::move(data),
                                              flags.sessionScoped, flags.dynamic, flags.sequence);
}

std::optional<KLVPropertyFilter> propertyFilterFromRow(const KLVDatabase::Row& row, Error* error) {
    const auto audienceID = int32Column(row, "audience_id");
    const auto filterID = int32Column(row, "filter_id");
    if (row.empty() || !audienceID || !filterID) {
        fail(error, kKLVErrorCodeEmptyData,
             "Received empty dictionary for getting property filter");
        return std::nullopt;
    }
    Data data = dataColumn(row, "data");
    const auto flags = flagsOfFilterData<KLVPBPropertyFilter>(
        data, KLVPBPropertyFilter::session_scoped, KLVPBPropertyFilter::dynamic,
        KLVPBPropertyFilter::sequence);
    return KLVPropertyFilter::initWithAudienceID(
        *audienceID, *filterID, stringColumn(row, "property_name"), std::move(data),
        flags.sessionScoped, flags.dynamic, flags.sequence);
}

std::optional<KLVFilterResult> filterResultFromRow(const KLVDatabase::Row& row, Error* error) {
    const auto audienceID = int32Column(row, "audience_id");
    if (row.empty() || !audienceID) {
        fail(error, kKLVErrorCodeEmptyData, "Received empty dictionary for getting filter result");
        return std::nullopt;
    }
    return KLVFilterResult::initWithAudienceID(*audienceID, dataColumn(row, "current_results"),
                                               dataColumn(row, "previous_results"));
}

// The table of one kind of filter and the texts of its refusals.
struct FilterTable {
    const char* table;
    const char* nameColumn;
    const char* emptyUpdate;
    const char* emptyName;
    const char* emptyData;
    const char* emptyDelete;
};

constexpr FilterTable kEventFilterTable = {
    kKLVEventFiltersTable,
    "event_name",
    "Received empty event filters to update",
    "Received event filter with empty event name for getting dictionary representation",
    "Received event filter with empty data for getting dictionary representation",
    "Received empty event filters to delete",
};

constexpr FilterTable kPropertyFilterTable = {
    kKLVPropertyFiltersTable,
    "property_name",
    "Received empty property filters to update",
    "Received property filter with empty property name for getting dictionary representation",
    "Received property filter with empty data for getting dictionary representation",
    "Received empty property filters to delete",
};

const std::string& nameOf(const KLVEventFilter& filter) {
    return filter.eventName();
}
const std::string& nameOf(const KLVPropertyFilter& filter) {
    return filter.propertyName();
}

// Upserts each filter by its key; the first refusal or failure stops.
template <typename Filter>
bool upsertFilters(KLVSqliteStore& store, const std::vector<Filter>& filters,
                   const FilterTable& table, Error* error) {
    if (filters.empty()) return fail(error, kKLVErrorCodeBadArgument, table.emptyUpdate);
    for (const auto& filter : filters) {
        if (nameOf(filter).empty()) return fail(error, kKLVErrorCodeEmptyData, table.emptyName);
        if (filter.data().empty()) return fail(error, kKLVErrorCodeEmptyData, table.emptyData);
        const KLVDatabase::Record record = {{"audience_id", filter.audienceID()},
                                            {"filter_id", filter.filterID()},
                                            {table.nameColumn, nameOf(filter)},
                                            {"data", filter.data()},
                                            {"session_scoped", filter.isSessionScoped() ? 1 : 0}};
        if (!store.upsertRecord(record, table.table, error)) return false;
    }
    return true;
}

// "(audience_id=1 AND filter_id=2) OR (...)"; the identifiers are numbers, so they are written
// into the statement.
template <typename Filter>
bool deleteFilters(KLVSqliteStore& store, const std::vector<Filter>& filters,
                   const FilterTable& table, Error* error) {
    if (filters.empty()) return fail(error, kKLVErrorCodeBadArgument, table.emptyDelete);
    std::string condition;
    for (const auto& filter : filters) {
        if (!condition.empty()) condition += " OR ";
        condition += "(audience_id=" + std::to_string(filter.audienceID()) +
                     " AND filter_id=" + std::to_string(filter.filterID()) + ")";
    }
    return store.deleteRecordsFromTableWithName(table.table, condition, {}, error).has_value();
}

}  // namespace

// --- Filters -------------------------------------------------------------------------------------

std::optional<bool> KLVDatabase::containsEventFilters(Error* error) {
    return table_support::booleanOf(sqliteStore_->numberForQuery(
        "SELECT EXISTS (SELECT 1 FROM event_filters LIMIT 1)", {}, error));
}

std::optional<std::vector<KLVEventFilter>> KLVDatabase::eventFiltersForEventName(
    std::string_view name, Error* error) {
    if (name.empty()) {
        fail(error, kKLVErrorCodeBadArgument,
             "Received empty event name for getting event filters");
        return std::nullopt;
    }
    return dataTypesFromTableWithName<KLVEventFilter>(kKLVEventFiltersTable, "event_name",
                                                      Object(name), error, eventFilterFromRow);
}

std::optional<std::vector<KLVPropertyFilter>> KLVDatabase::propertyFiltersForPropertyName(
    std::string_view name, Error* error) {
    if (name.empty()) {
        fail(error, kKLVErrorCodeBadArgument,
             "Received empty property name for getting property filters");
        return std::nullopt;
    }
    return dataTypesFromTableWithName<KLVPropertyFilter>(
        kKLVPropertyFiltersTable, "property_name", Object(name), error, propertyFilterFromRow);
}

bool KLVDatabase::updateEventFilters(const std::vector<KLVEventFilter>& eventFilters,
                                     Error* error) {
    return upsertFilters(*sqliteStore_, eventFilters, kEventFilterTable, error);
}

bool KLVDatabase::updatePropertyFilters(const std::vector<KLVPropertyFilter>& propertyFilters,
                                        Error* error) {
    return upsertFilters(*sqliteStore_, propertyFilters, kPropertyFilterTable, error);
}

bool KLVDatabase::deleteEventFilters(const std::vector<KLVEventFilter>& eventFilters,
                                     Error* error) {
    return deleteFilters(*sqliteStore_, eventFilters, kEventFilterTable, error);
}

bool KLVDatabase::deletePropertyFilters(const std::vector<KLVPropertyFilter>& propertyFilters,
                                        Error* error) {
    return deleteFilters(*sqliteStore_, propertyFilters, kPropertyFilterTable, error);
}

bool KLVDatabase::deleteAllEventFilters(Error* error) {
    return sqliteStore_->deleteAllRecordsFromTableWithName(kKLVEventFiltersTable, error);
}

bool KLVDatabase::deleteAllPropertyFilters(Error* error) {
    return sqliteStore_->deleteAllRecordsFromTableWithName(kKLVPropertyFiltersTable, error);
}

std::optional<std::vector<std::int32_t>> KLVDatabase::allAudienceIDs(Error* error) {
    const auto rows = sqliteStore_->recordsForQuery(
        "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {},
        error);
    if (!rows) return std::nullopt;
    std::vector<std::int32_t> audienceIDs;
    audienceIDs.reserve(rows->size());
    for (const auto& row : *rows) {
        const auto audienceID = int32Column(row, "audience_id");
        if (!audienceID) {
            fail(error, kKLVErrorCodeBadArgument,
                 "Received nil audience ID for querying all audience IDs");
            return std::nullopt;
        }
        audienceIDs.push_back(*audienceID);
    }
    return audienceIDs;
}

std::optional<std::map<std::int32_t, std::vector<std::int32_t>>>
KLVDatabase::allSessionScopedFilters(Error* error) {
    const auto rows = sqliteStore_->recordsForQuery(
        "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT "
        "audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
        {}, error);
    if (!rows) return std::nullopt;
    std::map<std::int32_t, std::vector<std::int32_t>> filters;
    for (const auto& row : *rows) {
        const auto audienceID = int32Column(row, "audience_id");
        const auto filterID = int32Column(row, "filter_id");
        if (audienceID && filterID) filters[*audienceID].push_back(*filterID);
    }
    return filters;
}

// --- Results -------------------------------------------------------------------------------------

std::optional<std::map<std::int32_t, KLVFilterResult>> KLVDatabase::allFilterResults(Error* error) {
    const auto results = allDataTypesFromTableWithName<KLVFilterResult>(
        kKLVAudienceFilterValuesTable, -1, error, filterResultFromRow);
    if (!results) return std::nullopt;
    std::map<std::int32_t, KLVFilterResult> byAudience;
    for (const auto& result : *results)
        byAudience.insert_or_assign(result.audienceID(), result);
    return byAudience;
}

std::optional<KLVFilterResult> KLVDatabase::filterResultForAudienceID(std::int32_t audienceID,
                                                                      Error* error) {
    auto results =
        dataTypesFromTableWithName<KLVFilterResult>(kKLVAudienceFilterValuesTable, "audience_id",
                                                    Object(audienceID), error, filterResultFromRow);
    if (!results || results->empty()) return std::nullopt;
    return std::move(results->front());
}

bool KLVDatabase::updateFilterResults(const std::vector<KLVFilterResult>& filterResults,
                                      Error* error) {
    if (filterResults.empty()) {
        return fail(error, kKLVErrorCodeBadArgument, "Received empty filter results to update");
    }
    for (const auto& result : filterResults) {
        if (result.currentResults().empty()) {
            return fail(error, kKLVErrorCodeEmptyData,
                        "Received filter result with empty data for getting dictionary "
                        "representation");
        }
        const Record record = {
            {"audience_id", result.audienceID()},
            {"current_results", result.currentResults()},
            {"previous_results",
             result.previousResults().empty() ? Object() : Object(result.previousResults())}};
        if (!sqliteStore_->upsertRecord(record, kKLVAudienceFilterValuesTable, error)) {
            return false;
        }
    }
    return true;
}

bool KLVDatabase::deleteFilterResults(const std::vector<KLVFilterResult>& filterResults,
                                      Error* error) {
    if (filterResults.empty()) {
        return fail(error, kKLVErrorCodeBadArgument, "Received empty filter results to delete");
    }
    std::set<std::int32_t> audienceIDs;
    for (const auto& result : filterResults)
        audienceIDs.insert(result.audienceID());
    std::string list;
    for (const auto audienceID : audienceIDs) {
        if (!list.empty()) list += ",";
        list += std::to_string(audienceID);
    }
    return sqliteStore_
        ->deleteRecordsFromTableWithName(kKLVAudienceFilterValuesTable,
                                         "audience_id IN (" + list + ")", {}, error)
        .has_value();
}

// --- Complex events ------------------------------------------------------------------------------

bool KLVDatabase::updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                     std::int64_t childEventCount,
                                                                     const KLVEvent& mainEvent,
                                                                     Error* error) {
    const auto blob = mainEvent.protoEvent().protoBuffer();
    if (!blob || blob->empty()) {
        return fail(error, kKLVErrorCodeBadArgument, "Cannot create the main event blob");
    }
    const Record record = {
        {"main_event", *blob}, {"event_id", eventID}, {"children_to_process", childEventCount}};
    return sqliteStore_->upsertRecord(record, kKLVMainEventParamsTable, error);
}

std::optional<std::pair<KLVEvent, std::int64_t>> KLVDatabase::mainEventAndChildCountPairWithEventID(
    std::int64_t eventID, Error* error) {
    const auto rows = sqliteStore_->recordsForQuery(
        std::string("SELECT * FROM ") + kKLVMainEventParamsTable + " WHERE event_id=? LIMIT 1",
        {eventID}, error);
    if (!rows || rows->empty()) return std::nullopt;
    const auto& row = rows->front();
    const auto blob = row.find("main_event");
    const auto* data = blob == row.end() ? nullptr : blob->second.getData();
    if (!data) {
        fail(error, kKLVErrorCodeFailedOperation,
             "Failed to convert data to an event. Data must be a NSData instance");
        return std::nullopt;
    }
    const auto message = KLVPBEvent::initWithBuffer(*data);
    if (!message) {
        fail(error, kKLVErrorCodeFailedOperation, "Failed to parse event from data");
        return std::nullopt;
    }
    auto event = KLVEvent::initWithEventProto(*message);
    if (!event) {
        fail(error, kKLVErrorCodeFailedOperation, "Failed to initialize event from proto data");
        return std::nullopt;
    }
    const auto count = row.find("children_to_process");
    if (count == row.end() || !count->second.isInteger()) {
        fail(error, kKLVErrorCodeEmptyData,
             "Complex event does not have children count in database");
        return std::nullopt;
    }
    return std::make_pair(std::move(*event), count->second.asInteger());
}

bool KLVDatabase::deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                     Error* error) {
    return sqliteStore_
        ->deleteRecordsFromTableWithName(kKLVMainEventParamsTable, "event_id=?", {eventID}, error)
        .has_value();
}

}  // namespace engine
