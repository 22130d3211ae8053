#include "engine/events/KLVEvent.h"

#include <ostream>
#include <utility>
#include <vector>

#include "engine/base/KLVEventNameMap.h"
#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVMilliseconds.h"
#include "engine/base/KLVMonitor.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/events/KLVParameterSanitizer.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"

namespace engine {

namespace {

using platform::Object;

constexpr std::int64_t kProtoParameterWithoutNameCode = 15000;
constexpr std::int64_t kProtoOriginNotStringCode = 15001;
constexpr std::int64_t kProtoUnknownParameterTypeCode = 15002;
constexpr std::int64_t kPreviousTimestampAfterTimestampCode = 16002;
constexpr std::int64_t kInvalidScreenClassCode = 16003;
constexpr std::int64_t kInvalidScreenNameCode = 16004;
constexpr std::int64_t kInvalidParameterValueCode = 16005;
constexpr std::int64_t kRealtimeNotInt64Code = 16006;
constexpr std::int64_t kNestedParameterCode = 16007;
constexpr std::int64_t kEmptyEventNameCode = 18004;

// A previous time at or below this many seconds counts as unknown and is not written.
constexpr double kMinimumPreviousTimestamp = 0x1p-52;

constexpr char kAdImpressionEventName[] = "ad_impression";
constexpr char kAdImpressionInternalName[] = "_ai";
constexpr char kSubscriptionParameter[] = "subscription";
constexpr char kInAppPurchaseEventName[] = "_iap";

bool isValidOrigin(std::string_view origin) {
    std::int64_t failureCode = 0;
    if (KLVDataTypeValidator::isValidForwardedEventOrigin(origin, &failureCode)) return true;
    return failureCode == kKLVValidationNotForwarded &&
           KLVDataTypeValidator::isValidInternalEventOrigin(origin);
}

bool isValidName(std::string_view name, bool isPublic) {
    if (isPublic && !KLVDataTypeValidator::isValidPublicEventName(name)) return false;
    return KLVDataTypeValidator::isValidInternalEventName(name);
}

// --- Message form ----------------------------------------------------------------------------

// A string field must read back as text, or a stored parameter would come back as something else
// (or not at all). The app's texts are not checked for UTF-8, so bytes that are not go in with
// U+FFFD in their place, as a string of the phone would hold them.
void setText(KLVPBEventParam& message, std::int32_t field, std::string_view text) {
    if (platform::isValidUTF8(text)) {
        NANOSetString(message, field, text);
    } else {
        NANOSetString(message, field, platform::toValidUTF8(text));
    }
}

// Fills the value field of a parameter message from a plain (non-array) object; false when the
// object has no value field.
bool setScalarValue(KLVPBEventParam& message, const Object& value) {
    if (const auto* text = value.getString()) {
        setText(message, KLVPBEventParam::string_value, *text);
    } else if (value.isInteger() || value.isBool()) {
        NANOSetInt64(message, KLVPBEventParam::int_value, *value.numberAsInteger());
    } else if (const auto* number = value.getDouble()) {
        NANOSetDouble(message, KLVPBEventParam::double_value, *number);
    } else {
        return false;
    }
    return true;
}

// One item of an array parameter: a nameless message whose own parameter list holds the item's.
KLVPBEventParam itemMessage(const Object& item, std::string_view eventName,
                            std::string_view parameterName) {
    std::vector<KLVPBEventParam> children;
    if (const auto* dictionary = item.getDictionary()) {
        for (const auto& [name, value] : *dictionary) {
            if (value.isArray()) {
                monitor().logWithLevel(kKLVLogErrorSilent, kNestedParameterCode,
                                       "Nested params cannot have more than 1 level. Event name, "
                                       "param name",
                                       std::string(eventName), std::string(parameterName));
                continue;
            }
            KLVPBEventParam child;
            setText(child, KLVPBEventParam::name, name);
            if (!setScalarValue(child, value)) {
                monitor().logWithLevel(kKLVLogErrorSilent, kInvalidParameterValueCode,
                                       "Invalid event param value. Event name, param name",
                                       std::string(eventName), name);
                continue;
            }
            children.push_back(std::move(child));
        }
    }
    KLVPBEventParam message;
    NANOSetArray(message, KLVPBEventParam::param_value, children);
    return message;
}

KLVPBEventParam parameterMessage(std::string_view eventName, const std::string& name,
                                 const KLVValue& value) {
    KLVPBEventParam message;
    setText(message, KLVPBEventParam::name, name);
    if (const auto* items = value.arrayValue()) {
        std::vector<KLVPBEventParam> itemMessages;
        itemMessages.reserve(items->size());
        for (const auto& item : *items)
            itemMessages.push_back(itemMessage(item, eventName, name));
        NANOSetArray(message, KLVPBEventParam::param_value, itemMessages);
    } else {
        setScalarValue(message, value.value());
    }
    return message;
}

// --- Rule runtime form -----------------------------------------------------------------------

Object editItem(const Object& item) {
    platform::Dictionary dictionary;
    if (const auto* entries = item.getDictionary()) {
        for (const auto& [name, value] : *entries) {
            if (!value.isArray()) dictionary.emplace(name, value);
        }
    }
    return Object(std::move(dictionary));
}

Object editValue(const KLVValue& value) {
    const auto* items = value.arrayValue();
    if (!items) return value.value();
    platform::Array converted;
    converted.reserve(items->size());
    for (const auto& item : *items)
        converted.push_back(editItem(item));
    return Object(std::move(converted));
}

}  // namespace

KLVEvent::KLVEvent(std::string origin, std::string name, double timestamp, double previousTimestamp)
    : origin_(std::move(origin)),
      name_(std::move(name)),
      timestamp_(timestamp),
      previousTimestamp_(previousTimestamp) {}

template <typename Map>
KLVEvent KLVEvent::makeEvent(std::string origin, bool isPublic, std::string name, double timestamp,
                             double previousTimestamp, const Map& parameters) {
    KLVCheckPreviousTimestamp(previousTimestamp, timestamp);
    KLVEvent event(std::move(origin), std::move(name), timestamp, previousTimestamp);
    // One event is cleaned under one configuration, even if the settings change meanwhile.
    const auto settings = KLVRemoteConfig::current();
    event.parameters_ =
        sanitizedEventParameters(parameters, event.name_, isPublic, false, *settings)
            .value_or(KLVParameters{});
    event.parameters_.insert_or_assign(kKLVOriginParameter,
                                       KLVValue::initWithString(event.origin_));
    if (event.shouldValidateParams() &&
        !KLVValidateValueAndCurrency(event.parameters_, *settings)) {
        event.parameters_.erase(kKLVConversionParameter);
    }
    return event;
}

template <typename Map>
std::optional<KLVEvent> KLVEvent::create(std::string origin, bool isPublic, std::string name,
                                         double timestamp, double previousTimestamp,
                                         const Map& parameters) {
    if (!isValidOrigin(origin) || !isValidName(name, isPublic)) return std::nullopt;
    return makeEvent(std::move(origin), isPublic, std::move(name), timestamp, previousTimestamp,
                     parameters);
}

std::optional<KLVEvent> KLVEvent::initWithOrigin(std::string origin, bool isPublic,
                                                 std::string name, double timestamp,
                                                 double previousTimestamp,
                                                 const platform::Dictionary& parameters) {
    return create(std::move(origin), isPublic, std::move(name), timestamp, previousTimestamp,
                  parameters);
}

std::optional<KLVEvent> KLVEvent::initWithOrigin(std::string origin, bool isPublic,
                                                 std::string name, double timestamp,
                                                 double previousTimestamp,
                                                 const KLVParameters& parameters) {
    return create(std::move(origin), isPublic, std::move(name), timestamp, previousTimestamp,
                  parameters);
}

// The origin and name of an existing event passed the checks once; they pass again.
KLVEvent KLVEvent::copyWithZone() const {
    return makeEvent(origin_, false, name_, timestamp_, previousTimestamp_, parameters_);
}

KLVEvent KLVEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
    return makeEvent(origin_, false, name_, timestamp_, previousTimestamp, parameters_);
}

KLVEvent KLVEvent::copyWithParameters(const KLVParameters& parameters) const {
    return makeEvent(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

bool KLVEvent::shouldValidateParams() const {
    return isConversion() || name_ == kAdImpressionEventName || name_ == kAdImpressionInternalName;
}

bool KLVEvent::hasInt64One(std::string_view name) const {
    const auto found = parameters_.find(name);
    return found != parameters_.end() && found->second.isInt64() && found->second.int64Value() == 1;
}

void KLVEvent::setInt64Flag(std::string_view name, bool on) {
    if (on) {
        parameters_.insert_or_assign(std::string(name), KLVValue::initWithInt64(1));
    } else if (const auto found = parameters_.find(name); found != parameters_.end()) {
        parameters_.erase(found);
    }
}

bool KLVEvent::isConversion() const {
    return hasInt64One(kKLVConversionParameter);
}

void KLVEvent::setConversion(bool conversion) {
    if (conversion) {
        if (!KLVValidateValueAndCurrency(parameters_, *KLVRemoteConfig::current())) return;
        setInt64Flag(kKLVConversionParameter, true);
        const auto error = parameters_.find(kKLVErrorParameter);
        if (error != parameters_.end() && error->second.isInt64() &&
            error->second.int64Value() == kKLVEventErrorConversionEventLimitReached) {
            parameters_.erase(error);
        }
        return;
    }
    if (!parameters_.contains(kKLVConversionParameter)) return;
    parameters_.erase(kKLVConversionParameter);
    KLVSetErrorCodeIfAbsent(parameters_, kKLVEventErrorConversionEventLimitReached);
}

bool KLVEvent::isRealtime() const {
    const auto found = parameters_.find(kKLVRealtimeParameter);
    if (found == parameters_.end()) return false;
    if (!found->second.isInt64()) {
        monitor().logWithLevel(kKLVLogErrorSilent, kRealtimeNotInt64Code,
                               "Realtime parameter must be an int64. Event name", name_);
        return false;
    }
    return found->second.int64Value() == 1;
}

void KLVEvent::setRealtime(bool realtime) {
    setInt64Flag(kKLVRealtimeParameter, realtime);
}

bool KLVEvent::isDebug() const {
    return hasInt64One(kKLVDebugParameter);
}

void KLVEvent::setDebug(bool debug) {
    setInt64Flag(kKLVDebugParameter, debug);
}

void KLVEvent::applyParameters(const platform::Dictionary& parameters) {
    if (parameters.empty()) return;
    auto merged = sanitizedEventParameters(parameters, std::nullopt, true, false,
                                           *KLVRemoteConfig::current());
    if (!merged || merged->empty()) return;
    for (const auto& [name, value] : parameters_)
        merged->insert_or_assign(name, value);
    parameters_ = std::move(*merged);
}

bool KLVEvent::addScreenParameters(const platform::Dictionary& parameters) {
    if (parameters.empty() || KLVHasScreenParameters(parameters_)) return false;
    const auto screenID = parameters.find(kKLVScreenIDParameter);
    if (screenID == parameters.end() || !screenID->second.isNumber()) return false;

    struct ScreenText {
        const char* parameter;
        std::int64_t messageCode;
        const char* message;
    };
    static constexpr ScreenText kScreenTexts[] = {
        {kKLVScreenClassParameter, kInvalidScreenClassCode, "Received invalid screen class"},
        {kKLVScreenNameParameter, kInvalidScreenNameCode, "Received invalid screen name"},
    };
    const auto settings = KLVRemoteConfig::current();
    for (const auto& text : kScreenTexts) {
        const auto found = parameters.find(text.parameter);
        if (found == parameters.end()) continue;
        if (!found->second.isString()) return false;
        if (!KLVDataTypeValidator::isValidScreenParameterValue(found->second, *settings)) {
            monitor().logWithLevel(kKLVLogWarning, text.messageCode, text.message, found->second);
            return false;
        }
    }

    auto screenIDValue = KLVValue::valueFromObject(screenID->second);
    if (!screenIDValue) return false;
    parameters_.insert_or_assign(kKLVScreenIDParameter, std::move(*screenIDValue));
    for (const auto& text : kScreenTexts) {
        const auto found = parameters.find(text.parameter);
        if (found == parameters.end()) continue;
        parameters_.insert_or_assign(text.parameter,
                                     KLVValue::initWithString(found->second.asString()));
    }
    return true;
}

KLVPEvent KLVEvent::editEvent() const {
    const auto& publicNames = KLVEventNameMapReversed();
    const auto publicName = publicNames.find(name_);
    platform::Dictionary parameters;
    for (const auto& [name, value] : parameters_)
        parameters.emplace(name, editValue(value));
    return KLVPEvent::initWithName(publicName == publicNames.end() ? name_ : publicName->second,
                                   timestamp_, std::move(parameters));
}

std::optional<KLVEvent> KLVEvent::eventFromEditEvent(const KLVPEvent& editEvent) {
    const auto& internalNames = KLVEventNameMap();
    const auto internalName = internalNames.find(editEvent.name);
    std::string name = internalName == internalNames.end() ? editEvent.name : internalName->second;
    const auto origin = editEvent.parameters.find(kKLVOriginParameter);
    std::string originText = origin != editEvent.parameters.end() && origin->second.isString()
                                 ? origin->second.asString()
                                 : std::string(kKLVAppOrigin);
    return initWithOrigin(std::move(originText), false, std::move(name), editEvent.timestamp, 0,
                          editEvent.parameters);
}

KLVPBEvent KLVEvent::protoEvent() const {
    KLVPBEvent message;
    NANOSetString(message, KLVPBEvent::name, name_);
    if (const auto millis = KLVMillisecondsFromSeconds(timestamp_)) {
        NANOSetInt64(message, KLVPBEvent::timestamp_millis, *millis);
    }
    if (previousTimestamp_ > kMinimumPreviousTimestamp) {
        if (const auto millis = KLVMillisecondsFromSeconds(previousTimestamp_)) {
            NANOSetInt64(message, KLVPBEvent::previous_timestamp_millis, *millis);
        }
    }
    std::vector<KLVPBEventParam> parameters;
    parameters.reserve(parameters_.size());
    for (const auto& [name, value] : parameters_) {
        parameters.push_back(parameterMessage(name_, name, value));
    }
    NANOSetArray(message, KLVPBEvent::params, parameters);
    return message;
}

std::optional<KLVEvent> KLVEvent::initWithEventProto(const KLVPBEvent& eventProto) {
    const std::string name = NANOGetString(eventProto, KLVPBEvent::name).value_or("");
    const double timestamp =
        static_cast<double>(NANOGetInt64(eventProto, KLVPBEvent::timestamp_millis)) / 1000.0;
    const double previousTimestamp =
        static_cast<double>(NANOGetInt64(eventProto, KLVPBEvent::previous_timestamp_millis)) /
        1000.0;

    std::string origin;
    KLVParameters parameters;
    const auto messages = NANOGetArray<KLVPBEventParam>(eventProto, KLVPBEvent::params)
                              .value_or(std::vector<KLVPBEventParam>{});
    for (const auto& message : messages) {
        const auto parameterName = NANOGetString(message, KLVPBEventParam::name);
        if (!parameterName) {
            monitor().logWithLevel(kKLVLogErrorSilent, kProtoParameterWithoutNameCode,
                                   "Ignoring parameter. Parameter name is nil. Event name", name);
            continue;
        }
        const auto text = NANOGetString(message, KLVPBEventParam::string_value);
        if (*parameterName == kKLVOriginParameter) {
            if (!text) {
                monitor().logWithLevel(kKLVLogErrorSilent, kProtoOriginNotStringCode,
                                       "Cannot create an event from event proto. Origin "
                                       "parameter is not a string. Event name",
                                       name);
                return std::nullopt;
            }
            origin = *text;
        } else if (text) {
            parameters.insert_or_assign(*parameterName, KLVValue::initWithString(*text));
        } else if (NANOHasField(message, KLVPBEventParam::int_value)) {
            parameters.insert_or_assign(*parameterName, KLVValue::initWithInt64(NANOGetInt64(
                                                            message, KLVPBEventParam::int_value)));
        } else if (NANOHasField(message, KLVPBEventParam::double_value)) {
            parameters.insert_or_assign(
                *parameterName,
                KLVValue::initWithDouble(NANOGetDouble(message, KLVPBEventParam::double_value)));
        } else {
            monitor().logWithLevel(kKLVLogWarningSilent, kProtoUnknownParameterTypeCode,
                                   "Unknown event parameter type from converting an event proto "
                                   "into KLVEvent instance. Event param name",
                                   *parameterName);
        }
    }
    return initWithOrigin(std::move(origin), false, name, timestamp, previousTimestamp, parameters);
}

void KLVCheckPreviousTimestamp(double previousTimestamp, double timestamp) {
    if (previousTimestamp > timestamp) {
        monitor().logWithLevel(kKLVLogWarningSilent, kPreviousTimestampAfterTimestampCode,
                               "Event created with previous timestamp after current timestamp");
    }
}

bool KLVIsErrorEvent(const KLVEvent& event) {
    if (event.name().empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, kEmptyEventNameCode,
                               "Cannot check the event name. Name is empty");
        return false;
    }
    return event.name() == kKLVErrorEventName;
}

bool KLVIsSubscriptionEvent(const KLVEvent& event) {
    const auto& name = event.name();
    if (name == "_assc" || name == "_assr") return true;
    if (name != kInAppPurchaseEventName) return false;
    const auto found = event.parameters().find(kSubscriptionParameter);
    return found != event.parameters().end() && found->second.isInt64() &&
           found->second.int64Value() == 1;
}

std::int64_t KLVArrayItemCount(const KLVEvent* event) {
    if (!event) return 0;
    std::int64_t count = 0;
    for (const auto& [name, value] : event->parameters()) {
        if (const auto* items = value.arrayValue())
            count += static_cast<std::int64_t>(items->size());
    }
    return count;
}

void PrintTo(const KLVEvent& event, std::ostream* os) {
    platform::Dictionary parameters;
    for (const auto& [name, value] : event.parameters())
        parameters.emplace(name, value.value());
    *os << "KLVEvent{origin: " << platform::Object(event.origin()).description()
        << ", name: " << platform::Object(event.name()).description()
        << ", timestamp: " << platform::shortestNumberText(event.timestamp())
        << ", previousTimestamp: " << platform::shortestNumberText(event.previousTimestamp())
        << ", parameters: " << platform::Object(std::move(parameters)).description() << '}';
}

}  // namespace engine
