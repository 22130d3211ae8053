#pragma once

// The checks and predicates of audience filters, free of any stored state: the structural checks
// that definitions pass before they are stored (and that run again at every evaluation), and the
// three-valued evaluation of event, property, number and string filters. A predicate answers
// true, false, or nullopt when the filter cannot be evaluated (logged; nothing is recorded for
// it then).
//
// Number filters compare exactly: a string or integer value as a decimal number, never through a
// double; a double value as a double. String filters count in UTF-16 units and fold case with
// Unicode simple case folding, which keeps every position and length; regular expressions are
// ICU's, run under a time limit.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/KLVNumericUtil.h"
#include "engine/base/KLVRegularExpression.h"
#include "engine/events/KLVEventAggregates.h"
#include "engine/events/KLVUserAttribute.h"
#include "engine/events/KLVValue.h"
#include "engine/messages/KLVPBMessages.h"
#include "platform/foundation/Error.h"

namespace engine {

class KLVRemoteConfig;

// Comparison types of a number filter and match types of a string filter.
enum : std::int32_t {
    kKLVComparisonLessThan = 1,
    kKLVComparisonGreaterThan = 2,
    kKLVComparisonEqual = 3,
    kKLVComparisonBetween = 4,
};
enum : std::int32_t {
    kKLVMatchRegularExpression = 1,
    kKLVMatchBeginsWith = 2,
    kKLVMatchEndsWith = 3,
    kKLVMatchContains = 4,
    kKLVMatchExact = 5,
    kKLVMatchInList = 6,
};

// Where a filter's bits sit in the result words.
inline std::int32_t KLVFilterWordIndex(std::int32_t filterID) {
    return filterID / 64;
}
inline std::int32_t KLVFilterBitIndex(std::int32_t filterID) {
    return filterID % 64;
}
bool KLVAnyBitSet(const std::vector<std::uint64_t>& words);

// --- Definitions -------------------------------------------------------------------------------

// The operands the comparison type needs are present decimal strings (logged, 8006-8011).
bool KLVIsValidNumberFilter(const KLVPBNumberFilter& filter);
// The match type and its operands are usable (logged, 9000-9004); for a regular expression,
// `compiled` (when given) receives the compiled expression.
bool KLVValidateStringFilter(const KLVPBStringFilter& filter,
                             std::shared_ptr<const KLVRegularExpression>* compiled = nullptr);
// The structural rules and the limits `settings` configure for one audience, in their fixed order.
// On false `error` holds an engine error: code 9 for the audience itself, 10 for one of its event
// filters, 11 for one of its property filters, with the rule's text.
[[nodiscard]] bool KLVValidateAudienceDefinition(const KLVPBAudience& audience,
                                                 const std::set<std::int32_t>& acceptedAudienceIDs,
                                                 const KLVRemoteConfig& settings,
                                                 platform::Error* error);

// --- Predicates --------------------------------------------------------------------------------

std::optional<bool> KLVEvaluateNumberFilterWithDecimal(const KLVPBNumberFilter& filter,
                                                       const KLVDecimalNumber& value);
std::optional<bool> KLVEvaluateNumberFilterWithInt64(const KLVPBNumberFilter& filter,
                                                     std::int64_t value);
// Equality holds within one representable step of the operand.
std::optional<bool> KLVEvaluateNumberFilterWithDouble(const KLVPBNumberFilter& filter,
                                                      double value);
// `text` null: no result (9005).
std::optional<bool> KLVEvaluateStringFilter(const KLVPBStringFilter& filter,
                                            const std::string* text);
// A number filter takes precedence over a string filter; `complement` inverts a result.
std::optional<bool> KLVEvaluateFilterValue(const KLVPBFilter& filter, const KLVValue& value);
// `aggregates` already count this event.
std::optional<bool> KLVEvaluateEventFilter(const KLVPBEventFilter& filter,
                                           std::string_view eventName,
                                           const KLVParameters& parameters,
                                           const KLVEventAggregates& aggregates);
std::optional<bool> KLVEvaluatePropertyFilter(const KLVPBPropertyFilter& filter,
                                              const KLVUserAttribute& attribute);

// A filter is evaluated while it is not yet true, and always when it is dynamic, sequence or
// session-scoped.
bool KLVShouldEvaluateFilter(bool alreadyTrue, bool dynamic, bool sequence, bool sessionScoped);
// A property filter takes a new result when it is true, or when the filter is dynamic and not
// session-scoped; otherwise it keeps its previous truth.
bool KLVShouldTakePropertyResult(std::optional<bool> result, bool dynamic, bool sessionScoped);

// The attribute of a user-attribute message (string, else double, else integer value; the set
// time in seconds; no origin); nullopt when it carries no value or is refused.
std::optional<KLVUserAttribute> KLVUserAttributeFromMessage(const KLVPBUserAttribute& message);

}  // namespace engine
