#pragma once

// The engine's fixed names beside the event-name tables of KLVEventNameMap.h: the internal
// parameters events carry, the error codes an event records about its own parameters (or that an
// internal "_err" event reports), the e-commerce events and standard item parameters, and the
// small name predicates the event pipeline asks. Every table is built once and never changes.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "engine/base/KLVEventNameMap.h"

namespace engine {

// Internal parameters.
inline constexpr char kKLVOriginParameter[] = "_o";
inline constexpr char kKLVConversionParameter[] = "_c";
inline constexpr char kKLVRealtimeParameter[] = "_r";
inline constexpr char kKLVDebugParameter[] = "_dbg";
inline constexpr char kKLVErrorParameter[] = "_err";       // int64 error code
inline constexpr char kKLVErrorValueParameter[] = "_ev";   // the offending name, cut
inline constexpr char kKLVErrorLengthParameter[] = "_el";  // length of the offending value
inline constexpr char kKLVScreenIDParameter[] = "_si";
inline constexpr char kKLVScreenClassParameter[] = "_sc";
inline constexpr char kKLVScreenNameParameter[] = "_sn";

// The internal error event's name, and the origins of the app's and the engine's own events.
inline constexpr char kKLVErrorEventName[] = "_err";
inline constexpr char kKLVAppOrigin[] = "app";
inline constexpr char kKLVAutoOrigin[] = "auto";

// The error codes, with the names the event's debug description prints. 24 to 27 have no name.
#define KLV_EVENT_ERRORS(X)               \
    X(0, NoError)                         \
    X(1, InvalidZKTAppID)                 \
    X(2, InvalidEventName)                \
    X(3, InvalidParameterName)            \
    X(4, InvalidParameterValue)           \
    X(5, ParameterLimitReached)           \
    X(6, InvalidUserPropertyName)         \
    X(7, UserPropertyValueTooLong)        \
    X(8, EventLimitReached)               \
    X(9, UserPropertyLimitReached)        \
    X(10, ConversionEventLimitReached)    \
    X(11, EventIsBlocked)                 \
    X(12, UserPropertyIsBlocked)          \
    X(13, EventNameIsReserved)            \
    X(14, ParameterNameIsReserved)        \
    X(15, UserPropertyNameIsReserved)     \
    X(16, PublicEventLimitReached)        \
    X(17, TooManyExtraParamEvents)        \
    X(18, ValueIsNotNumeric)              \
    X(19, CurrencyCodeIsMissingOrInvalid) \
    X(20, InvalidArrayParamName)          \
    X(21, InvalidArrayParamEventName)     \
    X(22, InvalidArrayParamNesting)       \
    X(23, CustomParamsInArrayElement)     \
    X(28, ItemScopedCustomParameterLimitReached)

enum KLVEventError : std::int64_t {
#define KLV_EVENT_ERROR_ENUM(code, name) kKLVEventError##name = code,
    KLV_EVENT_ERRORS(KLV_EVENT_ERROR_ENUM)
#undef KLV_EVENT_ERROR_ENUM
};

// Error code to name, 25 entries.
const std::map<std::int64_t, std::string_view>& errorCodeNames();

// The one public event name apps may log although the engine knows it: "ad_impression" -> "_ai".
const KLVEventNameTable& adImpressionEventNameMap();

// The 20 e-commerce events, the only ones that may carry an "items" array.
bool KLVIsArrayParameterEvent(std::string_view eventName);
// The 33 standard item parameters; every other public name inside an item is a custom one.
bool KLVIsItemParameterName(std::string_view name);

// Not the internal error event's name.
bool KLVIsNotErrorEventName(std::string_view name);
// "ecommerce_purchase", "_f", "_iap", "purchase" or "refund".
bool KLVIsPurchaseEventName(std::string_view name);

// Holds "_si", "_sc" or "_sn".
template <typename Map>
bool KLVHasScreenParameters(const Map& parameters) {
    return parameters.contains(kKLVScreenIDParameter) ||
           parameters.contains(kKLVScreenClassParameter) ||
           parameters.contains(kKLVScreenNameParameter);
}

// A new dictionary with just those of "_sn", "_sc" and "_si" that are present.
template <typename Map>
Map KLVScreenParameters(const Map& parameters) {
    Map screen;
    for (const char* name :
         {kKLVScreenNameParameter, kKLVScreenClassParameter, kKLVScreenIDParameter}) {
        if (const auto found = parameters.find(name); found != parameters.end()) {
            screen.insert(*found);
        }
    }
    return screen;
}

}  // namespace engine
