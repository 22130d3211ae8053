#pragma once

// Turns an event's incoming parameters into the values the event keeps. Parameter problems never
// fail an event: a bad name or value is dropped, an over-long "_ev" is cut, an "items" array is
// cut to 200 cleaned items, excess public parameters are trimmed, and the first problem met is
// recorded inside the dictionary as "_err" (the code of KLVInternalNames.h), "_ev" (the offending
// name) and "_el" (the length of the offending value).
//
// Parameters arrive as objects (from the app, the rule runtime or stored defaults) or as values
// the engine already made; either way the result holds values only. Item dictionaries inside an
// array value are kept as dictionary objects of plain objects, as KLVValue holds them.
//
// Lengths are code points. Limits come from the server settings the caller passes, so that one
// event is cleaned under one configuration. Everything here is stateless and safe on any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/events/KLVValue.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVRemoteConfig;

// Longest "_ev" of an error recorded about a name (event and parameter names).
inline constexpr std::int64_t kKLVErrorNameLengthLimit = 40;

// The sanitised parameters, or nullopt for an empty input. `eventName` is nullopt for default
// parameters, which belong to no event; `isPublic` applies the public name and value rules;
// `isItem` sanitises one item of an "items" array (items have their own parameter limit).
std::optional<KLVParameters> sanitizedEventParameters(const platform::Dictionary& parameters,
                                                      std::optional<std::string_view> eventName,
                                                      bool isPublic, bool isItem,
                                                      const KLVRemoteConfig& settings);
std::optional<KLVParameters> sanitizedEventParameters(const KLVParameters& parameters,
                                                      std::optional<std::string_view> eventName,
                                                      bool isPublic, bool isItem,
                                                      const KLVRemoteConfig& settings);

// Cleans an array parameter: applies the array rule (more than 200 items: the first 200 stay;
// any other failure: nullopt) and sanitises every item as an item dictionary; an item that is
// not a dictionary is skipped and recorded as error 4 with "_ev" "<name>[<index>]". The array
// rule's failure code goes to `failureCode`.
std::optional<KLVValue> KLVSanitizedItemsArray(const platform::Array& array,
                                               std::string_view parameterName,
                                               std::optional<std::string_view> eventName,
                                               KLVParameters& replacements, bool isItem,
                                               bool isPublic, const KLVRemoteConfig& settings,
                                               std::int64_t* failureCode);

// For conversions and ad impressions: a "value" must be numeric and come with a valid "currency".
// When not, "value" is removed, error 18 (not numeric) or 19 (currency) is recorded, and the
// answer is false. No "value" at all passes.
bool KLVValidateValueAndCurrency(KLVParameters& parameters, const KLVRemoteConfig& settings);

// The number of public names; in item mode only the custom ones (not standard item parameters).
std::int64_t KLVCountPublicParameters(const KLVParameters& parameters, bool itemMode);
std::int64_t KLVCountPublicParameters(const platform::Dictionary& parameters, bool itemMode);

// Trims the public names (item mode: the custom item names) to `limit`, removing those that sort
// last. Internal names, and in item mode standard item names, are never removed.
void KLVTrimPublicParameters(KLVParameters& parameters, std::int64_t limit, bool itemMode);
// The same for the default event parameters the measurement service keeps.
void KLVTrimDefaultParameters(platform::Dictionary& parameters, std::int64_t limit);

// The parameter-name rule: public and internal rule for a public event, the internal rule
// otherwise. A refusal with a failure code records error 14 (reserved) or 3 into `errors`.
bool KLVIsValidEventParameterName(std::string_view name, bool isPublic, KLVParameters* errors);

// --- Recording errors ---------------------------------------------------------------------------

// Unless "_ev" or "_el" is there: "_ev" = the name ("(nil)" for none) cut to `limit` code points
// and "..."; with a value, "_el" = its length (code points of a string, elements of an array, 0
// otherwise).
void KLVSetErrorValueParameters(KLVParameters& parameters, std::optional<std::string_view> name,
                                std::int64_t limit, const platform::Object* value);
// Sets "_err" only when there is none.
void KLVSetErrorCodeIfAbsent(KLVParameters& parameters, std::int64_t code);
// Only when none of "_err", "_ev" and "_el" is there: the code and its name and value, so that
// the first problem of a dictionary is the one reported.
void KLVRecordParameterError(KLVParameters& parameters, std::int64_t code,
                             std::optional<std::string_view> name, std::int64_t limit,
                             const platform::Object* value);
// Records an array failure code of the validator as its error: 10 -> 21 (with the event name),
// 11 -> 20, 12 -> 17, 13 -> 22 (with the parameter name). Other codes record nothing.
void KLVRecordArrayParameterError(KLVParameters& parameters, std::int64_t arrayFailureCode,
                                  std::string_view parameterName,
                                  std::optional<std::string_view> eventName);

// The first `limit` code points followed by "..." when the text is longer; else the text.
std::string KLVTrimmedErrorName(std::string_view text, std::int64_t limit);

}  // namespace engine
