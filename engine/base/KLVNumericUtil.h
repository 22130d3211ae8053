#pragma once

// Decimal-number strings and secure random numbers.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

// A decimal number as the phone's decimal type keeps it: up to 38 significant digits and a
// power-of-ten exponent, so that "0.1" stays exactly 0.1.
struct KLVDecimalNumber {
    bool negative = false;
    std::string digits = "0";  // significant digits, no leading or trailing zeros ("0" for zero)
    int exponent = 0;          // value = digits * 10^exponent

    // The canonical text: "1.5" for 1.50, "7" for 007, "0.5" for .5, "-0.25", "1200".
    std::string stringValue() const;
    double doubleValue() const;

    friend bool operator==(const KLVDecimalNumber&, const KLVDecimalNumber&) = default;
};

// For failure messages: the digits and exponent as they are kept, "KLVDecimalNumber{-125e-2}",
// so that two numbers of one value but different digits print apart.
void PrintTo(const KLVDecimalNumber& number, std::ostream* os);

// The exact order of two decimal numbers: negative, zero or positive as `a` is below, equal to
// or above `b`. No double is involved, so 0.1 and 0.10 are equal and 0.1 is below
// 0.1000000000000000000000000000000000001.
int KLVCompareDecimalNumbers(const KLVDecimalNumber& a, const KLVDecimalNumber& b);

// The integer as a decimal number (every 64-bit integer fits).
KLVDecimalNumber KLVDecimalNumberFromInt64(std::int64_t value);

// True for a non-empty text of an optional sign, digits and at most one point ("12", "+12",
// "-0.5", ".5", "5."); false for exponents, commas, blanks and the empty text.
bool KLVIsDecimalNumberString(std::string_view text);

// The decimal number of the text, or nullopt (logged, codes 26001-26003) when the text is not a
// decimal number string or holds more digits than the decimal type keeps.
std::optional<KLVDecimalNumber> KLVDecimalNumberFromString(std::string_view text);

class KLVNumericUtil {
  public:
    // Eight bytes from the system's secure random source as a signed number. When the source
    // fails (logged, code 26004) the answer is what it wrote, 0 unless it wrote part.
    static std::int64_t randomInt64();
};

}  // namespace engine
