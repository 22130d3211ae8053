#pragma once

// JSON text to and from Object, on nlohmann-json.
//
// Reading: whole numbers become integers (an unsigned one beyond the int64 range becomes a
// double), numbers with a fraction or exponent become doubles, true/false become bools and null
// a null object. Any value may stand at the top. A repeated key keeps its last value.
// Writing: dictionaries come out ordered by key, doubles with a fraction part or exponent so that
// they read back as doubles. Data and dates have no JSON form and are refused, as the phone's
// JSON writer refuses them; so are non-finite doubles and strings that are not valid UTF-8.
// Failures are errors in the Cocoa domain with kPropertyListReadCorruptError (reading) or
// kPropertyListWriteInvalidError (writing), the codes the phone uses for JSON too.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace platform {

// Nesting deeper than this is refused on reading and writing.
inline constexpr std::size_t kMaxJSONDepth = 512;
// What reading may build in memory, counted as it reads (every value, key and string); a text
// that would build more is refused. A value of two bytes of text builds an Object of forty, so a
// text is worth its size many times over in memory; this bounds that too.
inline constexpr std::size_t kMaxJSONBuildBytes = 64u << 20;

enum class JSONWriting { Compact, PrettyPrinted };

std::optional<Object> readJSON(std::string_view text, Error* error = nullptr);
std::optional<std::string> writeJSON(const Object& object, JSONWriting style = JSONWriting::Compact,
                                     Error* error = nullptr);

}  // namespace platform
