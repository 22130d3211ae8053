#pragma once

// Every rule an event name, origin, parameter name or value, user-property name or value, screen
// parameter and conditional-user-property field must satisfy before the engine accepts it.
//
// Each check answers whether the subject is valid and, when the caller passes a place for it,
// writes a failure code (0 for none; the table below). Failures are logged through the monitor
// with a code from 13000 to 13014 and a message that begins with the subject's word ("Event
// name", "User property value", ...), except where a rule is silent on purpose.
//
// Lengths are counted in code points; the emptiness and currency-code tests count UTF-16 units.
// Letters are the Unicode letter categories (L*, combining marks excluded); name characters are
// letters, Unicode decimal digits (Nd) and "_". Where a limit comes from the server settings the
// caller passes the settings it works under, so that one event is checked against one
// configuration. All checks are safe on any thread.

#include <cstdint>
#include <string_view>

#include "engine/events/KLVValue.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVRemoteConfig;

// What a check is about; it chooses the first word of every message.
enum KLVSubjectType : std::int64_t {
    kKLVSubjectEventName = 0,
    kKLVSubjectEventOrigin = 1,
    kKLVSubjectEventParameterName = 2,
    kKLVSubjectEventParameterValue = 3,
    kKLVSubjectUserPropertyName = 4,
    kKLVSubjectUserPropertyValue = 5,
    kKLVSubjectScreenParameterValue = 6,
    kKLVSubjectConditionalUserPropertyOrigin = 7,
    kKLVSubjectConditionalUserPropertyName = 8,
    kKLVSubjectConditionalUserPropertyValue = 9,
};

// The failure codes the checks write.
enum KLVValidationFailure : std::int64_t {
    kKLVValidationSuccess = 0,
    kKLVValidationMissing = 1,               // nil, or empty where at least 1 is required
    kKLVValidationTooLong = 2,               // more code points than the maximum
    kKLVValidationInvalidCharacter = 3,      // outside the name characters, or no leading letter
    kKLVValidationReserved = 4,              // reserved name or reserved prefix
    kKLVValidationWrongType = 5,             // not a string, or not a value
    kKLVValidationNotForwarded = 6,          // origin without the forwarding suffix
    kKLVValidationTooShort = 7,              // fewer code points than the minimum
    kKLVValidationNotNumeric = 8,            // value is neither int64 nor double
    kKLVValidationNotCurrency = 9,           // not a three-letter currency code
    kKLVValidationArrayOnNonEcommerce = 10,  // array parameter on an event that may not carry one
    kKLVValidationArrayNotItems = 11,        // array parameter not named "items"
    kKLVValidationArrayTooLarge = 12,        // more than 200 items
    kKLVValidationArrayNested = 13,          // array parameter inside an array item
    kKLVValidationArrayItemNotDictionary = 14,
};

// The subject word of a type; "Object" for a number outside the table.
std::string_view KLVValidationSubject(std::int64_t type);

// Suffix that marks an origin forwarded by another of the host's components.
inline constexpr char kKLVForwardedOriginSuffix[] = "+lqx";
// The only parameter name an array may have, and how many items it may hold.
inline constexpr char kKLVItemsParameterName[] = "items";
inline constexpr std::int64_t kKLVMaxArrayItemCount = 200;

class KLVDataTypeValidator {
  public:
    // --- Building blocks ----------------------------------------------------------------------

    // Null is "missing" (1); another kind than a string is "wrong type" (5); then the string
    // must be non-empty when `minLength` >= 1 (1, silent for parameter and user-property values)
    // and hold between `minLength` and `maxLength` code points (7, 2).
    static bool isValidString(const platform::Object& object, std::int64_t minLength,
                              std::int64_t maxLength, std::int64_t type,
                              std::int64_t* failureCode = nullptr);
    // The string rule with minimum 1, then only name characters (3).
    static bool isValidInternalName(std::string_view name, std::int64_t maxLength,
                                    std::int64_t type, std::int64_t* failureCode = nullptr);
    // The internal-name rule, then a letter first (3).
    static bool isValidPublicName(std::string_view name, std::int64_t maxLength, std::int64_t type,
                                  std::int64_t* failureCode = nullptr);
    // A value must be present; a string value must then pass the string rule with the bounds.
    // Integer, double and array values pass.
    static bool isValidValue(const KLVValue* value, std::int64_t minLength, std::int64_t maxLength,
                             std::int64_t type, std::int64_t* failureCode = nullptr);
    // Begins with "tarnwell_", "nexory_" or "pe_" (case-sensitive).
    static bool hasReservedPrefixes(std::string_view text);

    // --- Events -------------------------------------------------------------------------------

    // Public name of 1 to 40; "screen_view" passes; reserved event names (13006) and reserved
    // prefixes (13007) fail with 4.
    static bool isValidPublicEventName(std::string_view name, std::int64_t* failureCode = nullptr);
    static bool isValidInternalEventName(std::string_view name,
                                         std::int64_t* failureCode = nullptr);
    // Internal name of 1 to 32.
    static bool isValidInternalEventOrigin(std::string_view origin,
                                           std::int64_t* failureCode = nullptr);
    // An origin ending in "+lqx" whose rest is an internal name of 1 to 32. Empty (1) and
    // unsuffixed (6) origins fail without a log line.
    static bool isValidForwardedEventOrigin(std::string_view origin,
                                            std::int64_t* failureCode = nullptr);
    // Public name of 1 to 40 without a reserved prefix (4, 13008).
    static bool isValidPublicEventParameterName(std::string_view name,
                                                std::int64_t* failureCode = nullptr);
    static bool isValidInternalEventParameterName(std::string_view name,
                                                  std::int64_t* failureCode = nullptr);
    // Strings of 0 to maxPublicEventParameterValueLength code points.
    static bool isValidPublicEventParameterValue(const KLVValue* value,
                                                 const KLVRemoteConfig& settings,
                                                 std::int64_t* failureCode = nullptr);
    // Strings of 0 to maxInternalEventParameterValueLength code points.
    static bool isValidInternalEventParameterValue(const KLVValue* value,
                                                   const KLVRemoteConfig& settings,
                                                   std::int64_t* failureCode = nullptr);
    // The same rules for an event rebuilt from storage as plain answers that log nothing: the
    // internal event name, the origin (forwarded or internal), the internal parameter name.
    static bool passesInternalEventNameRule(std::string_view name);
    static bool passesEventOriginRule(std::string_view origin);
    static bool passesInternalEventParameterNameRule(std::string_view name);
    // An array parameter: not nested in an item (13), on an e-commerce event (10), named "items"
    // (11), of at most 200 items (12); the first failing step wins.
    static bool isValidArrayParamForEvent(std::string_view eventName, std::string_view paramName,
                                          std::uint64_t arrayCount, bool isNestedArrayParam,
                                          std::int64_t* failureCode = nullptr);
    // An array item must be a dictionary (14). Writes the code only when it fails.
    static bool isValidArrayParamItem(const platform::Object& item,
                                      std::int64_t* failureCode = nullptr);
    // A value holding an int64 or a double (8).
    static bool isValidNumericValue(const KLVValue* value, std::int64_t* failureCode = nullptr);
    // A value holding a string of exactly three letters, any case (9).
    static bool isValidCurrencyCode(const KLVValue* value, std::int64_t* failureCode = nullptr);

    // --- User properties and screens ----------------------------------------------------------

    // Public name of 1 to 24; reserved user-property names (13009) and prefixes (13010) fail
    // with 4.
    static bool isValidPublicUserAttributeName(std::string_view name,
                                               std::int64_t* failureCode = nullptr);
    static bool isValidInternalUserAttributeName(std::string_view name,
                                                 std::int64_t* failureCode = nullptr);
    // Strings of 1 to 36 code points.
    static bool isValidPublicUserAttributeValue(const KLVValue* value,
                                                std::int64_t* failureCode = nullptr);
    // Strings of 1 to 36 code points; 256 for "_id" and "_rbraid", 512 for "_psmvalue".
    static bool isValidInternalUserAttributeValue(const KLVValue* value, std::string_view name,
                                                  std::int64_t* failureCode = nullptr);
    // A plain string (not a value) of 1 to maxPublicEventParameterValueLength code points.
    static bool isValidScreenParameterValue(const platform::Object& value,
                                            const KLVRemoteConfig& settings,
                                            std::int64_t* failureCode = nullptr);
    static bool isValidConditionalUserPropertyOrigin(std::string_view origin,
                                                     std::int64_t* failureCode = nullptr);
    static bool isValidConditionalUserPropertyName(std::string_view name,
                                                   std::int64_t* failureCode = nullptr);
    // Strings of 1 to 36 code points.
    static bool isValidConditionalUserPropertyValue(const KLVValue* value,
                                                    std::int64_t* failureCode = nullptr);
};

// The value-object rule: a missing value fails with 1 (13004, level 3).
bool KLVIsValidValueObject(const KLVValue* value, std::int64_t type,
                           std::int64_t* failureCode = nullptr);

}  // namespace engine
