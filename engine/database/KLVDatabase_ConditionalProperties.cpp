// Conditional user properties waiting for their trigger, in force, or due
// ("conditional_properties").

#include <string>
#include <utility>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/database/KLVDatabaseSchema.h"
#include "engine/database/KLVDatabaseTableSupport.h"
#include "platform/dispatch/Clock.h"

namespace engine {

using platform::Error;
using platform::Object;
using table_support::fail;
using table_support::plainValue;

namespace {

constexpr std::int64_t kMaxConditionalProperties = 1000;
using Properties = std::vector<KLVConditionalUserProperty>;

std::string textOf(const KLVDatabase::Row& row, const char* column) {
    const auto it = row.find(column);
    return it != row.end() && it->second.isString() ? it->second.asString() : std::string();
}

double numberOf(const KLVDatabase::Row& row, const char* column) {
    const auto it = row.find(column);
    return it == row.end() ? 0 : it->second.numberAsDouble().value_or(0);
}

// The event stored in `column`: nothing for an absent or NULL column; false (with the error) for
// bytes that do not give an event.
bool readEvent(const KLVDatabase::Row& row, const char* column, std::optional<KLVEvent>& event,
               Error* error) {
    const auto it = row.find(column);
    if (it == row.end() || it->second.isNull()) return true;
    const auto* data = it->second.getData();
    if (!data) {
        return fail(error, kKLVErrorCodeFailedOperation,
                    "Failed to convert data to an event. Data must be a NSData instance");
    }
    const auto message = KLVPBEvent::initWithBuffer(*data);
    if (!message)
        return fail(error, kKLVErrorCodeFailedOperation, "Failed to parse event from data");
    event = KLVEvent::initWithEventProto(*message);
    if (!event) {
        return fail(error, kKLVErrorCodeFailedOperation,
                    "Failed to initialize event from proto data");
    }
    return true;
}

std::optional<KLVConditionalUserProperty> propertyFromRow(const KLVDatabase::Row& row,
                                                          Error* error) {
    KLVConditionalUserProperty property;
    property.setName(textOf(row, "name"));
    property.setOrigin(textOf(row, "origin"));
    if (const auto value = row.find("value"); value != row.end() && !value->second.isNull()) {
        property.setValue(KLVValue::valueFromObject(value->second));
    }
    property.setTriggerTimeout(numberOf(row, "trigger_timeout"));
    property.setTimeToLive(numberOf(row, "time_to_live"));
    property.setTriggerEventName(textOf(row, "trigger_event_name"));
    std::optional<KLVEvent> triggered, timedOut, expired;
    if (!readEvent(row, "triggered_event", triggered, error) ||
        !readEvent(row, "timed_out_event", timedOut, error) ||
        !readEvent(row, "expired_event", expired, error)) {
        return std::nullopt;
    }
    property.setTriggeredEvent(std::move(triggered));
    property.setTimedOutEvent(std::move(timedOut));
    property.setExpiredEvent(std::move(expired));
    property.setActive(numberOf(row, "active") != 0);
    property.setCreationTimestamp(numberOf(row, "creation_timestamp"));
    property.setTriggeredTimestamp(numberOf(row, "triggered_timestamp"));
    return property;
}

}  // namespace

std::optional<KLVConditionalUserProperty> KLVDatabase::conditionalUserPropertyWithName(
    std::string_view name, Error* error) {
    const auto rows = sqliteStore_->recordsForQuery(
        std::string("SELECT * FROM ") + kKLVConditionalPropertiesTable + " WHERE name = ? LIMIT 1",
        {name}, error);
    if (!rows || rows->empty()) return std::nullopt;
    return propertyFromRow(rows->front(), error);
}

bool KLVDatabase::updateConditionalUserProperty(const KLVConditionalUserProperty& property,
                                                Error* error) {
    if (property.name().empty()) {
        return fail(error, kKLVErrorCodeEmptyData,
                    "Received conditional user property with empty name for getting dictionary "
                    "representation");
    }
    if (property.origin().empty()) {
        return fail(error, kKLVErrorCodeEmptyData,
                    "Received conditional user property with empty origin for getting dictionary "
                    "representation");
    }
    if (!property.value()) {
        return fail(error, kKLVErrorCodeEmptyData,
                    "Received conditional user property with nil value for getting dictionary "
                    "representation");
    }
    Record record = {{"name", property.name()},
                     {"origin", property.origin()},
                     {"value", plainValue(*property.value())},
                     {"creation_timestamp", property.creationTimestamp()},
                     {"active", property.isActive() ? 1 : 0},
                     {"trigger_timeout", property.triggerTimeout()},
                     {"triggered_timestamp", property.triggeredTimestamp()},
                     {"time_to_live", property.timeToLive()}};
    if (!property.triggerEventName().empty()) {
        record["trigger_event_name"] = property.triggerEventName();
    }
    const std::pair<const char*, const std::optional<KLVEvent>*> events[] = {
        {"triggered_event", &property.triggeredEvent()},
        {"timed_out_event", &property.timedOutEvent()},
        {"expired_event", &property.expiredEvent()},
    };
    for (const auto& [column, event] : events) {
        if (!*event) continue;
        auto bytes = (*event)->protoEvent().protoBuffer();
        if (!bytes) return fail(error, kKLVErrorCodeFailedOperation, "Cannot encode the event");
        record[column] = std::move(*bytes);
    }
    return upsertDataType(record, kKLVConditionalPropertiesTable, "name", Object(property.name()),
                          kMaxConditionalProperties, error);
}

bool KLVDatabase::deleteConditionalUserPropertyWithName(std::string_view name, Error* error) {
    return sqliteStore_->deleteRecordFromTableWithName(kKLVConditionalPropertiesTable, "name",
                                                       Object(name), error);
}

std::optional<Properties> KLVDatabase::timedOutConditionalUserPropertiesWithError(Error* error) {
    return conditionalUserPropertiesWithCondition(
        "active=0 and abs(? - creation_timestamp) > trigger_timeout", {platform::currentTime()},
        error);
}

std::optional<Properties> KLVDatabase::expiredConditionalUserPropertiesWithError(Error* error) {
    return conditionalUserPropertiesWithCondition(
        "active=1 and abs(? - triggered_timestamp) > time_to_live", {platform::currentTime()},
        error);
}

std::optional<Properties> KLVDatabase::triggeredConditionalUserPropertiesWithEventName(
    std::string_view eventName, Error* error) {
    if (eventName.empty()) {
        fail(error, kKLVErrorCodeBadArgument,
             "Received nil/empty event name for querying triggered conditional user properties");
        return std::nullopt;
    }
    return conditionalUserPropertiesWithCondition(
        "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
        {eventName, platform::currentTime()}, error);
}

std::optional<Properties> KLVDatabase::conditionalUserPropertiesWithPrefix(std::string_view prefix,
                                                                           std::string_view origin,
                                                                           Error* error) {
    // Plain comparisons, not LIKE: "_" and "%" in a name or origin would match other
    // components' properties.
    std::string condition = "1 == 1";
    KLVSqliteStore::ParameterValues parameters;
    if (!origin.empty()) {
        condition += " AND origin = ?";
        parameters.emplace_back(origin);
    }
    if (!prefix.empty()) {
        condition += " AND substr(name, 1, length(?)) = ?";
        parameters.emplace_back(prefix);
        parameters.emplace_back(prefix);
    }
    return conditionalUserPropertiesWithCondition(condition, parameters, error);
}

std::optional<Properties> KLVDatabase::conditionalUserPropertiesWithCondition(
    const std::string& condition, const KLVSqliteStore::ParameterValues& parameterValues,
    Error* error) {
    if (condition.empty()) {
        fail(error, kKLVErrorCodeBadArgument,
             "Received empty condition for querying a conditional user property");
        return std::nullopt;
    }
    const auto rows =
        sqliteStore_->recordsForQuery(std::string("SELECT rowid, * FROM ") +
                                          kKLVConditionalPropertiesTable + " WHERE " + condition,
                                      parameterValues, error);
    if (!rows) return std::nullopt;
    Properties properties;
    properties.reserve(rows->size());
    for (const auto& row : *rows) {
        Error rowError;
        if (auto property = propertyFromRow(row, &rowError)) {
            properties.push_back(std::move(*property));
        } else {
            // One bad row must not hide the others, nor stop every event's processing.
            monitor().logWithLevel(
                kKLVLogErrorMonitored, 12059,
                "Skipping a conditional user property that cannot be read. Name, error",
                textOf(row, "name"), rowError);
        }
    }
    return properties;
}

}  // namespace engine
