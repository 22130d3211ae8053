// Current user properties ("user_attributes") and the purchases and subscriptions already
// reported ("purchase_transactions", "subscriptions").

#include <string>
#include <utility>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVUserPropertyInternalNameMap.h"
#include "engine/database/KLVDatabase.h"
#include "engine/database/KLVDatabaseSchema.h"
#include "engine/database/KLVDatabaseTableSupport.h"
#include "engine/events/KLVDataTypeValidator.h"

namespace engine {

using platform::Error;
using platform::Object;
using table_support::booleanOf;
using table_support::fail;
using table_support::integerOf;
using table_support::plainValue;

namespace {

constexpr std::int64_t kMaxUserAttributes = 1000;
constexpr std::int64_t kMaxRememberedPurchases = 1000;
constexpr char kLifetimeValuePrefix[] = "_ltv_";

// A user_attributes row; a value that is not a number or a string gives no property (skipped).
std::optional<KLVUserAttribute> userAttributeFromRow(const KLVDatabase::Row& row, Error*) {
    const auto value = row.find("value");
    const auto name = row.find("name");
    if (value == row.end() || value->second.isNull() || name == row.end() ||
        !name->second.isString()) {
        return std::nullopt;
    }
    auto userValue = KLVValue::valueFromObject(value->second);
    if (!userValue) return std::nullopt;
    const auto origin = row.find("origin");
    const auto timestamp = row.find("set_timestamp");
    return KLVUserAttribute::initWithOrigin(
        origin != row.end() && origin->second.isString() ? origin->second.asString() : "",
        name->second.asString(), std::move(*userValue),
        timestamp == row.end() ? 0 : timestamp->second.numberAsDouble().value_or(0));
}

bool isPublicUserAttribute(const KLVUserAttribute& attribute) {
    const auto& name = attribute.name();
    return !name.starts_with('_') && !KLVDataTypeValidator::hasReservedPrefixes(name) &&
           !KLVUserPropertyInternalNameMap().contains(name);
}

}  // namespace

std::optional<KLVUserAttribute> KLVDatabase::userAttributeWithName(std::string_view name,
                                                                   Error* error) {
    auto rows = dataTypesFromTableWithName<KLVUserAttribute>(
        kKLVUserAttributesTable, "name", Object(name), error, userAttributeFromRow);
    if (!rows || rows->empty()) return std::nullopt;
    return std::move(rows->front());
}

std::optional<std::vector<KLVUserAttribute>> KLVDatabase::userAttributesIncludingInternal(
    bool includingInternal, Error* error) {
    auto attributes = allDataTypesFromTableWithName<KLVUserAttribute>(
        kKLVUserAttributesTable, kMaxUserAttributes, error, userAttributeFromRow);
    if (!attributes || includingInternal) return attributes;
    std::erase_if(*attributes, [](const auto& a) { return !isPublicUserAttribute(a); });
    return attributes;
}

std::optional<std::vector<KLVUserAttribute>> KLVDatabase::allLifetimeValueUserAttributes(
    Error* error) {
    // Compared as a plain prefix: in a LIKE pattern the underscores would match any character.
    const std::string prefix = kLifetimeValuePrefix;
    const auto rows = sqliteStore_->recordsForQuery(
        "SELECT * FROM user_attributes WHERE substr(name, 1, " + std::to_string(prefix.size()) +
            ") = ? ORDER BY set_timestamp DESC",
        {prefix}, error);
    if (!rows) return std::nullopt;
    std::vector<KLVUserAttribute> attributes;
    attributes.reserve(rows->size());
    for (const auto& row : *rows) {
        auto attribute = userAttributeFromRow(row, error);
        if (!attribute) {
            fail(error, kKLVErrorCodeFailedOperation, "Failed to initialize user property");
            return std::nullopt;
        }
        attributes.push_back(std::move(*attribute));
    }
    return attributes;
}

bool KLVDatabase::updateUserAttribute(const KLVUserAttribute& userAttribute, Error* error) {
    const auto& value = userAttribute.value();
    if (userAttribute.origin().empty()) {
        return fail(error, kKLVErrorCodeEmptyData,
                    "Received user property with empty origin for getting dictionary "
                    "representation");
    }
    if (userAttribute.name().empty()) {
        return fail(error, kKLVErrorCodeBadArgument,
                    "Received user property with empty name for getting dictionary "
                    "representation");
    }
    if (value.isString() && value.stringValue()->empty()) {
        return fail(error, kKLVErrorCodeBadArgument,
                    "Received empty string value for user property");
    }
    // The column has no form for an array; storing one as 0 would lose it silently.
    if (value.isArray()) {
        return fail(error, kKLVErrorCodeBadArgument, "Received array value for user property");
    }
    const Record record = {{"origin", userAttribute.origin()},
                           {"name", userAttribute.name()},
                           {"value", plainValue(value)},
                           {"set_timestamp", userAttribute.lastSetTimestamp()}};
    return upsertDataType(record, kKLVUserAttributesTable, "name", Object(userAttribute.name()),
                          kMaxUserAttributes, error);
}

bool KLVDatabase::deleteUserAttributeWithName(std::string_view name, Error* error) {
    return sqliteStore_->deleteRecordFromTableWithName(kKLVUserAttributesTable, "name",
                                                       Object(name), error);
}

std::optional<bool> KLVDatabase::containsUserAttributeWithName(std::string_view name,
                                                               Error* error) {
    if (name.empty()) {
        fail(error, kKLVErrorCodeBadArgument, "Received empty user property name for exists query");
        return std::nullopt;
    }
    return booleanOf(sqliteStore_->numberForQuery(
        "SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)", {name}, error));
}

std::optional<std::int64_t> KLVDatabase::userAttributeCountForOrigin(std::string_view origin,
                                                                     Error* error) {
    if (origin.empty()) {
        fail(error, kKLVErrorCodeBadArgument,
             "Received empty user property origin for count query");
        return std::nullopt;
    }
    return integerOf(sqliteStore_->numberForQuery(
        "SELECT count(1) FROM user_attributes WHERE origin = ?", {origin}, error));
}

std::optional<std::int64_t> KLVDatabase::publicUserAttributeCount(Error* error) {
    return integerOf(sqliteStore_->numberForQuery(
        "SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%%' ESCAPE '!'", {}, error));
}

// --- Purchases and subscriptions -------------------------------------------------------------

namespace {

// The shared contract of the two "report once" tables: true when the key is new and now
// recorded, false when known or empty, nothing on failure.
std::optional<bool> insertIfNotDuplicate(KLVSqliteStore& store, std::string_view table,
                                         std::string_view column, std::string_view key,
                                         Error* error) {
    if (key.empty()) return false;
    const auto known =
        booleanOf(store.numberForQuery("SELECT EXISTS (SELECT 1 FROM " + std::string(table) +
                                           " WHERE " + std::string(column) + " = ? LIMIT 1)",
                                       {key}, error));
    if (!known) return std::nullopt;
    if (*known) return false;
    if (!store.upsertRecord({{std::string(column), Object(key)}}, std::string(table), error)) {
        return std::nullopt;
    }
    return true;
}

// Keeps the newest 1000 rows by row id; the number deleted.
std::optional<std::int64_t> deleteOverLimit(KLVSqliteStore& store, std::string_view table,
                                            Error* error) {
    return store.deleteRecordsFromTableWithName(std::string(table),
                                                "rowid IN (SELECT rowid FROM " +
                                                    std::string(table) +
                                                    " ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
                                                {kMaxRememberedPurchases}, error);
}

}  // namespace

std::optional<bool> KLVDatabase::insertIfNotDuplicatePurchaseFingerprint(
    std::string_view fingerprint, Error* error) {
    const auto inserted = insertIfNotDuplicate(*sqliteStore_, kKLVPurchaseTransactionsTable,
                                               "fingerprint", fingerprint, error);
    if (!inserted || !*inserted) return inserted;
    if (!deleteOverLimit(*sqliteStore_, kKLVPurchaseTransactionsTable, error)) return std::nullopt;
    return true;
}

std::optional<bool> KLVDatabase::insertIfNotDuplicateSubscriptionID(std::string_view subscriptionID,
                                                                    Error* error) {
    return insertIfNotDuplicate(*sqliteStore_, kKLVSubscriptionsTable, "subscription_id",
                                subscriptionID, error);
}

std::optional<std::int64_t> KLVDatabase::deleteSubscriptionsOverLimit(Error* error) {
    return deleteOverLimit(*sqliteStore_, kKLVSubscriptionsTable, error);
}

}  // namespace engine
