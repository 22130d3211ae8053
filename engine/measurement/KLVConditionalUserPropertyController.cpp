#include "engine/measurement/KLVConditionalUserPropertyController.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/base/KLVScheduler.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/events/KLVDebugText.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Semaphore.h"

namespace engine {

using platform::Error;

namespace {

std::atomic<double> gQueryTimeout{30};
// The triggered update also names the value.
constexpr std::int64_t kTriggeredUpdateCode = 10010;

bool hasError(const Error& error) {
    return !error.domain.empty();
}

std::string debugName(const std::string& name) {
    return KLVDebugUserPropertyName(name);
}

// The caller-supplied event as the controller logs it: `origin`, not public, `timestamp`.
void appendEvent(const std::optional<KLVEvent>& supplied, const std::string& origin,
                 double timestamp, std::vector<KLVEvent>& events) {
    if (!supplied) return;
    if (auto event = KLVEvent::initWithOrigin(origin, false, supplied->name(), timestamp, 0,
                                              supplied->parameters())) {
        events.push_back(std::move(*event));
    }
}

// Writes the property's value as a user property set at `timestamp`; a failure is logged only
// (the caller goes on).
void writeUserProperty(KLVDatabase& database, const KLVConditionalUserProperty& property,
                       double timestamp, std::int64_t successCode, const char* success,
                       std::int64_t failureCode, const char* failure) {
    Error error;
    const auto attribute =
        property.value() ? KLVUserAttribute::initWithOrigin(property.origin(), property.name(),
                                                            *property.value(), timestamp)
                         : std::nullopt;
    if (!attribute || !database.updateUserAttribute(*attribute, &error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, failureCode, failure,
                               debugName(property.name()), property.origin(), error);
    } else if (successCode == kTriggeredUpdateCode) {
        monitor().logWithLevel(kKLVLogDebug, successCode, success, debugName(property.name()),
                               property.origin(), property.value()->description());
    } else {
        monitor().logWithLevel(kKLVLogDebug, successCode, success, debugName(property.name()),
                               property.origin());
    }
}

bool isValidInterval(double seconds) {
    return seconds >= KLVConditionalUserProperty::kMinimumInterval &&
           seconds <= KLVConditionalUserProperty::kMaximumInterval;
}

// Which checks a set call passes; the validators log their own refusals.
bool isValidForSet(const KLVConditionalUserProperty& property) {
    if (!KLVDataTypeValidator::isValidConditionalUserPropertyOrigin(property.origin()) ||
        !KLVDataTypeValidator::isValidConditionalUserPropertyName(property.name())) {
        return false;
    }
    if (property.value() &&
        !KLVDataTypeValidator::isValidConditionalUserPropertyValue(&*property.value())) {
        return false;
    }
    if (!isValidInterval(property.triggerTimeout())) {
        monitor().logWithLevel(kKLVLogErrorSilent, 11000,
                               "Invalid conditional user property trigger timeout",
                               property.triggerTimeout());
        return false;
    }
    if (!isValidInterval(property.timeToLive())) {
        monitor().logWithLevel(kKLVLogErrorSilent, 11001,
                               "Invalid conditional user property time to live",
                               property.timeToLive());
        return false;
    }
    return true;
}

// The answer of a query, shared between the caller and the block that fills it.
struct QueryAnswer {
    platform::Semaphore done;
    std::mutex mutex;
    std::optional<std::vector<KLVConditionalUserProperty>> properties;
    Error error;
};

}  // namespace

KLVConditionalUserPropertyController::KLVConditionalUserPropertyController(
    ServiceLookup currentService)
    : currentService_(std::move(currentService)) {}

double KLVConditionalUserPropertyController::queryTimeout() {
    return gQueryTimeout.load();
}

void KLVConditionalUserPropertyController::setQueryTimeout(double seconds) {
    gQueryTimeout.store(seconds);
}

void KLVConditionalUserPropertyController::setConditionalUserProperty(
    const KLVConditionalUserProperty* property, const std::string& name) {
    if (!property) {
        monitor().logWithLevel(kKLVLogErrorSilent, 11002,
                               "Cannot set nil conditional user property");
        return;
    }
    KLVConditionalUserProperty copy = *property;
    copy.setName(name);
    if (!isValidForSet(copy)) return;
    copy.setCreationTimestamp(platform::currentTime());
    const auto service = currentService_();
    if (!service) return;
    std::weak_ptr<KLVConditionalUserPropertyController> weak = weak_from_this();
    service->scheduler()->scheduleOnWorkerQueueBlockID(
        "KLVConditionalUserPropertyController:88", [weak, copy = std::move(copy)] {
            const auto self = weak.lock();
            if (!self) return;
            if (copy.value()) {
                self->setConditionalUserPropertyOnWorkerQueue(&copy);
            } else {
                self->removeConditionalUserPropertyOnWorkerQueue(&copy);
            }
        });
}

void KLVConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    const KLVEvent* clearEvent, const std::string& name) {
    if (!KLVDataTypeValidator::isValidConditionalUserPropertyName(name)) return;
    KLVConditionalUserProperty property;
    property.setName(name);
    if (clearEvent) property.setExpiredEvent(*clearEvent);
    const auto service = currentService_();
    if (!service) return;
    std::weak_ptr<KLVConditionalUserPropertyController> weak = weak_from_this();
    service->scheduler()->scheduleOnWorkerQueueBlockID(
        "KLVConditionalUserPropertyController:113", [weak, property = std::move(property)] {
            if (const auto self = weak.lock())
                self->removeConditionalUserPropertyOnWorkerQueue(&property);
        });
}

std::optional<std::vector<KLVConditionalUserProperty>>
KLVConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(
    const platform::Object& prefix, const platform::Object& origin) {
    if (!prefix.isNull() && !prefix.isString()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 11003,
                               "Cannot query for conditional user properties. Name prefix is not "
                               "a string. Class",
                               platform::typeName(prefix.type()));
        return std::nullopt;
    }
    if (!origin.isNull() && !origin.isString()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 11004,
                               "Cannot query for conditional user properties. Origin is not a "
                               "string. Class",
                               platform::typeName(origin.type()));
        return std::nullopt;
    }
    const auto service = currentService_();
    if (!service) return std::nullopt;
    const std::string prefixText = prefix.isString() ? prefix.asString() : "";
    const std::string originText = origin.isString() ? origin.asString() : "";
    auto answer = std::make_shared<QueryAnswer>();
    auto query = [answer, prefixText, originText, currentService = currentService_] {
        const auto service = currentService();
        std::lock_guard lock(answer->mutex);
        if (!service || !service->isEnabled() || !service->database()) {
            monitor().logWithLevel(kKLVLogWarning, 11005,
                                   "Cannot query for conditional user properties. Analytics is "
                                   "disabled");
        } else {
            answer->properties = service->database()->conditionalUserPropertiesWithPrefix(
                prefixText, originText, &answer->error);
        }
        answer->done.signal();
    };
    const auto& worker = service->scheduler()->workerQueue();
    if (worker->isCurrent()) {
        // Waiting here would wait for this very block.
        query();
    } else {
        service->scheduler()->scheduleOnWorkerQueueBlockID(
            "KLVConditionalUserPropertyController:161", query);
        if (!answer->done.wait(queryTimeout())) return std::nullopt;
    }
    std::lock_guard lock(answer->mutex);
    if (!answer->properties && hasError(answer->error)) {
        monitor().logWithLevel(kKLVLogErrorSilent, 11006,
                               "Cannot query for conditional user properties. Name prefix, "
                               "origin, error",
                               prefixText, originText, answer->error);
    }
    return answer->properties;
}

void KLVConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const KLVConditionalUserProperty* property) {
    KLVScheduler::checkOnWorkerQueue("setConditionalUserPropertyOnWorkerQueue");
    const auto service = currentService_();
    if (!service || !service->isEnabled() || !service->database()) {
        monitor().logWithLevel(kKLVLogWarning, 11007,
                               "Cannot set conditional user property. Analytics is disabled");
        return;
    }
    if (!property || !property->value()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 11008,
                               "Cannot set nil conditional user property on worker queue");
        return;
    }
    auto& database = *service->database();
    KLVConditionalUserProperty incoming = *property;
    std::vector<KLVEvent> events;
    const bool committed = database.performTransaction([&] {
        events.clear();
        KLVConditionalUserProperty record = incoming;
        Error error;
        const auto old = database.conditionalUserPropertyWithName(record.name(), &error);
        if (hasError(error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 11009,
                                   "Cannot query conditional user property. Name, origin, error",
                                   debugName(record.name()), record.origin(), error);
            return false;
        }
        if (old && old->origin() != record.origin()) {
            monitor().logWithLevel(kKLVLogWarningSilent, 11010,
                                   "Updating a conditional user property with different origin. "
                                   "Name, origin, saved origin",
                                   debugName(record.name()), record.origin(), old->origin());
        }
        bool justTriggered = false;
        if (old && old->isActive()) {
            // Still in force: the new value and lifetime apply from the first trigger on.
            record.setOrigin(old->origin());
            record.setCreationTimestamp(old->creationTimestamp());
            record.setTriggerEventName(old->triggerEventName());
            record.setTriggeredEvent(old->triggeredEvent());
            record.setTriggerTimeout(old->triggerTimeout());
            record.setActive(true);
            record.setTriggeredTimestamp(old->triggeredTimestamp());
        } else if (record.triggerEventName().empty()) {
            record.setActive(true);
            record.setTriggeredTimestamp(record.creationTimestamp());
            justTriggered = true;
        }
        if (record.isActive()) {
            writeUserProperty(database, record, record.triggeredTimestamp(), 11012,
                              "User property updated. Name, origin", 11011,
                              "Cannot update user property from conditional user property. Name, "
                              "origin, error");
            if (justTriggered) {
                appendEvent(record.triggeredEvent(), record.origin(), record.triggeredTimestamp(),
                            events);
            }
        }
        if (database.updateConditionalUserProperty(record, &error)) {
            monitor().logWithLevel(kKLVLogDebug, 11013,
                                   "Conditional user property added. Name, origin",
                                   debugName(record.name()), record.origin());
        } else {
            monitor().logWithLevel(kKLVLogErrorMonitored, 11014,
                                   "Cannot insert user property from conditional user property. "
                                   "Name, origin, error",
                                   debugName(record.name()), record.origin(), error);
        }
        return true;
    });
    if (!committed) return;
    for (const auto& event : events)
        service->writeEventOnWorkerQueue(event);
}

void KLVConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const KLVConditionalUserProperty* property) {
    KLVScheduler::checkOnWorkerQueue("removeConditionalUserPropertyOnWorkerQueue:");
    const auto service = currentService_();
    if (!service || !service->isEnabled() || !service->database()) {
        monitor().logWithLevel(kKLVLogWarning, 11015,
                               "Cannot remove conditional user property. Analytics is disabled");
        return;
    }
    if (!property) {
        monitor().logWithLevel(kKLVLogError, 11016,
                               "Cannot remove nil conditional user property on worker queue");
        return;
    }
    auto& database = *service->database();
    const std::string& name = property->name();
    std::vector<KLVEvent> events;
    const bool committed = database.performTransaction([&] {
        events.clear();
        Error error;
        const auto old = database.conditionalUserPropertyWithName(name, &error);
        if (hasError(error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 11017,
                                   "Cannot query conditional user property to remove. Name, "
                                   "origin, error",
                                   debugName(name), property->origin(), error);
            return false;
        }
        if (!old) {
            monitor().logWithLevel(kKLVLogWarningMonitored, 11018,
                                   "Cannot remove nonexistent conditional user property. Name, "
                                   "origin",
                                   debugName(name), property->origin());
            return true;
        }
        if (!database.deleteConditionalUserPropertyWithName(name, &error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 11019,
                                   "Cannot delete conditional user property. Name, origin, error",
                                   debugName(name), old->origin(), error);
            return false;
        }
        if (old->isActive() && !database.deleteUserAttributeWithName(name, &error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 11020,
                                   "Cannot remove conditional user property. Failed to delete the "
                                   "user property. Name, origin, error",
                                   debugName(name), old->origin(), error);
            return false;
        }
        appendEvent(property->expiredEvent(), old->origin(), platform::currentTime(), events);
        return true;
    });
    if (!committed) return;
    for (const auto& event : events)
        service->writeEventOnWorkerQueue(event);
}

std::optional<std::vector<KLVEvent>>
KLVConditionalUserPropertyController::processEventOnWorkerQueue(
    const KLVEvent* event, KLVConditionalUserPropertyService* service) {
    KLVScheduler::checkOnWorkerQueue("processEventOnWorkerQueue:");
    if (!event) {
        monitor().logWithLevel(kKLVLogErrorSilent, 10000,
                               "Cannot process nil event for conditional user property");
        return std::nullopt;
    }
    std::shared_ptr<KLVConditionalUserPropertyService> shared;
    if (!service) {
        shared = currentService_();
        service = shared.get();
    }
    if (!service || !service->database()) return std::nullopt;
    auto& database = *service->database();
    // With no property stored nothing can time out, expire or trigger: no transaction at all.
    if (database.hasConditionalUserProperties() == false) return std::vector<KLVEvent>{};
    std::vector<KLVEvent> timedOut;
    std::vector<KLVEvent> expired;
    std::optional<std::vector<KLVEvent>> triggered;
    const bool committed = database.performTransaction([&] {
        timedOut.clear();
        expired.clear();
        triggered.reset();
        if (!removeTimedOutCUPWithTimedOutEvents(database, timedOut)) return false;
        if (!removeExpiredCUPWithExpiredEvents(database, expired)) return false;
        triggered =
            updateConditionalUserPropertiesWithEventNameOnWorkerQueue(database, event->name());
        return triggered.has_value();
    });
    if (!committed) return std::nullopt;
    for (const auto& timedOutEvent : timedOut)
        service->writeFilteredEventOnWorkerQueue(timedOutEvent);
    for (const auto& expiredEvent : expired)
        service->writeFilteredEventOnWorkerQueue(expiredEvent);
    return triggered;
}

bool KLVConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(
    KLVDatabase& database, std::vector<KLVEvent>& timedOutEvents) {
    KLVScheduler::checkOnWorkerQueue("removeTimedOutCUPWithTimedOutEvents:");
    Error error;
    const auto properties = database.timedOutConditionalUserPropertiesWithError(&error);
    if (!properties) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 10001,
                               "Cannot fetch timed out conditional user properties. Error", error);
        return false;
    }
    for (const auto& property : *properties) {
        monitor().logWithLevel(kKLVLogDebug, 10002, "Conditional user property has timed out. Name",
                               debugName(property.name()));
        if (!database.deleteConditionalUserPropertyWithName(property.name(), &error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 10003,
                                   "Cannot delete timed out condition user property. Name, error",
                                   debugName(property.name()), error);
            return false;
        }
        appendEvent(property.timedOutEvent(), property.origin(), platform::currentTime(),
                    timedOutEvents);
    }
    return true;
}

bool KLVConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(
    KLVDatabase& database, std::vector<KLVEvent>& expiredEvents) {
    KLVScheduler::checkOnWorkerQueue("removeExpiredCUPWithExpiredEvents:");
    Error error;
    const auto properties = database.expiredConditionalUserPropertiesWithError(&error);
    if (!properties) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 10004,
                               "Cannot fetch expired conditional user properties. Error", error);
        return false;
    }
    for (const auto& property : *properties) {
        monitor().logWithLevel(
            kKLVLogDebug, 10005, "Conditional user property has expired. Name, expired event",
            debugName(property.name()),
            property.expiredEvent() ? KLVDebugEventName(property.expiredEvent()->name()) : "");
        if (!database.deleteUserAttributeWithName(property.name(), &error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 10006,
                                   "Cannot remove conditional user property. Failed to delete the "
                                   "user property. Name, origin, error",
                                   debugName(property.name()), property.origin(), error);
            return false;
        }
        if (!database.deleteConditionalUserPropertyWithName(property.name(), &error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 10007,
                                   "Cannot delete expired condition user property. Name, error",
                                   debugName(property.name()), error);
            return false;
        }
        appendEvent(property.expiredEvent(), property.origin(), platform::currentTime(),
                    expiredEvents);
    }
    return true;
}

std::optional<std::vector<KLVEvent>>
KLVConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    KLVDatabase& database, const std::string& eventName) {
    KLVScheduler::checkOnWorkerQueue(
        "updateConditionalUserPropertiesBasedOnEventNameOnWorkerQueue:");
    Error error;
    auto properties = database.triggeredConditionalUserPropertiesWithEventName(eventName, &error);
    // The public name of an ad impression also triggers properties waiting for its internal one.
    if (properties && properties->empty() && eventName == "ad_impression") {
        properties = database.triggeredConditionalUserPropertiesWithEventName("_ai", &error);
    }
    if (!properties) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 10008,
                               "Cannot fetch triggering conditional user properties. Event name, "
                               "error",
                               KLVDebugEventName(eventName), error);
        return std::nullopt;
    }
    std::vector<KLVEvent> triggeredEvents;
    for (auto& property : *properties) {
        const double timestamp = platform::currentTime();
        writeUserProperty(database, property, timestamp, 10010,
                          "User property updated. Name, origin, value", 10009,
                          "Cannot update user property from conditional user property. Name, "
                          "origin, error");
        appendEvent(property.triggeredEvent(), property.origin(), timestamp, triggeredEvents);
        property.setActive(true);
        property.setTriggeredTimestamp(timestamp);
        if (!database.updateConditionalUserProperty(property, &error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 10011,
                                   "Cannot update conditional user property. Name, origin, error",
                                   debugName(property.name()), property.origin(), error);
            return std::nullopt;
        }
    }
    return triggeredEvents;
}

}  // namespace engine
