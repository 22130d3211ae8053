#pragma once

// How log lines show event names, parameter names, user-property names and parameter sets. In
// debug mode an internal short name is shown beside its public name ("first_open (_f)") and a
// parameter set is laid out one sorted line per parameter; otherwise every function gives the
// plain text, so that lines outside debug mode stay short.

#include <string>
#include <string_view>

#include "engine/events/KLVValue.h"
#include "platform/foundation/Object.h"

namespace engine {

std::string KLVDebugEventName(std::string_view name);
std::string KLVDebugParameterName(std::string_view name);
std::string KLVDebugUserPropertyName(std::string_view name);

// The parameter set with no indent.
std::string KLVDebugParameters(const KLVParameters& parameters);
std::string KLVDebugParameters(const platform::Dictionary& parameters);
// An object: a dictionary in debug mode is laid out under the indent, anything else is its
// description.
std::string KLVDebugDictionaryText(const platform::Object& object, std::string_view indent);
std::string KLVDebugDictionaryText(const KLVParameters& parameters, std::string_view indent);
// An array of item dictionaries, each laid out with an indent of four blanks.
std::string KLVDebugArrayText(const platform::Object& object);

}  // namespace engine
