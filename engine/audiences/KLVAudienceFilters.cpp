#include "engine/audiences/KLVAudienceFilters.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVRemoteConfig.h"

namespace engine {

namespace {

// --- Number filters ----------------------------------------------------------------------------

bool isDecimalField(const KLVPBNumberFilter& filter, std::int32_t index) {
    const auto text = NANOGetString(filter, index);
    return text && KLVIsDecimalNumberString(*text);
}

// The operands of a number filter as exact decimal numbers.
struct KLVAudienceComparisonValues {
    bool valid = true;
    KLVDecimalNumber comparisonValue;
    KLVDecimalNumber minComparisonValue;
    KLVDecimalNumber maxComparisonValue;
};

// Reads one operand into `target`; logs and marks the values invalid when it is absent or not a
// number.
void parseDecimalOperand(const KLVPBNumberFilter& filter, std::int32_t index,
                         KLVDecimalNumber& target, KLVAudienceComparisonValues& values,
                         std::int64_t notNumberCode, const char* notNumberMessage) {
    const auto text = NANOGetString(filter, index);
    const auto number = text ? KLVDecimalNumberFromString(*text) : std::nullopt;
    if (!number) {
        monitor().logWithLevel(kKLVLogErrorMonitored, notNumberCode, notNumberMessage);
        values.valid = false;
        return;
    }
    target = *number;
}

KLVAudienceComparisonValues decimalComparisonValues(const KLVPBNumberFilter& filter,
                                                    std::int32_t type) {
    KLVAudienceComparisonValues values;
    if (type == kKLVComparisonBetween) {
        if (!NANOHasField(filter, KLVPBNumberFilter::min_comparison_value) ||
            !NANOHasField(filter, KLVPBNumberFilter::max_comparison_value)) {
            monitor().logWithLevel(
                kKLVLogErrorMonitored, 8003,
                "Number filter does not have both min and max comparison values");
            values.valid = false;
            return values;
        }
        parseDecimalOperand(filter, KLVPBNumberFilter::min_comparison_value,
                            values.minComparisonValue, values, 8004,
                            "Number filter min comparison value is not a number");
        parseDecimalOperand(filter, KLVPBNumberFilter::max_comparison_value,
                            values.maxComparisonValue, values, 8005,
                            "Number filter max comparison value is not a number");
        return values;
    }
    if (!NANOHasField(filter, KLVPBNumberFilter::comparison_value)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 8001,
                               "Number filter has no comparison value");
        values.valid = false;
        return values;
    }
    parseDecimalOperand(filter, KLVPBNumberFilter::comparison_value, values.comparisonValue, values,
                        8002, "Number filter comparison value is not a number");
    return values;
}

// A decimal string (already checked) as a double; nullopt when it does not fit one.
std::optional<double> doubleOperand(const KLVPBNumberFilter& filter, std::int32_t index) {
    const auto text = NANOGetString(filter, index);
    if (!text) return std::nullopt;
    std::string_view digits = *text;
    // from_chars takes a minus sign but no plus sign.
    if (digits.starts_with('+')) digits.remove_prefix(1);
    double value = 0;
    const auto [end, status] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (status != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// Two representable steps from `value` towards `direction`.
double twoStepsTowards(double value, double direction) {
    return std::nextafter(std::nextafter(value, direction), direction);
}

// --- String filters ----------------------------------------------------------------------------

// The text in UTF-16 with each code point replaced by its simple case folding, which maps one
// code point to one code point and so keeps positions and lengths.
std::u16string simpleCaseFolded(std::string_view text) {
    const auto input = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    std::u16string folded;
    folded.reserve(static_cast<std::size_t>(input.length()));
    for (std::int32_t i = 0; i < input.length();) {
        const UChar32 c = input.char32At(i);
        i += U16_LENGTH(c);
        const UChar32 f = u_foldCase(c, U_FOLD_CASE_DEFAULT);
        if (U_IS_BMP(f)) {
            folded.push_back(static_cast<char16_t>(f));
        } else {
            folded.push_back(static_cast<char16_t>(U16_LEAD(f)));
            folded.push_back(static_cast<char16_t>(U16_TRAIL(f)));
        }
    }
    return folded;
}

// Match types 2 to 5 on UTF-16 code units, or on UTF-8 bytes: for well-formed text a byte
// prefix, suffix or infix is one of code units too.
template <typename View>
bool matchesText(std::int32_t type, View text, View expression) {
    switch (type) {
        case kKLVMatchBeginsWith:
            return text.starts_with(expression);
        case kKLVMatchEndsWith:
            return text.ends_with(expression);
        case kKLVMatchContains:
            return text.find(expression) != View::npos;
        default:  // exact, and each entry of a list
            return text == expression;
    }
}

bool matches(std::int32_t type, bool caseSensitive, const std::string& text,
             const std::string& expression) {
    if (caseSensitive) {
        return matchesText<std::string_view>(type, text, expression);
    }
    return matchesText<std::u16string_view>(type, simpleCaseFolded(text),
                                            simpleCaseFolded(expression));
}

std::optional<bool> evaluateRegularExpression(const KLVRegularExpression& expression,
                                              const std::string& text) {
    switch (expression.firstMatchInString(text)) {
        case KLVRegularExpressionMatch::kMatch:
            return true;
        case KLVRegularExpressionMatch::kNoMatch:
            return false;
        case KLVRegularExpressionMatch::kTimedOut:
            break;
    }
    monitor().logWithLevel(kKLVLogErrorMonitored, 9007,
                           "Regular expression timed out. Audience filter will not be evaluated",
                           expression.pattern());
    return std::nullopt;
}

// --- Definitions -------------------------------------------------------------------------------

bool refuse(platform::Error* error, std::int64_t code, std::string_view description) {
    KLVSetError(error, code, description);
    return false;
}

bool hasExactlyOneSubfilter(const KLVPBFilter& filter) {
    return NANOHasField(filter, KLVPBFilter::number_filter) !=
           NANOHasField(filter, KLVPBFilter::string_filter);
}

bool isNonEmptyString(NANOMessageRef message, std::int32_t index) {
    const auto text = NANOGetString(message, index);
    return text && !text->empty();
}

bool hasValidNumberFilter(const KLVPBFilter& filter) {
    const auto number = NANOGetMessage<KLVPBNumberFilter>(filter, KLVPBFilter::number_filter);
    return !number || KLVIsValidNumberFilter(*number);
}

bool hasValidStringFilter(const KLVPBFilter& filter) {
    const auto string = NANOGetMessage<KLVPBStringFilter>(filter, KLVPBFilter::string_filter);
    return !string || KLVValidateStringFilter(*string);
}

// The refusal texts of one kind of filter for the checks both kinds share.
struct FilterTexts {
    std::int64_t code;
    const char* missingName;
    const char* missingID;
    const char* idOutOfRange;
    const char* duplicateID;
    const char* notExactlyOneSubfilter;
    const char* invalidNumberFilter;
    const char* invalidStringFilter;
};

constexpr FilterTexts kEventFilterTexts = {
    kKLVErrorCodeInvalidEventFilter,
    "Event filter missing event name",
    "Missing event filter ID",
    "Event filter ID is out of range",
    "Duplicate event filter ID",
    "Event filter must have exactly one of number or string filter",
    "Event filter has invalid number filter",
    "Event filter has invalid string filter",
};

constexpr FilterTexts kPropertyFilterTexts = {
    kKLVErrorCodeInvalidPropertyFilter,
    "Property filter missing property name",
    "Missing property filter ID",
    "Property filter ID is out of range",
    "Duplicate property filter ID",
    "Property filter must have exactly one of number or string filter",
    "Property filter has invalid number filter",
    "Property filter has invalid string filter",
};

// The name is not empty and the filter ID present, within 0 to the per-audience limit minus 1
// and not used before; nullptr when they pass, else the refusal text.
const char* nameAndIDFault(NANOMessageRef filter, std::int32_t nameIndex, std::int32_t idIndex,
                           std::set<std::int32_t>& usedFilterIDs, std::int64_t maxFilters,
                           const FilterTexts& texts) {
    if (!isNonEmptyString(filter, nameIndex)) return texts.missingName;
    if (!NANOHasField(filter, idIndex)) return texts.missingID;
    const std::int32_t filterID = NANOGetInt32(filter, idIndex);
    if (filterID < 0 || filterID >= maxFilters) return texts.idOutOfRange;
    if (!usedFilterIDs.insert(filterID).second) return texts.duplicateID;
    return nullptr;
}

// One value filter (a parameter filter, or the filter of a property filter) holds exactly one
// valid subfilter; nullptr when it does, else the refusal text.
const char* subfilterFault(const KLVPBFilter& filter, const FilterTexts& texts) {
    if (!hasExactlyOneSubfilter(filter)) return texts.notExactlyOneSubfilter;
    if (!hasValidNumberFilter(filter)) return texts.invalidNumberFilter;
    if (!hasValidStringFilter(filter)) return texts.invalidStringFilter;
    return nullptr;
}

bool validateEventFilter(const KLVPBEventFilter& filter, std::set<std::int32_t>& usedFilterIDs,
                         const KLVRemoteConfig& settings, platform::Error* error) {
    constexpr auto kCode = kKLVErrorCodeInvalidEventFilter;
    if (const char* fault =
            nameAndIDFault(filter, KLVPBEventFilter::event_name, KLVPBEventFilter::filter_id,
                           usedFilterIDs, settings.maxFiltersPerAudience(), kEventFilterTexts)) {
        return refuse(error, kCode, fault);
    }
    if (const auto count =
            NANOGetMessage<KLVPBNumberFilter>(filter, KLVPBEventFilter::event_count_filter)) {
        if (NANOGetBool(*count, KLVPBNumberFilter::match_as_float)) {
            return refuse(error, kCode, "Event filter has float event count filter");
        }
        if (!KLVIsValidNumberFilter(*count)) {
            return refuse(error, kCode, "Event filter has invalid event count filter");
        }
    }
    const auto parameters = NANOGetArray<KLVPBFilter>(filter, KLVPBEventFilter::filters)
                                .value_or(std::vector<KLVPBFilter>{});
    if (static_cast<std::int64_t>(parameters.size()) > settings.maxParametersPerFilter()) {
        return refuse(error, kCode, "Event filter parameters filters count out of range");
    }
    for (const auto& parameter : parameters) {
        if (!isNonEmptyString(parameter, KLVPBFilter::param_name)) {
            return refuse(error, kCode, "Event filter missing parameter name");
        }
        if (const char* fault = subfilterFault(parameter, kEventFilterTexts)) {
            return refuse(error, kCode, fault);
        }
    }
    return true;
}

bool validatePropertyFilter(const KLVPBPropertyFilter& filter,
                            std::set<std::int32_t>& usedFilterIDs, const KLVRemoteConfig& settings,
                            platform::Error* error) {
    constexpr auto kCode = kKLVErrorCodeInvalidPropertyFilter;
    if (const char* fault = nameAndIDFault(
            filter, KLVPBPropertyFilter::property_name, KLVPBPropertyFilter::filter_id,
            usedFilterIDs, settings.maxFiltersPerAudience(), kPropertyFilterTexts)) {
        return refuse(error, kCode, fault);
    }
    const auto inner = NANOGetMessage<KLVPBFilter>(filter, KLVPBPropertyFilter::filter);
    if (!inner) return refuse(error, kCode, "Property filter has no filter");
    if (const char* fault = subfilterFault(*inner, kPropertyFilterTexts)) {
        return refuse(error, kCode, fault);
    }
    return true;
}

}  // namespace

bool KLVAnyBitSet(const std::vector<std::uint64_t>& words) {
    for (const auto word : words) {
        if (word != 0) return true;
    }
    return false;
}

bool KLVIsValidNumberFilter(const KLVPBNumberFilter& filter) {
    if (!NANOHasField(filter, KLVPBNumberFilter::comparison_type)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 8006, "Number filter has no comparison type");
        return false;
    }
    const std::int32_t type = NANOGetInt32(filter, KLVPBNumberFilter::comparison_type);
    if (type >= kKLVComparisonLessThan && type <= kKLVComparisonEqual) {
        if (isDecimalField(filter, KLVPBNumberFilter::comparison_value)) return true;
        monitor().logWithLevel(kKLVLogErrorMonitored, 8008,
                               "Numeric filter does not have a valid comparison value. Filter");
        return false;
    }
    if (type == kKLVComparisonBetween) {
        const bool minValid = isDecimalField(filter, KLVPBNumberFilter::min_comparison_value);
        const bool maxValid = isDecimalField(filter, KLVPBNumberFilter::max_comparison_value);
        if (!minValid) {
            monitor().logWithLevel(
                kKLVLogErrorMonitored, 8009,
                "Numeric filter does not have a valid min comparison value. Filter");
        }
        if (!maxValid) {
            monitor().logWithLevel(
                kKLVLogErrorMonitored, 8010,
                "Numeric filter does not have a valid max comparison value. Filter");
        }
        return minValid && maxValid;
    }
    if (type == 0) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 8007,
                               "Number filter has unknown comparison type");
        return false;
    }
    monitor().logWithLevel(kKLVLogErrorMonitored, 8011,
                           "Number filter has a real unknown comparison type", type);
    return false;
}

bool KLVValidateStringFilter(const KLVPBStringFilter& filter,
                             std::shared_ptr<const KLVRegularExpression>* compiled) {
    if (!NANOHasField(filter, KLVPBStringFilter::match_type)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 9000, "String filter has no match type");
        return false;
    }
    const std::int32_t type = NANOGetInt32(filter, KLVPBStringFilter::match_type);
    if (type == kKLVMatchInList) {
        const auto list = NANOGetArray(filter, KLVPBStringFilter::expression_list);
        if (list && !list->empty()) return true;
        monitor().logWithLevel(kKLVLogErrorMonitored, 9003, "String filter has no expression list");
        return false;
    }
    if (type == 0) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 9001, "String filter has unknown match type");
        return false;
    }
    const auto expression = NANOGetString(filter, KLVPBStringFilter::expression);
    if (!expression) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 9002, "String filter has no expression");
        return false;
    }
    if (type != kKLVMatchRegularExpression) return true;
    const bool caseSensitive = NANOGetBool(filter, KLVPBStringFilter::case_sensitive);
    std::string reason;
    auto regularExpression =
        KLVRegularExpression::regularExpressionWithPattern(*expression, !caseSensitive, &reason);
    if (!regularExpression) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 9004, "Unable to parse regular expression",
                               *expression, reason);
        return false;
    }
    if (compiled) *compiled = std::move(regularExpression);
    return true;
}

bool KLVValidateAudienceDefinition(const KLVPBAudience& audience,
                                   const std::set<std::int32_t>& acceptedAudienceIDs,
                                   const KLVRemoteConfig& settings, platform::Error* error) {
    constexpr auto kCode = kKLVErrorCodeInvalidAudience;
    if (!NANOHasField(audience, KLVPBAudience::audience_id)) {
        return refuse(error, kCode, "Missing audience ID");
    }
    const std::int32_t audienceID = NANOGetInt32(audience, KLVPBAudience::audience_id);
    if (audienceID < 0) return refuse(error, kCode, "Audience ID is negative");
    if (acceptedAudienceIDs.contains(audienceID)) {
        return refuse(error, kCode, "Duplicate audience ID");
    }
    const auto eventFilters = NANOGetArray<KLVPBEventFilter>(audience, KLVPBAudience::event_filters)
                                  .value_or(std::vector<KLVPBEventFilter>{});
    const auto propertyFilters =
        NANOGetArray<KLVPBPropertyFilter>(audience, KLVPBAudience::property_filters)
            .value_or(std::vector<KLVPBPropertyFilter>{});
    // An empty list is not encoded, so on the wire an empty list is an absent one.
    if (eventFilters.empty() && propertyFilters.empty()) {
        return refuse(error, kCode, "Audience missing filters arrays");
    }
    const auto filterCount =
        static_cast<std::int64_t>(eventFilters.size() + propertyFilters.size());
    if (filterCount < 1 || filterCount > settings.maxFiltersPerAudience()) {
        return refuse(error, kCode, "Audience filter count out of range");
    }
    // One ID space for both kinds: a filter's ID is the position of its bit in the results.
    std::set<std::int32_t> usedFilterIDs;
    for (const auto& filter : eventFilters) {
        if (!validateEventFilter(filter, usedFilterIDs, settings, error)) return false;
    }
    for (const auto& filter : propertyFilters) {
        if (!validatePropertyFilter(filter, usedFilterIDs, settings, error)) return false;
    }
    return true;
}

std::optional<bool> KLVEvaluateNumberFilterWithDecimal(const KLVPBNumberFilter& filter,
                                                       const KLVDecimalNumber& value) {
    if (!KLVIsValidNumberFilter(filter)) return std::nullopt;
    const std::int32_t type = NANOGetInt32(filter, KLVPBNumberFilter::comparison_type);
    const auto values = decimalComparisonValues(filter, type);
    if (!values.valid) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 8015,
                               "Parsed decimal number comparison values are not valid. Audience "
                               "filter will not be evaluated. Filter");
        return std::nullopt;
    }
    switch (type) {
        case kKLVComparisonLessThan:
            return KLVCompareDecimalNumbers(value, values.comparisonValue) < 0;
        case kKLVComparisonGreaterThan:
            return KLVCompareDecimalNumbers(value, values.comparisonValue) > 0;
        case kKLVComparisonEqual:
            return KLVCompareDecimalNumbers(value, values.comparisonValue) == 0;
        default:  // between, bounds included
            return KLVCompareDecimalNumbers(values.minComparisonValue, value) <= 0 &&
                   KLVCompareDecimalNumbers(value, values.maxComparisonValue) <= 0;
    }
}

std::optional<bool> KLVEvaluateNumberFilterWithInt64(const KLVPBNumberFilter& filter,
                                                     std::int64_t value) {
    return KLVEvaluateNumberFilterWithDecimal(filter, KLVDecimalNumberFromInt64(value));
}

std::optional<bool> KLVEvaluateNumberFilterWithDouble(const KLVPBNumberFilter& filter,
                                                      double value) {
    if (!KLVIsValidNumberFilter(filter)) return std::nullopt;
    const std::int32_t type = NANOGetInt32(filter, KLVPBNumberFilter::comparison_type);
    const bool between = type == kKLVComparisonBetween;
    const auto operand =
        between ? std::nullopt : doubleOperand(filter, KLVPBNumberFilter::comparison_value);
    const auto min =
        between ? doubleOperand(filter, KLVPBNumberFilter::min_comparison_value) : std::nullopt;
    const auto max =
        between ? doubleOperand(filter, KLVPBNumberFilter::max_comparison_value) : std::nullopt;
    if (between ? !(min && max) : !operand) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 8012,
                               "Number filter is invalid, the comparison filter is not valid. "
                               "Audience filter will not be evaluated");
        return std::nullopt;
    }
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    switch (type) {
        case kKLVComparisonLessThan:
            return value < *operand;
        case kKLVComparisonGreaterThan:
            return value > *operand;
        case kKLVComparisonEqual:
            return twoStepsTowards(*operand, -kInfinity) < value &&
                   value < twoStepsTowards(*operand, kInfinity);
        default:
            return *min <= value && value <= *max;
    }
}

std::optional<bool> KLVEvaluateStringFilter(const KLVPBStringFilter& filter,
                                            const std::string* text) {
    if (!text) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 9005,
                               "Evaluation string is nil. Audience filter will not be evaluated");
        return std::nullopt;
    }
    std::shared_ptr<const KLVRegularExpression> expression;
    if (!KLVValidateStringFilter(filter, &expression)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 9006,
                               "String filter is invalid. Audience filter will not be evaluated");
        return std::nullopt;
    }
    const std::int32_t type = NANOGetInt32(filter, KLVPBStringFilter::match_type);
    const bool caseSensitive = NANOGetBool(filter, KLVPBStringFilter::case_sensitive);
    if (type == kKLVMatchRegularExpression) return evaluateRegularExpression(*expression, *text);
    if (type == kKLVMatchInList) {
        const auto list = NANOGetArray(filter, KLVPBStringFilter::expression_list);
        for (const auto& entry : list.value_or(platform::Array{})) {
            const auto* candidate = entry.getString();
            if (candidate && matches(kKLVMatchExact, caseSensitive, *text, *candidate)) {
                return true;
            }
        }
        return false;
    }
    if (type < kKLVMatchBeginsWith || type > kKLVMatchExact) return false;
    const auto operand = NANOGetString(filter, KLVPBStringFilter::expression);
    return matches(type, caseSensitive, *text, operand.value_or(""));
}

std::optional<bool> KLVEvaluateFilterValue(const KLVPBFilter& filter, const KLVValue& value) {
    std::optional<bool> result;
    if (const auto number = NANOGetMessage<KLVPBNumberFilter>(filter, KLVPBFilter::number_filter)) {
        if (value.isString()) {
            if (!KLVIsDecimalNumberString(*value.stringValue())) {
                monitor().logWithLevel(kKLVLogWarning, 7001,
                                       "String value is not a numeric value. Audience filter will "
                                       "not be evaluated. Value, filter",
                                       *value.stringValue());
                return std::nullopt;
            }
            const auto decimal = KLVDecimalNumberFromString(*value.stringValue());
            if (!decimal) return std::nullopt;
            result = KLVEvaluateNumberFilterWithDecimal(*number, *decimal);
        } else if (value.isDouble()) {
            if (!std::isfinite(value.doubleValue())) {
                monitor().logWithLevel(
                    kKLVLogWarning, 7002,
                    "Value is not within double range. Audience filter will not be evaluated");
                return std::nullopt;
            }
            result = KLVEvaluateNumberFilterWithDouble(*number, value.doubleValue());
        } else if (value.isInt64()) {
            result = KLVEvaluateNumberFilterWithInt64(*number, value.int64Value());
        } else {
            return std::nullopt;
        }
    } else if (const auto string =
                   NANOGetMessage<KLVPBStringFilter>(filter, KLVPBFilter::string_filter)) {
        if (!value.isString()) {
            monitor().logWithLevel(kKLVLogWarning, 7003,
                                   "Value is not a string. Audience filter will not be evaluated");
            return std::nullopt;
        }
        result = KLVEvaluateStringFilter(*string, value.stringValue());
    } else {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, 7000,
            "Filter has neither a number nor string filter. Audience filter will not be evaluated");
        return std::nullopt;
    }
    if (result && NANOGetBool(filter, KLVPBFilter::complement)) return !*result;
    return result;
}

std::optional<bool> KLVEvaluateEventFilter(const KLVPBEventFilter& filter,
                                           std::string_view eventName,
                                           const KLVParameters& parameters,
                                           const KLVEventAggregates& aggregates) {
    if (eventName.empty()) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 7005,
                               "Event name is nil. Audience filter will not be evaluated");
        return std::nullopt;
    }
    if (NANOGetString(filter, KLVPBEventFilter::event_name) != eventName) {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, 7006,
            "Event filter name does not match event name. Audience filter will not be evaluated");
        return std::nullopt;
    }
    const auto count =
        NANOGetMessage<KLVPBNumberFilter>(filter, KLVPBEventFilter::event_count_filter);
    const auto parameterFilters = NANOGetArray<KLVPBFilter>(filter, KLVPBEventFilter::filters)
                                      .value_or(std::vector<KLVPBFilter>{});
    if (!count && parameterFilters.empty()) return true;
    if (count) {
        if (aggregates.name() != eventName) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 7007,
                                   "Event aggregates name does not match event name. Audience "
                                   "filter will not be evaluated");
            return std::nullopt;
        }
        const std::int32_t eventCount = NANOGetBool(filter, KLVPBEventFilter::session_scoped)
                                            ? aggregates.currentSessionCount()
                                            : aggregates.lifetimeCount();
        const auto result = KLVEvaluateNumberFilterWithInt64(*count, eventCount);
        if (!result || !*result) return result;
    }
    for (const auto& parameterFilter : parameterFilters) {
        const auto name = NANOGetString(parameterFilter, KLVPBFilter::param_name);
        if (!name) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 7008,
                                   "Event filter does not have parameter name. Audience filter "
                                   "will not be evaluated");
            return std::nullopt;
        }
        const auto parameter = parameters.find(*name);
        if (parameter == parameters.end()) {
            monitor().logWithLevel(kKLVLogWarning, 7009,
                                   "Event does not have parameter required by filter. Audience "
                                   "filter will not be evaluated",
                                   *name);
            return std::nullopt;
        }
        if (parameter->second.isString() &&
            !NANOHasField(parameterFilter, KLVPBFilter::string_filter)) {
            monitor().logWithLevel(kKLVLogWarning, 7010,
                                   "Event param is a string and the filter does not have a string "
                                   "filter. Audience filter will not be evaluated. Event name, "
                                   "event params, filter",
                                   std::string(eventName), *name);
            return std::nullopt;
        }
        const auto result = KLVEvaluateFilterValue(parameterFilter, parameter->second);
        if (!result || !*result) return result;
    }
    return true;
}

std::optional<bool> KLVEvaluatePropertyFilter(const KLVPBPropertyFilter& filter,
                                              const KLVUserAttribute& attribute) {
    if (NANOGetString(filter, KLVPBPropertyFilter::property_name) != attribute.name()) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 7013,
                               "User property name does not match property filter name. Audience "
                               "filter will not be evaluated");
        return std::nullopt;
    }
    const auto inner = NANOGetMessage<KLVPBFilter>(filter, KLVPBPropertyFilter::filter);
    if (!inner) {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, 7014,
            "Property filter does not have filter. Audience filter will not be evaluated");
        return std::nullopt;
    }
    const auto& value = attribute.value();
    if (!value.isString() && !value.isInt64() && !value.isDouble()) {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, 7015,
            "Unknown user property type. Audience filter will not be evaluated. Property Name",
            attribute.name());
        return std::nullopt;
    }
    return KLVEvaluateFilterValue(*inner, value);
}

bool KLVShouldEvaluateFilter(bool alreadyTrue, bool dynamic, bool sequence, bool sessionScoped) {
    return !alreadyTrue || dynamic || sequence || sessionScoped;
}

bool KLVShouldTakePropertyResult(std::optional<bool> result, bool dynamic, bool sessionScoped) {
    return (result && *result) || (dynamic && !sessionScoped);
}

std::optional<KLVUserAttribute> KLVUserAttributeFromMessage(const KLVPBUserAttribute& message) {
    std::optional<KLVValue> value;
    if (NANOHasField(message, KLVPBUserAttribute::string_value)) {
        const auto text = NANOGetString(message, KLVPBUserAttribute::string_value);
        if (text) value = KLVValue::initWithString(*text);
    } else if (NANOHasField(message, KLVPBUserAttribute::double_value)) {
        value = KLVValue::initWithDouble(NANOGetDouble(message, KLVPBUserAttribute::double_value));
    } else if (NANOHasField(message, KLVPBUserAttribute::int_value)) {
        value = KLVValue::initWithInt64(NANOGetInt64(message, KLVPBUserAttribute::int_value));
    }
    if (!value) return std::nullopt;
    const double setTime =
        static_cast<double>(NANOGetInt64(message, KLVPBUserAttribute::set_timestamp_millis)) /
        1000.0;
    return KLVUserAttribute::initWithOrigin(
        "", NANOGetString(message, KLVPBUserAttribute::name).value_or(""), std::move(*value),
        setTime);
}

}  // namespace engine
