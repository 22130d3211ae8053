#pragma once

// Text as the rule runtime keeps it: UTF-16 inside (lengths, indexes and single units are the
// program's), UTF-8 at every border. Numbers become text and text numbers here, without the C
// locale.

#include <cstddef>
#include <string>
#include <string_view>

namespace engine {

// The longest text a program may make, in UTF-16 units.
inline constexpr std::size_t kKLVPMaxTextLength = std::size_t{1} << 20;

// Ill-formed UTF-8 becomes U+FFFD, one per maximal ill-formed subsequence.
std::u16string KLVPUTF16FromUTF8(std::string_view text);
// Lone surrogates become U+FFFD.
std::string KLVPUTF8FromUTF16(std::u16string_view text);
// ASCII text (numbers, names of the runtime) to UTF-16 without decoding.
std::u16string KLVPUTF16FromASCII(std::string_view text);

// The number's text: "NaN", "Infinity", "-Infinity", "0" for either zero; otherwise the shortest
// digits that read back as the same double, in decimal notation for 1e-6 <= |x| < 1e21 and as
// mantissa, "e+" or "e-" and exponent outside it.
std::string KLVPNumberText(double value);

// The text's number: blanks trimmed at both ends (Unicode separators, U+0009 to U+000D, U+0085);
// empty text is 0; "NaN", "Infinity" and "-Infinity" as named; otherwise one decimal number
// (optional sign, digits, fraction, exponent) that must fill the whole text, else NaN.
double KLVPNumberFromText(std::u16string_view text);

// One of the blanks that KLVPNumberFromText trims.
bool KLVPIsTrimmedBlank(char16_t unit);

}  // namespace engine
