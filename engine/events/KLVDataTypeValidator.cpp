#include "engine/events/KLVDataTypeValidator.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "engine/base/KLVEventNameMap.h"
#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVMonitor.h"
#include "engine/base/KLVStringAdditions.h"
#include "engine/base/KLVUserPropertyInternalNameMap.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"

namespace engine {

namespace {

using platform::Object;

// Message codes.
constexpr std::int64_t kInvalidStringCode = 13000;
constexpr std::int64_t kMissingCode = 13001;
constexpr std::int64_t kInvalidCharacterCode = 13002;
constexpr std::int64_t kNoLeadingLetterCode = 13003;
constexpr std::int64_t kNilValueCode = 13004;
constexpr std::int64_t kReservedEventNameCode = 13006;
constexpr std::int64_t kReservedEventPrefixCode = 13007;
constexpr std::int64_t kReservedParameterPrefixCode = 13008;
constexpr std::int64_t kReservedUserPropertyNameCode = 13009;
constexpr std::int64_t kReservedUserPropertyPrefixCode = 13010;
constexpr std::int64_t kNotNumericCode = 13011;
constexpr std::int64_t kNotCurrencyCode = 13012;
constexpr std::int64_t kInvalidArrayCode = 13013;
constexpr std::int64_t kArrayItemCode = 13014;

// Limits in code points.
constexpr std::int64_t kMaxEventNameLength = 40;
constexpr std::int64_t kMaxOriginLength = 32;
constexpr std::int64_t kMaxParameterNameLength = 40;
constexpr std::int64_t kMaxUserPropertyNameLength = 24;
constexpr std::int64_t kMaxUserPropertyValueLength = 36;
constexpr std::int64_t kCurrencyCodeLength = 3;

constexpr std::string_view kSubjectWords[] = {
    "Event name",
    "Event origin",
    "Event parameter name",
    "Event parameter value",
    "User property name",
    "User property value",
    "Screen parameter value",
    "Conditional user property origin",
    "Conditional user property name",
    "Conditional user property value",
};

constexpr std::string_view kReservedPrefixes[] = {"tarnwell_", "nexory_", "pe_"};

// Internal user properties whose values may be longer than the ordinary 36 code points.
struct LongUserPropertyValue {
    std::string_view name;
    std::int64_t maxLength;
};
constexpr LongUserPropertyValue kLongUserPropertyValues[] = {
    {"_id", 256},
    {"_rbraid", 256},
    {"_psmvalue", 512},
};

constexpr std::string_view kScreenViewEventName = "screen_view";

void setFailureCode(std::int64_t* failureCode, std::int64_t code) {
    if (failureCode) *failureCode = code;
}

bool fail(std::int64_t* failureCode, std::int64_t code) {
    setFailureCode(failureCode, code);
    return false;
}

std::string subjectMessage(std::int64_t type, std::string_view sentence) {
    std::string message(KLVValidationSubject(type));
    message += sentence;
    return message;
}

// Parameter and user-property values are the app's data: their problems are warnings.
bool isValueSubject(std::int64_t type) {
    return type == kKLVSubjectEventParameterValue || type == kKLVSubjectUserPropertyValue;
}

std::int64_t stringRuleLevel(std::int64_t type) {
    return isValueSubject(type) ? 3 : 0;
}

bool isLetter(char32_t codePoint) {
    return (U_GET_GC_MASK(static_cast<UChar32>(codePoint)) & U_GC_L_MASK) != 0;
}

bool isNameCharacter(char32_t codePoint) {
    return codePoint == U'_' ||
           (U_GET_GC_MASK(static_cast<UChar32>(codePoint)) & (U_GC_L_MASK | U_GC_ND_MASK)) != 0;
}

template <typename Predicate>
bool allCodePoints(std::string_view text, Predicate predicate) {
    for (std::size_t offset = 0; offset < text.size();) {
        const auto decoded = platform::decodeUTF8(text, offset);
        if (!predicate(decoded.codePoint)) return false;
        offset += decoded.length;
    }
    return true;
}

// The first code point, 0 for an empty text.
char32_t firstCodePoint(std::string_view text) {
    if (text.empty()) return 0;
    return platform::decodeUTF8(text, 0).codePoint;
}

// The string rule once the object is known to be a string.
bool isValidText(std::string_view text, std::int64_t minLength, std::int64_t maxLength,
                 std::int64_t type, std::int64_t* failureCode) {
    const auto level = stringRuleLevel(type);
    if (minLength >= 1 && text.empty()) {
        if (!isValueSubject(type)) {
            monitor().logWithLevel(level, kMissingCode,
                                   subjectMessage(type, " is required and can't be empty"));
        }
        return fail(failureCode, kKLVValidationMissing);
    }
    const auto length = static_cast<std::int64_t>(klv_UTF32Length(text));
    if (length > maxLength) {
        monitor().logWithLevel(
            level, kInvalidStringCode,
            platform::formatString(
                subjectMessage(type, " is too long. The maximum supported length is %d"),
                maxLength),
            std::string(text));
        return fail(failureCode, kKLVValidationTooLong);
    }
    if (length < minLength) {
        monitor().logWithLevel(
            level, kInvalidStringCode,
            platform::formatString(
                subjectMessage(type, " is too short. The minimum supported length is %d"),
                minLength),
            std::string(text));
        return fail(failureCode, kKLVValidationTooShort);
    }
    return true;
}

bool isValidNameText(std::string_view name, std::int64_t maxLength, std::int64_t type,
                     std::int64_t* failureCode) {
    setFailureCode(failureCode, kKLVValidationSuccess);
    if (!isValidText(name, 1, maxLength, type, failureCode)) return false;
    if (!allCodePoints(name, isNameCharacter)) {
        monitor().logWithLevel(
            kKLVLogError, kInvalidCharacterCode,
            subjectMessage(type, " must contain only letters, numbers, or underscores"),
            std::string(name));
        return fail(failureCode, kKLVValidationInvalidCharacter);
    }
    return true;
}

// isValidNameText's answer without its log lines.
bool nameTextPasses(std::string_view name, std::int64_t maxLength) {
    const auto length = static_cast<std::int64_t>(klv_UTF32Length(name));
    return length >= 1 && length <= maxLength && allCodePoints(name, isNameCharacter);
}

// A reserved-name or reserved-prefix refusal: code 4 with the name as context.
bool failReserved(std::string_view name, std::int64_t messageCode, std::string_view message,
                  std::int64_t* failureCode) {
    monitor().logWithLevel(kKLVLogError, messageCode, message, std::string(name));
    return fail(failureCode, kKLVValidationReserved);
}

std::int64_t maxInternalUserAttributeValueLength(std::string_view name) {
    const auto* entry =
        std::find_if(std::begin(kLongUserPropertyValues), std::end(kLongUserPropertyValues),
                     [&](const auto& e) { return e.name == name; });
    return entry == std::end(kLongUserPropertyValues) ? kMaxUserPropertyValueLength
                                                      : entry->maxLength;
}

}  // namespace

std::string_view KLVValidationSubject(std::int64_t type) {
    if (type < 0 || type >= static_cast<std::int64_t>(std::size(kSubjectWords))) return "Object";
    return kSubjectWords[type];
}

bool KLVIsValidValueObject(const KLVValue* value, std::int64_t type, std::int64_t* failureCode) {
    if (!value) {
        monitor().logWithLevel(kKLVLogWarning, kNilValueCode,
                               subjectMessage(type, " cannot be nil"));
        return fail(failureCode, kKLVValidationMissing);
    }
    return true;
}

// --- Building blocks ------------------------------------------------------------------------

bool KLVDataTypeValidator::isValidString(const Object& object, std::int64_t minLength,
                                         std::int64_t maxLength, std::int64_t type,
                                         std::int64_t* failureCode) {
    setFailureCode(failureCode, kKLVValidationSuccess);
    const auto level = stringRuleLevel(type);
    if (object.isNull()) {
        monitor().logWithLevel(level, kMissingCode,
                               subjectMessage(type, " is required and can't be nil"));
        return fail(failureCode, kKLVValidationMissing);
    }
    const auto* text = object.getString();
    if (!text) {
        monitor().logWithLevel(level, kInvalidStringCode,
                               subjectMessage(type, " must be of type NSString"), object);
        return fail(failureCode, kKLVValidationWrongType);
    }
    return isValidText(*text, minLength, maxLength, type, failureCode);
}

bool KLVDataTypeValidator::isValidInternalName(std::string_view name, std::int64_t maxLength,
                                               std::int64_t type, std::int64_t* failureCode) {
    return isValidNameText(name, maxLength, type, failureCode);
}

bool KLVDataTypeValidator::isValidPublicName(std::string_view name, std::int64_t maxLength,
                                             std::int64_t type, std::int64_t* failureCode) {
    if (!isValidNameText(name, maxLength, type, failureCode)) return false;
    if (!isLetter(firstCodePoint(name))) {
        monitor().logWithLevel(kKLVLogError, kNoLeadingLetterCode,
                               subjectMessage(type, " must start with a letter"),
                               std::string(name));
        return fail(failureCode, kKLVValidationInvalidCharacter);
    }
    return true;
}

bool KLVDataTypeValidator::isValidValue(const KLVValue* value, std::int64_t minLength,
                                        std::int64_t maxLength, std::int64_t type,
                                        std::int64_t* failureCode) {
    setFailureCode(failureCode, kKLVValidationSuccess);
    if (!KLVIsValidValueObject(value, type, failureCode)) return false;
    const auto* text = value->stringValue();
    if (!text) return true;
    return isValidText(*text, minLength, maxLength, type, failureCode);
}

bool KLVDataTypeValidator::hasReservedPrefixes(std::string_view text) {
    return std::any_of(std::begin(kReservedPrefixes), std::end(kReservedPrefixes),
                       [&](std::string_view prefix) { return text.starts_with(prefix); });
}

// --- Events ---------------------------------------------------------------------------------

bool KLVDataTypeValidator::isValidPublicEventName(std::string_view name,
                                                  std::int64_t* failureCode) {
    if (!isValidPublicName(name, kMaxEventNameLength, kKLVSubjectEventName, failureCode)) {
        return false;
    }
    if (name == kScreenViewEventName) return true;
    const auto& reservedNames = KLVEventNameMap();
    const auto& allowedNames = adImpressionEventNameMap();
    if (reservedNames.contains(name) && !allowedNames.contains(name)) {
        return failReserved(name, kReservedEventNameCode, "Event name is reserved. Ignoring event",
                            failureCode);
    }
    if (hasReservedPrefixes(name)) {
        return failReserved(name, kReservedEventPrefixCode,
                            "Event name uses reserved prefix. Ignoring event", failureCode);
    }
    return true;
}

bool KLVDataTypeValidator::isValidInternalEventName(std::string_view name,
                                                    std::int64_t* failureCode) {
    return isValidInternalName(name, kMaxEventNameLength, kKLVSubjectEventName, failureCode);
}

bool KLVDataTypeValidator::isValidInternalEventOrigin(std::string_view origin,
                                                      std::int64_t* failureCode) {
    return isValidInternalName(origin, kMaxOriginLength, kKLVSubjectEventOrigin, failureCode);
}

bool KLVDataTypeValidator::isValidForwardedEventOrigin(std::string_view origin,
                                                       std::int64_t* failureCode) {
    setFailureCode(failureCode, kKLVValidationSuccess);
    if (origin.empty()) return fail(failureCode, kKLVValidationMissing);
    if (!origin.ends_with(kKLVForwardedOriginSuffix)) {
        return fail(failureCode, kKLVValidationNotForwarded);
    }
    origin.remove_suffix(std::size(kKLVForwardedOriginSuffix) - 1);
    return isValidInternalName(origin, kMaxOriginLength, kKLVSubjectEventOrigin, failureCode);
}

bool KLVDataTypeValidator::passesInternalEventNameRule(std::string_view name) {
    return nameTextPasses(name, kMaxEventNameLength);
}

bool KLVDataTypeValidator::passesEventOriginRule(std::string_view origin) {
    if (origin.ends_with(kKLVForwardedOriginSuffix)) {
        origin.remove_suffix(std::size(kKLVForwardedOriginSuffix) - 1);
    }
    return nameTextPasses(origin, kMaxOriginLength);
}

bool KLVDataTypeValidator::passesInternalEventParameterNameRule(std::string_view name) {
    return nameTextPasses(name, kMaxParameterNameLength);
}

bool KLVDataTypeValidator::isValidPublicEventParameterName(std::string_view name,
                                                           std::int64_t* failureCode) {
    if (!isValidPublicName(name, kMaxParameterNameLength, kKLVSubjectEventParameterName,
                           failureCode)) {
        return false;
    }
    if (hasReservedPrefixes(name)) {
        return failReserved(name, kReservedParameterPrefixCode,
                            "Parameter name uses reserved prefix. Ignoring parameter", failureCode);
    }
    return true;
}

bool KLVDataTypeValidator::isValidInternalEventParameterName(std::string_view name,
                                                             std::int64_t* failureCode) {
    return isValidInternalName(name, kMaxParameterNameLength, kKLVSubjectEventParameterName,
                               failureCode);
}

bool KLVDataTypeValidator::isValidPublicEventParameterValue(const KLVValue* value,
                                                            const KLVRemoteConfig& settings,
                                                            std::int64_t* failureCode) {
    return isValidValue(value, 0, settings.maxPublicEventParameterValueLength(),
                        kKLVSubjectEventParameterValue, failureCode);
}

bool KLVDataTypeValidator::isValidInternalEventParameterValue(const KLVValue* value,
                                                              const KLVRemoteConfig& settings,
                                                              std::int64_t* failureCode) {
    return isValidValue(value, 0, settings.maxInternalEventParameterValueLength(),
                        kKLVSubjectEventParameterValue, failureCode);
}

bool KLVDataTypeValidator::isValidArrayParamForEvent(std::string_view eventName,
                                                     std::string_view paramName,
                                                     std::uint64_t arrayCount,
                                                     bool isNestedArrayParam,
                                                     std::int64_t* failureCode) {
    setFailureCode(failureCode, kKLVValidationSuccess);
    if (isNestedArrayParam) {
        monitor().logWithLevel(kKLVLogError, kInvalidArrayCode,
                               "Nested array parameters are not allowed. Name",
                               std::string(paramName));
        return fail(failureCode, kKLVValidationArrayNested);
    }
    if (!KLVIsArrayParameterEvent(eventName)) {
        monitor().logWithLevel(kKLVLogError, kInvalidArrayCode,
                               "Only ecommerce events are allowed to contain array parameters. "
                               "Invalid ecommerce name",
                               std::string(eventName));
        return fail(failureCode, kKLVValidationArrayOnNonEcommerce);
    }
    if (paramName != kKLVItemsParameterName) {
        monitor().logWithLevel(
            kKLVLogError, kInvalidArrayCode,
            subjectMessage(kKLVSubjectEventParameterName,
                           " is an invalid ecommerce items. The name of array parameters for "
                           "ecommerce should be \"items\". Invalid parameter name"),
            std::string(paramName));
        return fail(failureCode, kKLVValidationArrayNotItems);
    }
    if (arrayCount > static_cast<std::uint64_t>(kKLVMaxArrayItemCount)) {
        monitor().logWithLevel(
            kKLVLogError, kInvalidArrayCode,
            platform::formatString("Array parameter has too many items. The maximum number of "
                                   "supported items is %d. Invalid array size",
                                   kKLVMaxArrayItemCount),
            arrayCount);
        return fail(failureCode, kKLVValidationArrayTooLarge);
    }
    return true;
}

bool KLVDataTypeValidator::isValidArrayParamItem(const Object& item, std::int64_t* failureCode) {
    if (item.isDictionary()) return true;
    monitor().logWithLevel(kKLVLogError, kArrayItemCode,
                           "Array param must be a dictionary. Parameters", item);
    return fail(failureCode, kKLVValidationArrayItemNotDictionary);
}

bool KLVDataTypeValidator::isValidNumericValue(const KLVValue* value, std::int64_t* failureCode) {
    setFailureCode(failureCode, kKLVValidationSuccess);
    if (!KLVIsValidValueObject(value, kKLVSubjectEventParameterValue, failureCode)) return false;
    if (value->isInt64() || value->isDouble()) return true;
    monitor().logWithLevel(kKLVLogWarning, kNotNumericCode,
                           subjectMessage(kKLVSubjectEventParameterValue,
                                          " must be specified with a numeric type. value"),
                           value->description());
    return fail(failureCode, kKLVValidationNotNumeric);
}

bool KLVDataTypeValidator::isValidCurrencyCode(const KLVValue* value, std::int64_t* failureCode) {
    setFailureCode(failureCode, kKLVValidationSuccess);
    if (!KLVIsValidValueObject(value, kKLVSubjectEventParameterValue, failureCode)) return false;
    const auto* text = value->stringValue();
    if (text && platform::utf16Length(*text) == kCurrencyCodeLength &&
        allCodePoints(*text, isLetter)) {
        return true;
    }
    monitor().logWithLevel(
        kKLVLogWarning, kNotCurrencyCode,
        platform::formatString(
            subjectMessage(kKLVSubjectEventParameterValue,
                           " must contain a %d-letter ISO_4217 currency code. value"),
            kCurrencyCodeLength),
        value->value());
    return fail(failureCode, kKLVValidationNotCurrency);
}

// --- User properties and screens ------------------------------------------------------------

bool KLVDataTypeValidator::isValidPublicUserAttributeName(std::string_view name,
                                                          std::int64_t* failureCode) {
    if (!isValidPublicName(name, kMaxUserPropertyNameLength, kKLVSubjectUserPropertyName,
                           failureCode)) {
        return false;
    }
    if (KLVUserPropertyInternalNameMap().contains(name)) {
        return failReserved(name, kReservedUserPropertyNameCode,
                            "User property name is reserved. Ignoring user property", failureCode);
    }
    if (hasReservedPrefixes(name)) {
        return failReserved(name, kReservedUserPropertyPrefixCode,
                            "User property name uses reserved prefix. Ignoring user property",
                            failureCode);
    }
    return true;
}

bool KLVDataTypeValidator::isValidInternalUserAttributeName(std::string_view name,
                                                            std::int64_t* failureCode) {
    return isValidInternalName(name, kMaxUserPropertyNameLength, kKLVSubjectUserPropertyName,
                               failureCode);
}

bool KLVDataTypeValidator::isValidPublicUserAttributeValue(const KLVValue* value,
                                                           std::int64_t* failureCode) {
    return isValidValue(value, 1, kMaxUserPropertyValueLength, kKLVSubjectUserPropertyValue,
                        failureCode);
}

bool KLVDataTypeValidator::isValidInternalUserAttributeValue(const KLVValue* value,
                                                             std::string_view name,
                                                             std::int64_t* failureCode) {
    return isValidValue(value, 1, maxInternalUserAttributeValueLength(name),
                        kKLVSubjectUserPropertyValue, failureCode);
}

bool KLVDataTypeValidator::isValidScreenParameterValue(const Object& value,
                                                       const KLVRemoteConfig& settings,
                                                       std::int64_t* failureCode) {
    return isValidString(value, 1, settings.maxPublicEventParameterValueLength(),
                         kKLVSubjectScreenParameterValue, failureCode);
}

bool KLVDataTypeValidator::isValidConditionalUserPropertyOrigin(std::string_view origin,
                                                                std::int64_t* failureCode) {
    return isValidInternalName(origin, kMaxOriginLength, kKLVSubjectConditionalUserPropertyOrigin,
                               failureCode);
}

bool KLVDataTypeValidator::isValidConditionalUserPropertyName(std::string_view name,
                                                              std::int64_t* failureCode) {
    return isValidInternalName(name, kMaxUserPropertyNameLength,
                               kKLVSubjectConditionalUserPropertyName, failureCode);
}

bool KLVDataTypeValidator::isValidConditionalUserPropertyValue(const KLVValue* value,
                                                               std::int64_t* failureCode) {
    return isValidValue(value, 1, kMaxUserPropertyValueLength,
                        kKLVSubjectConditionalUserPropertyValue, failureCode);
}

}  // namespace engine
