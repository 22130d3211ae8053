#include "engine/frontdoor/TRWAnalyticsConnector.h"

#include <atomic>
#include <functional>
#include <utility>
#include <vector>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "engine/frontdoor/TRWConnectorUtils.h"
#include "engine/measurement/KLVConditionalUserPropertyController.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Semaphore.h"

namespace engine {

using platform::Dictionary;
using platform::Object;

namespace {

std::atomic<double> gMaxUserPropertiesTimeout{10};

void ignoreField(const std::string& key, const Object& value) {
    monitor().logWithLevel(kKLVLogWarning, 25056,
                           "Ignoring conditional user property field. Key, value", key, value);
}

// Each field of a conditional user property from its dictionary entry: false for a value of
// the wrong kind.
using FieldSetter = std::function<bool(KLVConditionalUserProperty&, const Object&)>;

FieldSetter stringField(void (KLVConditionalUserProperty::*set)(std::string)) {
    return [set](KLVConditionalUserProperty& property, const Object& value) {
        if (!value.isString()) return false;
        (property.*set)(value.asString());
        return true;
    };
}

FieldSetter numberField(void (KLVConditionalUserProperty::*set)(double)) {
    return [set](KLVConditionalUserProperty& property, const Object& value) {
        const auto number = value.isNumber() ? value.numberAsDouble() : std::nullopt;
        if (!number) return false;
        (property.*set)(*number);
        return true;
    };
}

FieldSetter eventField(void (KLVConditionalUserProperty::*set)(std::optional<KLVEvent>)) {
    return [set](KLVConditionalUserProperty& property, const Object& value) {
        if (!value.isDictionary()) return false;
        auto event = TRWAnalyticsConnector::eventFromDictionary(value.asDictionary());
        if (!event) return false;
        (property.*set)(std::move(event));
        return true;
    };
}

const std::map<std::string, FieldSetter, std::less<>>& fieldSetters() {
    using P = KLVConditionalUserProperty;
    static const std::map<std::string, FieldSetter, std::less<>> setters = {
        {"active",
         [](P& property, const Object& value) {
             if (!value.isNumber()) return false;
             property.setActive(value.numberAsInteger().value_or(1) != 0);
             return true;
         }},
        {"name", stringField(&P::setName)},
        {"origin", stringField(&P::setOrigin)},
        {"value",
         [](P& property, const Object& value) {
             if (!value.isString() && !value.isNumber()) return false;
             auto converted = KLVValue::valueFromObject(value);
             if (!converted) return false;
             property.setValue(std::move(converted));
             return true;
         }},
        {"triggerEventName", stringField(&P::setTriggerEventName)},
        {"triggerTimeout", numberField(&P::setTriggerTimeout)},
        {"timeToLive", numberField(&P::setTimeToLive)},
        {"triggeredEvent", eventField(&P::setTriggeredEvent)},
        {"timedOutEvent", eventField(&P::setTimedOutEvent)},
        {"expiredEvent", eventField(&P::setExpiredEvent)},
        {"creationTimestamp", numberField(&P::setCreationTimestamp)},
        {"triggeredTimestamp", numberField(&P::setTriggeredTimestamp)},
    };
    return setters;
}

}  // namespace

platform::TRWComponent TRWAnalyticsConnector::component() {
    return platform::TRWComponent::componentWithProtocol<platform::TRWAnalyticsInterop>(
        [] { return std::make_shared<TRWAnalyticsConnector>(); });
}

platform::DispatchQueue& TRWAnalyticsConnector::connectorQueue() {
    static platform::SerialQueue queue("com.nexory.analytics_connector.queue");
    return queue;
}

double TRWAnalyticsConnector::maxUserPropertiesTimeout() {
    return gMaxUserPropertiesTimeout.load();
}

void TRWAnalyticsConnector::setMaxUserPropertiesTimeout(double seconds) {
    gMaxUserPropertiesTimeout.store(seconds);
}

TRWAnalyticsConnector::~TRWAnalyticsConnector() {
    // The engine listener would otherwise outlive its connector for the rest of the process.
    if (logEventListener_) TRWAnalytics::removeLogEventListener(logEventListener_);
}

void TRWAnalyticsConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const Dictionary& parameters) {
    if (!TRWConnectorUtils::isOriginAllowed(origin) ||
        !TRWConnectorUtils::shouldLogEventWithName(name, parameters)) {
        return;
    }
    Dictionary copy = parameters;
    if (name == "_cmp") {
        static const std::map<std::string, std::string, std::less<>> integrations = {
            {"jux", "jux_integration"},
            {"jat", "jat_integration"},
            {"qorv", "qorv_integration"},
            {"jeb", "jeb_integration"}};
        if (const auto it = integrations.find(origin); it != integrations.end()) {
            copy["_cis"] = it->second;
        }
    }
    if (name == "_ae" && origin == "krv") copy["_r"] = 1;
    TRWAnalytics::logInternalEventWithOrigin(origin, name, copy);
}

void TRWAnalyticsConnector::setUserPropertyWithOrigin(const std::string& origin,
                                                      const std::string& name,
                                                      const Object& value) {
    if (!TRWConnectorUtils::isOriginAllowed(origin) ||
        !TRWConnectorUtils::isUserPropertyAllowed(name, origin)) {
        return;
    }
    TRWAnalytics::sharedInstance().setInternalUserProperty(value, name, origin);
}

void TRWAnalyticsConnector::getUserPropertiesWithCallback(UserPropertiesCallback callback) {
    TRWAnalytics::userPropertiesIncludingInternal(
        true, &connectorQueue(), [callback = std::move(callback)](const Dictionary& properties) {
            Dictionary allowed;
            for (const auto& [name, value] : properties) {
                if (TRWConnectorUtils::isUserPropertyAllowedForQuery(name)) allowed[name] = value;
            }
            if (callback) callback(allowed);
        });
}

std::int64_t TRWAnalyticsConnector::maxUserProperties(const std::string& origin) {
    // The answer arrives on the connector queue: waiting on it would only run out the clock.
    if (connectorQueue().isCurrent()) return 0;
    struct Answer {
        platform::Semaphore done;
        std::atomic<std::int64_t> value{0};
    };
    // Shared with the callback, so that an answer after the time-out writes into live state.
    auto answer = std::make_shared<Answer>();
    TRWAnalytics::sharedInstance().maxUserPropertiesForOrigin(origin, &connectorQueue(),
                                                              [answer](std::int64_t value) {
                                                                  answer->value.store(value);
                                                                  answer->done.signal();
                                                              });
    return answer->done.wait(maxUserPropertiesTimeout()) ? answer->value.load() : 0;
}

void TRWAnalyticsConnector::setConditionalUserProperty(const Dictionary& dictionary) {
    if (dictionary.empty()) return;
    KLVConditionalUserProperty property;
    const auto& setters = fieldSetters();
    for (const auto& [key, value] : dictionary) {
        const auto setter = setters.find(key);
        if (setter == setters.end() || !setter->second(property, value)) ignoreField(key, value);
    }
    KLVConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(
        &property, property.name());
}

void TRWAnalyticsConnector::clearConditionalUserProperty(const std::string& userPropertyName,
                                                         const std::string& origin,
                                                         const std::string& clearEventName,
                                                         const Dictionary& clearEventParameters) {
    std::optional<KLVEvent> clearEvent;
    if (!clearEventName.empty()) {
        clearEvent = eventWithOrigin(origin, clearEventName, clearEventParameters);
    }
    KLVConditionalUserPropertyController::sharedInstance()
        ->clearConditionalUserPropertyWithClearEvent(clearEvent ? &*clearEvent : nullptr,
                                                     userPropertyName);
}

platform::Array TRWAnalyticsConnector::conditionalUserProperties(
    const std::string& origin, const std::string& propertyNamePrefix) {
    const auto properties =
        KLVConditionalUserPropertyController::sharedInstance()
            ->conditionalUserPropertiesWithNamePrefix(Object(propertyNamePrefix), Object(origin));
    platform::Array answer;
    if (!properties) return answer;
    for (const auto& property : *properties) {
        const auto& value = property.value();
        if (property.name().empty() || !value || !value->isString()) continue;
        answer.push_back(
            Object::dict({{"name", property.name()}, {"value", *value->stringValue()}}));
    }
    return answer;
}

void TRWAnalyticsConnector::registerAnalyticsListener(std::shared_ptr<Listener> listener,
                                                      const std::string& origin) {
    if (!listener || !TRWConnectorUtils::isListenerOriginAllowed(origin)) return;
    std::lock_guard lock(mutex_);
    if (!listeners_) listeners_.emplace();
    (*listeners_)[origin] = std::move(listener);
    if (logEventListener_) return;
    std::weak_ptr<TRWAnalyticsConnector> weak = weak_from_this();
    logEventListener_ = TRWAnalytics::addLogEventListener([weak](const KLVEvent& event) {
        if (const auto self = weak.lock()) self->handleLoggedEvent(event);
    });
}

void TRWAnalyticsConnector::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
    std::optional<std::uint64_t> token;
    {
        std::lock_guard lock(mutex_);
        if (listeners_) listeners_->erase(origin);
        if (listeners_ && !listeners_->empty()) return;
        token = std::exchange(logEventListener_, std::nullopt);
        listeners_.reset();
    }
    TRWAnalytics::removeLogEventListener(token);
}

void TRWAnalyticsConnector::handleLoggedEvent(const KLVEvent& event) {
    if (!TRWConnectorUtils::isEventNameAllowedForListeners(event.name())) return;
    {
        std::lock_guard lock(mutex_);
        const bool hasListener = listeners_ && listeners_->contains(event.origin());
        if (!hasListener && !TRWConnectorUtils::isAppOrigin(event.origin())) return;
    }
    std::weak_ptr<TRWAnalyticsConnector> weak = weak_from_this();
    connectorQueue().async([weak, event] {
        auto parameters = simplifiedParametersFromEventParameters(event.parameters());
        platform::mainQueue().async([weak, origin = event.origin(), name = event.name(),
                                     parameters = std::move(parameters)] {
            if (const auto self = weak.lock()) self->notifyListeners(origin, name, parameters);
        });
    });
}

void TRWAnalyticsConnector::notifyListeners(const std::string& origin, const std::string& name,
                                            const Dictionary& parameters) {
    std::vector<std::shared_ptr<Listener>> targets;
    {
        std::lock_guard lock(mutex_);
        if (!listeners_) return;
        if (const auto own = listeners_->find(origin); own != listeners_->end()) {
            targets.push_back(own->second);
        } else if (TRWConnectorUtils::isAppOrigin(origin)) {
            for (const auto& [listenerOrigin, listener] : *listeners_)
                targets.push_back(listener);
        }
    }
    // Outside the lock: a listener may register or unregister.
    for (const auto& listener : targets)
        listener->messageTriggered(name, parameters);
}

Dictionary TRWAnalyticsConnector::simplifiedParametersFromEventParameters(
    const KLVParameters& parameters) {
    Dictionary simplified;
    for (const auto& [name, value] : parameters) {
        if (!value.isArray()) simplified[name] = value.value();
    }
    return simplified;
}

std::optional<KLVEvent> TRWAnalyticsConnector::eventFromDictionary(const Dictionary& dictionary) {
    const auto text = [&](const char* key) {
        const auto it = dictionary.find(key);
        return it != dictionary.end() && it->second.isString() ? it->second.asString()
                                                               : std::string();
    };
    const auto parameters = dictionary.find("parameters");
    const auto timestamp = dictionary.find("timestamp");
    const double time = timestamp != dictionary.end() && timestamp->second.isNumber()
                            ? timestamp->second.numberAsDouble().value_or(platform::currentTime())
                            : platform::currentTime();
    return KLVEvent::initWithOrigin(
        text("origin"), false, text("name"), time, 0,
        parameters != dictionary.end() && parameters->second.isDictionary()
            ? parameters->second.asDictionary()
            : Dictionary());
}

std::optional<KLVEvent> TRWAnalyticsConnector::eventWithOrigin(const std::string& origin,
                                                               const std::string& eventName,
                                                               const Dictionary& params) {
    return KLVEvent::initWithOrigin(origin, false, eventName, platform::currentTime(), 0, params);
}

}  // namespace engine
