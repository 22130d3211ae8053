#pragma once

// The Boolean reading of a value, as the phone's number and string objects answer it.

#include <optional>
#include <string_view>

#include "platform/foundation/Object.h"

namespace engine {

// A string is true when, after leading blanks, an optional sign and leading zeros, its next
// character is Y, y, T, t or a digit 1 to 9 ("YES", "true", " +01"); false otherwise.
bool KLVStringBoolValue(std::string_view text);

// Numbers are true when not zero, strings as above; nothing for any other value.
std::optional<bool> KLVBoolValue(const platform::Object& value);

}  // namespace engine
