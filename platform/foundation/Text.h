#pragma once

// UTF-8 text helpers. Text is UTF-8 in std::string throughout; where a length or position is
// meant in characters, it is counted here in code points or UTF-16 units, never in bytes.
//
// Invalid input never fails: every function decodes ill-formed bytes the way the Unicode
// standard recommends, each maximal ill-formed subsequence standing for one U+FFFD. Counting
// treats such a subsequence as one code point (one UTF-16 unit); slicing by code points keeps
// the original bytes of what it selects.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// One decoded code point: its value (U+FFFD for an ill-formed subsequence), the number of bytes
// it took, and whether those bytes were well formed.
struct DecodedUTF8 {
    char32_t codePoint = kReplacementCharacter;
    std::size_t length = 1;
    bool valid = false;
};

// Decodes the code point that starts at `offset` (which must be less than text.size()).
DecodedUTF8 decodeUTF8(std::string_view text, std::size_t offset);

// Appends the UTF-8 form of `codePoint`; surrogates and values beyond U+10FFFF append U+FFFD.
void appendUTF8(std::string& out, char32_t codePoint);

bool isValidUTF8(std::string_view text);
// The text with every ill-formed subsequence replaced by U+FFFD.
std::string toValidUTF8(std::string_view text);

std::size_t codePointCount(std::string_view text);
// The length the phone's strings report: code points above U+FFFF count two.
std::size_t utf16Length(std::string_view text);

// The code points [start, start + length) of `text`, clamped to its end.
std::string substringByCodePoints(std::string_view text, std::size_t start,
                                  std::size_t length = std::string_view::npos);
// The UTF-16 units [start, start + length), clamped to the end. A surrogate pair cut in half by
// either boundary contributes U+FFFD for the half that is kept.
std::string substringByUTF16(std::string_view text, std::size_t start,
                             std::size_t length = std::string_view::npos);

// UTF-16 (native byte order) to UTF-8; unpaired surrogates become U+FFFD.
std::string fromUTF16(std::u16string_view text);

// ASCII-only case mapping and comparison; bytes outside A-Z/a-z are left alone.
std::string asciiLowercase(std::string_view text);
std::string asciiUppercase(std::string_view text);
bool equalsIgnoringASCIICase(std::string_view a, std::string_view b);
// Negative, zero or positive as `a` sorts before, with or after `b`, ignoring ASCII case.
int compareIgnoringASCIICase(std::string_view a, std::string_view b);

}  // namespace platform
