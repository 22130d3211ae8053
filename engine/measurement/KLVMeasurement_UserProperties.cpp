// User properties on the worker queue: the write with its per-origin and public limits, the
// user identifier's effect on the stitching token and the advertising-ID reset mark, removal,
// the read-backs and the session ID.

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVDebugText.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "platform/dispatch/Clock.h"

namespace engine {

using platform::Error;

namespace {

// Fixed, not configured: the properties one origin may hold.
constexpr std::int64_t kMaxUserPropertiesPerOrigin = 25;
constexpr std::int64_t kUserPropertyLimitReachedError = 9;

bool hasError(const Error& error) {
    return error != Error{};
}

}  // namespace

void KLVMeasurement::setUserAttributeOnWorkerQueue(const KLVUserAttribute& attribute) {
    KLVScheduler::checkOnWorkerQueue("setUserAttributeOnWorkerQueue:");
    if (!isEnabled() || !database()) {
        monitor().logWithLevel(kKLVLogDebug, 23081, "Analytics is disabled. User property not set");
        return;
    }
    setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

bool KLVMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const KLVUserAttribute& attribute) {
    KLVScheduler::checkOnWorkerQueue("setUserPropertyInDatabaseOnWorkerQueue:");
    KLVDatabase& db = *database();
    const std::string displayName = KLVDebugUserPropertyName(attribute.name());
    Error error;
    const auto exists = db.containsUserAttributeWithName(attribute.name(), &error);
    if (!exists && hasError(error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23082,
                               "Unable to query existence of user property. Name, error",
                               displayName, error);
        return false;
    }
    if (attribute.name() == "_id" && exists.value_or(false)) {
        const auto stored = db.userAttributeWithName("_id");
        const std::string* before = stored ? stored->value().stringValue() : nullptr;
        const std::string* after = attribute.value().stringValue();
        const bool changed = !before || !after || *before != *after;
        if (changed) {
            if (const auto id = identity()) id->resetSessionStitchingToken();
            // A new user identifier clears the advertising-ID reset mark.
            // Best effort: the new identifier is stored whether or not the mark could go.
            (void)db.deleteUserAttributeWithName("_lair");
        }
    }
    if (!exists.value_or(false)) {
        Error countError;
        const auto config = remoteConfigInstance();
        const bool isPublic = attribute.isPublic();
        const auto count = isPublic
                               ? db.publicUserAttributeCount(&countError)
                               : db.userAttributeCountForOrigin(attribute.origin(), &countError);
        const std::int64_t limit =
            isPublic ? config->maxPublicUserProperties() : kMaxUserPropertiesPerOrigin;
        if (!count || *count >= limit) {
            if (hasError(countError)) {
                monitor().logWithLevel(kKLVLogErrorMonitored, 23083,
                                       "Unable to query user property count. Origin, error",
                                       attribute.origin(), countError);
            } else {
                monitor().logWithLevel(kKLVLogWarning, 23084,
                                       "Unable to set user property. Reached limit on set user "
                                       "properties for origin. Origin, name, value",
                                       attribute.origin(), displayName,
                                       attribute.value().description());
                KLVLogErrorEvent(kUserPropertyLimitReachedError);
            }
            return false;
        }
    }
    Error writeError;
    if (!db.updateUserAttribute(attribute, &writeError)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23085,
                               "Unable to set user property. Name, value, error", displayName,
                               attribute.value().description(), writeError);
        return false;
    }
    monitor().logWithLevel(kKLVLogDebug, 23087, "User property set. Name, value", displayName,
                           attribute.value().description());
    return true;
}

void KLVMeasurement::removeUserAttributeOnWorkerQueue(const KLVUserAttribute& attribute) {
    KLVScheduler::checkOnWorkerQueue("removeUserAttributeOnWorkerQueue:");
    if (!isEnabled() || !database()) {
        monitor().logWithLevel(kKLVLogDebug, 23076,
                               "Analytics is disabled. User property not removed");
        return;
    }
    if (attribute.name() == "_id") {
        if (const auto id = identity()) id->resetSessionStitchingToken();
    }
    const std::string displayName = KLVDebugUserPropertyName(attribute.name());
    Error error;
    if (!database()->deleteUserAttributeWithName(attribute.name(), &error) && hasError(error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23077,
                               "Unable to remove user property. Name, error", displayName, error);
        return;
    }
    monitor().logWithLevel(kKLVLogDebug, 23078, "User property removed. Name", displayName);
}

platform::Dictionary KLVMeasurement::userPropertiesOnWorkerQueueIncludingInternal(
    bool includeInternal) {
    platform::Dictionary properties;
    if (!database()) return properties;
    Error error;
    const auto attributes = database()->userAttributesIncludingInternal(includeInternal, &error);
    if (!attributes) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23091,
                               "Unable to retrieve user properties. Error", error);
        return properties;
    }
    for (const auto& attribute : *attributes) {
        const KLVValue& value = attribute.value();
        if (attribute.name().empty()) {
            monitor().logWithLevel(kKLVLogWarning, 23092,
                                   "Cannot add invalid public user property name or value.");
            continue;
        }
        if (const auto* text = value.stringValue()) {
            properties[attribute.name()] = platform::Object(*text);
        } else if (value.isDouble()) {
            properties[attribute.name()] = platform::Object(value.doubleValue());
        } else if (value.isInt64()) {
            properties[attribute.name()] = platform::Object(value.int64Value());
        }
    }
    return properties;
}

std::int64_t KLVMeasurement::maxUserPropertiesOnWorkerQueueForOrigin(const std::string&) {
    return kMaxUserPropertiesPerOrigin;
}

std::optional<KLVUserAttribute> KLVMeasurement::userAttributeOnWorkerQueueWithName(
    const std::string& name) {
    if (!database()) return std::nullopt;
    Error error;
    auto attribute = database()->userAttributeWithName(name, &error);
    if (!attribute && hasError(error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23089,
                               "Unable to get user attribute by name. Name",
                               KLVDebugUserPropertyName(name));
    }
    return attribute;
}

bool KLVMeasurement::hasUserPropertyUserIDOnWorkerQueue() {
    KLVScheduler::checkOnWorkerQueue("hasUserPropertyUserIDOnWorkerQueue");
    if (!database()) return false;
    return database()->containsUserAttributeWithName("_id").value_or(false);
}

void KLVMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
    KLVScheduler::checkOnWorkerQueue("setLastAdvertisingIDResetUserPropertyOnWorkerQueue");
    if (!database()) return;
    const auto hasID = database()->containsUserAttributeWithName("_id");
    if (!hasID || !*hasID) return;
    const auto hasMark = database()->containsUserAttributeWithName("_lair");
    if (!hasMark || *hasMark) return;
    if (const auto mark = KLVUserAttribute::initWithOrigin(
            "auto", "_lair", KLVValue::initWithInt64(1), platform::Clock::current().now())) {
        setUserAttributeOnWorkerQueue(*mark);
    }
    if (const auto id = identity()) id->setShouldSetLastAdvertisingIDResetUserProperty(false);
}

void KLVMeasurement::sessionIDOnWorkerQueueWithCompletion(
    const KLVSessionIDCompletion& completion) {
    auto fail = [&](const char* description) {
        completion(0, klv_errorWithCode(kKLVSessionIDErrorCode, description));
    };
    if (!isEnabled()) return fail("Analytics disabled");
    if (isSessionExpired()) return fail("Session expired");
    const auto sid = database() ? database()->userAttributeWithName("_sid") : std::nullopt;
    if (!sid || !sid->value().isInt64()) return fail("Session ID not found");
    completion(sid->value().int64Value(), std::nullopt);
}

}  // namespace engine
