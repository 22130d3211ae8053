#include "engine/events/KLVParameterSanitizer.h"

#include <algorithm>
#include <type_traits>
#include <vector>

#include "engine/base/KLVEventNameMap.h"
#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVMonitor.h"
#include "engine/base/KLVStringAdditions.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"

namespace engine {

namespace {

using platform::Object;

constexpr std::int64_t kUnsupportedValueCode = 18015;
constexpr std::int64_t kItemCustomParametersCode = 18016;
constexpr std::int64_t kTooManyParametersCode = 18017;
constexpr std::int64_t kValueWithoutCurrencyCode = 18014;

constexpr char kEllipsis[] = "...";
constexpr char kNilName[] = "(nil)";
constexpr char kValueParameter[] = "value";
constexpr char kCurrencyParameter[] = "currency";

// What one sanitising pass knows about its dictionary.
struct Context {
    std::optional<std::string_view> eventName;
    bool isPublic;
    bool isItem;
    // Known to the engine under an internal name, or itself internal: internal value limits.
    bool isEngineEvent;
    const KLVRemoteConfig& settings;
};

bool isEngineEventName(std::optional<std::string_view> eventName) {
    if (!eventName) return false;
    return KLVEventNameMap().contains(*eventName) || eventName->starts_with('_');
}

std::int64_t codePointLength(std::string_view text) {
    return static_cast<std::int64_t>(klv_UTF32Length(text));
}

// The length recorded as "_el".
std::int64_t errorLength(const Object& value) {
    if (const auto* text = value.getString()) return codePointLength(*text);
    if (value.isArray()) return static_cast<std::int64_t>(value.count());
    return 0;
}

bool isPublicParameterName(std::string_view name, bool itemMode) {
    return KLVIsPublicName(Object(name)) && !(itemMode && KLVIsItemParameterName(name));
}

// Orders texts as their UTF-16 forms compare, as the platform's string comparison does: code
// points U+E000 to U+FFFF sort after the supplementary planes, whose lead surrogates come first.
std::uint32_t utf16OrderKey(char32_t codePoint) {
    return codePoint >= 0xE000 && codePoint <= 0xFFFF ? codePoint + 0x200000u : codePoint;
}

bool utf16Less(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const auto x = platform::decodeUTF8(a, i);
        const auto y = platform::decodeUTF8(b, j);
        if (x.codePoint != y.codePoint) {
            return utf16OrderKey(x.codePoint) < utf16OrderKey(y.codePoint);
        }
        i += x.length;
        j += y.length;
    }
    return i == a.size() && j < b.size();
}

template <typename Map>
std::int64_t countPublicParameters(const Map& parameters, bool itemMode) {
    return std::count_if(parameters.begin(), parameters.end(), [&](const auto& entry) {
        return isPublicParameterName(entry.first, itemMode);
    });
}

template <typename Map>
void trimPublicParameters(Map& parameters, std::int64_t limit, bool itemMode) {
    auto count = countPublicParameters(parameters, itemMode);
    if (count <= limit) return;
    std::vector<std::string> names;
    names.reserve(parameters.size());
    for (const auto& entry : parameters)
        names.push_back(entry.first);
    std::sort(names.begin(), names.end(), utf16Less);
    for (auto name = names.rbegin(); name != names.rend() && count > limit; ++name) {
        if (!isPublicParameterName(*name, itemMode)) continue;
        parameters.erase(*name);
        --count;
    }
}

KLVValue errorCodeValue(std::int64_t code) {
    return KLVValue::initWithInt64(code);
}

// A parameter whose value rule failed because the value was too long records error 4.
void recordValueFailure(KLVParameters& replacements, std::int64_t failureCode,
                        std::string_view name, const KLVValue& value) {
    if (failureCode != kKLVValidationTooLong) return;
    const Object* length = value.isString() ? &value.value() : nullptr;
    KLVRecordParameterError(replacements, kKLVEventErrorInvalidParameterValue, name,
                            kKLVErrorNameLengthLimit, length);
}

// An "_ev" that arrives longer than the internal value limit is cut, and "_el" keeps its length
// (unless an error recorded earlier already holds "_ev"). Answers whether it was cut.
bool cutErrorValueParameter(const KLVValue& value, std::int64_t limit,
                            KLVParameters& replacements) {
    const auto* text = value.stringValue();
    if (!text) return false;
    const auto length = codePointLength(*text);
    if (length <= limit) return false;
    if (length == limit + 3 && text->ends_with(kEllipsis)) return false;  // already cut
    if (!replacements.contains(kKLVErrorValueParameter)) {
        replacements.insert_or_assign(kKLVErrorValueParameter,
                                      KLVValue::initWithString(KLVTrimmedErrorName(*text, limit)));
        replacements.insert_or_assign(kKLVErrorLengthParameter, KLVValue::initWithInt64(length));
    }
    return true;
}

template <typename Map>
std::optional<KLVParameters> sanitize(const Map& parameters, const Context& context);

// Cleans one parameter; false rejects it. A value that must change, or that arrived as an object,
// goes into the replacements.
template <typename Input>
bool sanitizeParameter(const std::string& name, const Input& input, const Context& context,
                       KLVParameters& replacements) {
    if (!KLVIsValidEventParameterName(name, context.isPublic, &replacements)) return false;

    constexpr bool arrivedAsValue = std::is_same_v<Input, KLVValue>;
    std::optional<KLVValue> converted;
    if constexpr (arrivedAsValue) {
        converted = input;
    } else {
        converted = KLVValue::valueFromObject(input, true);
        if (!converted) {
            monitor().logWithLevel(
                kKLVLogWarning, kUnsupportedValueCode,
                "Event parameter value must be of type NSString, NSNumber or NSArray. Type",
                platform::typeName(input.type()));
            return false;
        }
    }
    KLVValue value = std::move(*converted);

    std::int64_t failureCode = 0;
    if (context.isPublic && !KLVDataTypeValidator::isValidPublicEventParameterValue(
                                &value, context.settings, &failureCode)) {
        recordValueFailure(replacements, failureCode, name, value);
        return false;
    }
    if (name == kKLVErrorValueParameter) {
        const std::int64_t limit = context.settings.maxInternalEventParameterValueLength();
        if (cutErrorValueParameter(value, limit, replacements)) return true;
    } else {
        if (context.isEngineEvent && !KLVDataTypeValidator::isValidInternalEventParameterValue(
                                         &value, context.settings, &failureCode)) {
            recordValueFailure(replacements, failureCode, name, value);
            return false;
        }
        if (value.isArray() && !arrivedAsValue) {
            std::int64_t arrayFailureCode = 0;
            auto items = KLVSanitizedItemsArray(*value.arrayValue(), name, context.eventName,
                                                replacements, context.isItem, context.isPublic,
                                                context.settings, &arrayFailureCode);
            KLVRecordArrayParameterError(replacements, arrayFailureCode, name, context.eventName);
            if (!items) return false;
            value = std::move(*items);
        }
    }
    // An error recorded under this name before (only "_err", "_ev" or "_el") stays.
    if (!arrivedAsValue) replacements.emplace(name, std::move(value));
    return true;
}

void applyItemLimit(KLVParameters& item, const KLVRemoteConfig& settings) {
    const bool enabled = settings.itemScopedCustomParameterEnabled();
    const std::int64_t limit = enabled ? settings.maxItemScopedCustomParameters() : 0;
    if (countPublicParameters(item, true) <= limit) return;
    KLVTrimPublicParameters(item, limit, true);
    KLVSetErrorCodeIfAbsent(item, enabled ? kKLVEventErrorItemScopedCustomParameterLimitReached
                                          : kKLVEventErrorCustomParamsInArrayElement);
    monitor().logWithLevel(kKLVLogError, kItemCustomParametersCode,
                           "Item cannot contain custom parameters");
}

void applyEventLimit(KLVParameters& parameters, const KLVRemoteConfig& settings) {
    const std::int64_t limit = settings.maxPublicEventParams();
    if (countPublicParameters(parameters, false) <= limit) return;
    KLVTrimPublicParameters(parameters, limit, false);
    KLVSetErrorCodeIfAbsent(parameters, kKLVEventErrorParameterLimitReached);
    monitor().logWithLevel(
        kKLVLogErrorMonitored, kTooManyParametersCode,
        platform::formatString("Event cannot contain more than %d parameters", limit));
}

template <typename Map>
std::optional<KLVParameters> sanitize(const Map& parameters, const Context& context) {
    if (parameters.empty()) return std::nullopt;
    std::vector<const std::string*> rejected;
    KLVParameters replacements;
    for (const auto& [name, input] : parameters) {
        if (!sanitizeParameter(name, input, context, replacements)) rejected.push_back(&name);
    }
    if (rejected.size() == parameters.size()) return replacements;

    KLVParameters result;
    if constexpr (std::is_same_v<Map, KLVParameters>) {
        result = parameters;
        for (const auto* name : rejected)
            result.erase(*name);
    }
    for (auto& [name, value] : replacements)
        result.insert_or_assign(name, std::move(value));
    if (context.isItem) {
        applyItemLimit(result, context.settings);
    } else {
        applyEventLimit(result, context.settings);
    }
    return result;
}

template <typename Map>
std::optional<KLVParameters> sanitizeWithName(const Map& parameters,
                                              std::optional<std::string_view> eventName,
                                              bool isPublic, bool isItem,
                                              const KLVRemoteConfig& settings) {
    return sanitize(parameters,
                    Context{eventName, isPublic, isItem, isEngineEventName(eventName), settings});
}

// Item dictionaries are kept inside array values as dictionaries of plain objects.
Object itemObject(const std::optional<KLVParameters>& item) {
    platform::Dictionary dictionary;
    if (item) {
        for (const auto& [name, value] : *item)
            dictionary.emplace(name, value.value());
    }
    return Object(std::move(dictionary));
}

}  // namespace

std::optional<KLVParameters> sanitizedEventParameters(const platform::Dictionary& parameters,
                                                      std::optional<std::string_view> eventName,
                                                      bool isPublic, bool isItem,
                                                      const KLVRemoteConfig& settings) {
    return sanitizeWithName(parameters, eventName, isPublic, isItem, settings);
}

std::optional<KLVParameters> sanitizedEventParameters(const KLVParameters& parameters,
                                                      std::optional<std::string_view> eventName,
                                                      bool isPublic, bool isItem,
                                                      const KLVRemoteConfig& settings) {
    return sanitizeWithName(parameters, eventName, isPublic, isItem, settings);
}

std::optional<KLVValue> KLVSanitizedItemsArray(const platform::Array& array,
                                               std::string_view parameterName,
                                               std::optional<std::string_view> eventName,
                                               KLVParameters& replacements, bool isItem,
                                               bool isPublic, const KLVRemoteConfig& settings,
                                               std::int64_t* failureCode) {
    std::int64_t arrayFailureCode = 0;
    std::size_t count = array.size();
    if (!KLVDataTypeValidator::isValidArrayParamForEvent(eventName.value_or(""), parameterName,
                                                         count, isItem, &arrayFailureCode)) {
        if (failureCode) *failureCode = arrayFailureCode;
        if (arrayFailureCode != kKLVValidationArrayTooLarge) return std::nullopt;
        count = static_cast<std::size_t>(kKLVMaxArrayItemCount);
    } else if (failureCode) {
        *failureCode = kKLVValidationSuccess;
    }

    platform::Array items;
    items.reserve(count);
    for (std::size_t index = 0; index < count; ++index) {
        const Object& element = array[index];
        if (!KLVDataTypeValidator::isValidArrayParamItem(element)) {
            const auto name = platform::formatString("%@[%lu]", parameterName, index);
            KLVRecordParameterError(replacements, kKLVEventErrorInvalidParameterValue, name,
                                    kKLVErrorNameLengthLimit, nullptr);
            continue;
        }
        // An empty item stays as an empty dictionary, so that no element goes missing.
        items.push_back(itemObject(
            sanitizedEventParameters(element.asDictionary(), eventName, isPublic, true, settings)));
    }
    return KLVValue::initWithArray(std::move(items));
}

bool KLVValidateValueAndCurrency(KLVParameters& parameters, const KLVRemoteConfig& settings) {
    const auto value = parameters.find(kValueParameter);
    if (value == parameters.end()) return true;
    const auto currency = parameters.find(kCurrencyParameter);
    const KLVValue* currencyValue = currency == parameters.end() ? nullptr : &currency->second;
    const bool isNumeric = KLVDataTypeValidator::isValidNumericValue(&value->second);
    if (isNumeric && KLVDataTypeValidator::isValidCurrencyCode(currencyValue)) return true;

    parameters.erase(value);
    if (isNumeric) {
        monitor().logWithLevel(kKLVLogWarning, kValueWithoutCurrencyCode,
                               "Value parameter discarded. You must also supply a 3-letter "
                               "ISO_4217 currency code in the currency parameter.");
        KLVRecordParameterError(parameters, kKLVEventErrorCurrencyCodeIsMissingOrInvalid,
                                kCurrencyParameter, settings.maxInternalEventParameterValueLength(),
                                nullptr);
    } else {
        KLVRecordParameterError(parameters, kKLVEventErrorValueIsNotNumeric, kValueParameter,
                                settings.maxInternalEventParameterValueLength(), nullptr);
    }
    return false;
}

std::int64_t KLVCountPublicParameters(const KLVParameters& parameters, bool itemMode) {
    return countPublicParameters(parameters, itemMode);
}

std::int64_t KLVCountPublicParameters(const platform::Dictionary& parameters, bool itemMode) {
    return countPublicParameters(parameters, itemMode);
}

void KLVTrimPublicParameters(KLVParameters& parameters, std::int64_t limit, bool itemMode) {
    trimPublicParameters(parameters, limit, itemMode);
}

void KLVTrimDefaultParameters(platform::Dictionary& parameters, std::int64_t limit) {
    trimPublicParameters(parameters, limit, false);
}

bool KLVIsValidEventParameterName(std::string_view name, bool isPublic, KLVParameters* errors) {
    std::int64_t failureCode = 0;
    const bool valid =
        (!isPublic || KLVDataTypeValidator::isValidPublicEventParameterName(name, &failureCode)) &&
        KLVDataTypeValidator::isValidInternalEventParameterName(name, &failureCode);
    if (valid) return true;
    if (errors && failureCode != kKLVValidationSuccess) {
        const auto code = failureCode == kKLVValidationReserved
                              ? kKLVEventErrorParameterNameIsReserved
                              : kKLVEventErrorInvalidParameterName;
        const Object nameObject(name);
        const bool isLong = codePointLength(name) > kKLVErrorNameLengthLimit;
        KLVRecordParameterError(*errors, code, name, kKLVErrorNameLengthLimit,
                                isLong ? &nameObject : nullptr);
    }
    return false;
}

// --- Recording errors ---------------------------------------------------------------------------

std::string KLVTrimmedErrorName(std::string_view text, std::int64_t limit) {
    if (limit < 0 || codePointLength(text) <= limit) return std::string(text);
    return platform::substringByCodePoints(text, 0, static_cast<std::size_t>(limit)) + kEllipsis;
}

void KLVSetErrorValueParameters(KLVParameters& parameters, std::optional<std::string_view> name,
                                std::int64_t limit, const Object* value) {
    if (parameters.contains(kKLVErrorValueParameter) ||
        parameters.contains(kKLVErrorLengthParameter)) {
        return;
    }
    parameters.insert_or_assign(
        kKLVErrorValueParameter,
        KLVValue::initWithString(KLVTrimmedErrorName(name.value_or(kNilName), limit)));
    if (value) {
        parameters.insert_or_assign(kKLVErrorLengthParameter,
                                    KLVValue::initWithInt64(errorLength(*value)));
    }
}

void KLVSetErrorCodeIfAbsent(KLVParameters& parameters, std::int64_t code) {
    if (parameters.contains(kKLVErrorParameter)) return;
    parameters.insert_or_assign(kKLVErrorParameter, errorCodeValue(code));
}

void KLVRecordParameterError(KLVParameters& parameters, std::int64_t code,
                             std::optional<std::string_view> name, std::int64_t limit,
                             const Object* value) {
    if (parameters.contains(kKLVErrorParameter) || parameters.contains(kKLVErrorValueParameter) ||
        parameters.contains(kKLVErrorLengthParameter)) {
        return;
    }
    parameters.insert_or_assign(kKLVErrorParameter, errorCodeValue(code));
    KLVSetErrorValueParameters(parameters, name, limit, value);
}

void KLVRecordArrayParameterError(KLVParameters& parameters, std::int64_t arrayFailureCode,
                                  std::string_view parameterName,
                                  std::optional<std::string_view> eventName) {
    struct ArrayError {
        std::int64_t failureCode;
        std::int64_t errorCode;
        bool namesEvent;
    };
    static constexpr ArrayError kArrayErrors[] = {
        {kKLVValidationArrayOnNonEcommerce, kKLVEventErrorInvalidArrayParamEventName, true},
        {kKLVValidationArrayNotItems, kKLVEventErrorInvalidArrayParamName, false},
        {kKLVValidationArrayTooLarge, kKLVEventErrorTooManyExtraParamEvents, false},
        {kKLVValidationArrayNested, kKLVEventErrorInvalidArrayParamNesting, false},
    };
    const auto* entry =
        std::find_if(std::begin(kArrayErrors), std::end(kArrayErrors),
                     [&](const auto& e) { return e.failureCode == arrayFailureCode; });
    if (entry == std::end(kArrayErrors)) return;
    const auto name = entry->namesEvent ? eventName : std::optional(parameterName);
    KLVRecordParameterError(parameters, entry->errorCode, name, kKLVErrorNameLengthLimit, nullptr);
}

}  // namespace engine
