#pragma once

// Number to text and text to number for the calculation core, independent of the C locale. The
// steps of a solution must read the same on every machine, so nothing here consults setlocale.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace app {

// The app's number formatter: decimal style as in en_US, without grouping separators, at most
// `maximumFractionDigits` fraction digits (no trailing zeros), halves rounded to even on the
// shortest decimal text of the value. NaN is "NaN", the infinities "∞" and "-∞"; a negative value
// that rounds to zero keeps its sign ("-0").
std::string formatDecimal(double value, int maximumFractionDigits);

// What the C format "%.<precision>g" writes (precision 6 is plain "%g"): "1.5", "1e+06", "inf".
std::string formatG(double value, int precision = 6);

// The value of formatG(value, significantDigits) read back: `value` rounded to that many
// significant digits. Infinities and NaN come back unchanged.
double roundToSignificantDigits(double value, int significantDigits);

// `value` rounded to `significantDigits` significant digits, written in full without exponent:
// 1.5e-07 gives "0.00000015", 2e20 gives "200000000000000000000". Not-finite values as formatG.
std::string plainDecimalText(double value, int significantDigits);

// The shortest text that reads back as the same double, always with a fractional part or an
// exponent: "2.0", "0.5", "-1.0", "1e-05", "1e+16", "nan", "inf".
std::string shortestDescription(double value);

// Decimal text of a whole number.
std::string formatInteger(std::int64_t value);

// A typed number: an optional "+" or "-", digits, an optional "." and more digits, at least one
// digit in all ("5", "+5", ".5", "5.", "-0.25"). Blanks, exponents, hexadecimal, "inf" and "nan"
// are refused, and so is a number beyond the range of a double (it would not stay what was typed).
std::optional<double> parseInputNumber(std::string_view text);

// Base-10 integer: an optional "+" or "-" and one or more digits, within the signed 64-bit range.
std::optional<std::int64_t> parseInteger(std::string_view text);

}  // namespace app
