#pragma once

// The engine's string helpers: bit strings, MD5 text, URL arguments and UTF-32 lengths. Strings
// are UTF-8; positions are UTF-16 units, as on the phone.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace engine {

// True when 0 <= index < the text's length and the character there is "1".
bool isBitEnabledAtIndex(std::string_view text, std::int64_t index);

// The MD5 of the text's UTF-8 bytes as 32 lower-case hexadecimal digits; nullopt when the text
// is not valid UTF-8 (it could not be converted without loss).
std::optional<std::string> klv_MD5String(std::string_view text);

// "+" becomes a blank, then percent escapes are decoded; nullopt when an escape is malformed or
// the decoded bytes are not valid UTF-8.
std::optional<std::string> klv_stringByUnescapingFromURLArgument(std::string_view text);

// The number of code points (a character outside the basic plane counts once).
std::size_t klv_UTF32Length(std::string_view text);

// Copies the text's UTF-32 little-endian bytes into `buffer`, as many whole characters as fit.
// True when at least one character was copied.
bool klv_getUTF32Bytes(std::string_view text, std::span<std::uint8_t> buffer);

}  // namespace engine
