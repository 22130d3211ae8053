#pragma once

// Experiment flags as plain values: the experiments manager builds a KLVPBFlag from a name and a
// value when a client library registers its default flags, and reads a flag's value back when it
// looks a flag up in a snapshot.

#include <cstdint>
#include <optional>
#include <string>

#include "engine/messages/KLVPBMessages.h"
#include "platform/foundation/Object.h"

namespace engine {

// The flag's value: the first present of int_value (Integer), double_value (Double), string_value
// (String) and bool_value (Bool); a null object for a null flag or when none is present.
platform::Object KLVPBFlagValue(const KLVPBFlag* flag);

// Why a flag could not be built. The experiments manager logs it through its monitor at level 1
// with this code, message and context.
struct KLVPBFlagFailure {
    std::int64_t code = 0;
    std::string message;
    std::string context;  // the offending object's type name; empty when there is none
};

// A flag with the name and the value: a String value goes to string_value, a Double to
// double_value, any other number (Integer or Bool) to int_value; bool_value is never written.
// Nullopt, with `failure` filled, for a null name (850000 "Flag name must not be nil"), a name that
// is not a string (850001 "Flag name must be a string") or a value that is neither a number nor a
// string (850002 "Flag value is invalid").
std::optional<KLVPBFlag> KLVPBFlagWithNameAndValue(const platform::Object& name,
                                                   const platform::Object& value,
                                                   KLVPBFlagFailure* failure = nullptr);

}  // namespace engine
