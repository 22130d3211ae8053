#include "engine/base/KLVNumericUtil.h"

#include "engine/base/KLVLogLevel.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ostream>
#include <system_error>

#include "engine/base/KLVMonitor.h"
#include "platform/security/Random.h"

namespace engine {

namespace {

// The decimal type's limits: a 38-digit mantissa and a power-of-ten exponent of -128 to 127.
constexpr std::size_t kMaximumDigits = 38;
constexpr int kMinimumExponent = -128;
constexpr int kMaximumExponent = 127;

// The language of ^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$: an optional sign, then digits with at
// most one point and at least one digit. Scanned by hand in one pass: a regular-expression
// engine that recurses per character would overflow the stack on a long enough text.
bool matchesDecimalPattern(std::string_view text) {
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    bool seenPoint = false;
    bool seenDigit = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            seenDigit = true;
        } else if (c == '.' && !seenPoint) {
            seenPoint = true;
        } else {
            return false;
        }
    }
    return seenDigit;
}

// Reads a text that passed KLVIsDecimalNumberString; nullopt when the exponent leaves the
// decimal type's range.
std::optional<KLVDecimalNumber> parseDecimal(std::string_view text) {
    KLVDecimalNumber number;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        number.negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    std::string digits = std::string(whole) + std::string(fraction);
    long exponent = -static_cast<long>(fraction.size());
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return KLVDecimalNumber{};  // zero, sign dropped
    digits.erase(0, first);
    while (digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }
    if (digits.size() > kMaximumDigits) {
        // Digits beyond the mantissa are cut, as the decimal type does; the precision check of
        // the caller notices.
        exponent += static_cast<long>(digits.size() - kMaximumDigits);
        digits.resize(kMaximumDigits);
        while (digits.back() == '0') {
            digits.pop_back();
            ++exponent;
        }
    }
    if (exponent < kMinimumExponent || exponent > kMaximumExponent) return std::nullopt;
    number.digits = std::move(digits);
    number.exponent = static_cast<int>(exponent);
    return number;
}

}  // namespace

std::string KLVDecimalNumber::stringValue() const {
    std::string text = negative && digits != "0" ? "-" : "";
    if (exponent >= 0) return text + digits + std::string(static_cast<std::size_t>(exponent), '0');
    const auto fractionDigits = static_cast<std::size_t>(-exponent);
    if (digits.size() > fractionDigits) {
        const std::size_t split = digits.size() - fractionDigits;
        return text + digits.substr(0, split) + "." + digits.substr(split);
    }
    return text + "0." + std::string(fractionDigits - digits.size(), '0') + digits;
}

double KLVDecimalNumber::doubleValue() const {
    const std::string text = digits + "e" + std::to_string(exponent);
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return negative ? -value : value;
}

namespace {

// The order of two magnitudes given as canonical digits and exponents, both non-zero.
int compareMagnitudes(const KLVDecimalNumber& a, const KLVDecimalNumber& b) {
    // The power of ten of the leading digit decides first.
    const long leadA = static_cast<long>(a.digits.size()) + a.exponent;
    const long leadB = static_cast<long>(b.digits.size()) + b.exponent;
    if (leadA != leadB) return leadA < leadB ? -1 : 1;
    // Same leading power: compare digit by digit, a missing digit counting as 0.
    const std::size_t length = std::max(a.digits.size(), b.digits.size());
    for (std::size_t i = 0; i < length; ++i) {
        const char digitA = i < a.digits.size() ? a.digits[i] : '0';
        const char digitB = i < b.digits.size() ? b.digits[i] : '0';
        if (digitA != digitB) return digitA < digitB ? -1 : 1;
    }
    return 0;
}

bool isZero(const KLVDecimalNumber& number) {
    return number.digits == "0";
}

}  // namespace

int KLVCompareDecimalNumbers(const KLVDecimalNumber& a, const KLVDecimalNumber& b) {
    const int signA = isZero(a) ? 0 : (a.negative ? -1 : 1);
    const int signB = isZero(b) ? 0 : (b.negative ? -1 : 1);
    if (signA != signB) return signA < signB ? -1 : 1;
    if (signA == 0) return 0;
    const int magnitude = compareMagnitudes(a, b);
    return signA > 0 ? magnitude : -magnitude;
}

KLVDecimalNumber KLVDecimalNumberFromInt64(std::int64_t value) {
    KLVDecimalNumber number;
    if (value == 0) return number;
    number.negative = value < 0;
    // The magnitude as unsigned, so that the smallest integer has one too.
    std::uint64_t magnitude =
        value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
    int exponent = 0;
    while (magnitude % 10 == 0) {
        magnitude /= 10;
        ++exponent;
    }
    number.digits = std::to_string(magnitude);
    number.exponent = exponent;
    return number;
}

bool KLVIsDecimalNumberString(std::string_view text) {
    return !text.empty() && matchesDecimalPattern(text);
}

std::optional<KLVDecimalNumber> KLVDecimalNumberFromString(std::string_view text) {
    auto& monitor = engine::monitor();
    if (!KLVIsDecimalNumberString(text)) {
        monitor.logWithLevel(kKLVLogErrorSilent, 26001,
                             "String value does not represent a numeric value. Value", text);
        return std::nullopt;
    }
    const auto number = parseDecimal(text);
    if (!number) {
        monitor.logWithLevel(kKLVLogErrorSilent, 26002,
                             "Unable to create a NSDecimalNumber from string value. Value", text);
        return std::nullopt;
    }
    // Every digit kept must show in the text: ".5" and "+.5" read "0.5" for this comparison.
    std::string written(text);
    if (written.starts_with(".") || written.starts_with("+.") || written.starts_with("-.")) {
        written.replace(written.find('.'), 1, "0.");
    }
    KLVDecimalNumber magnitude = *number;
    magnitude.negative = false;
    if (written.find(magnitude.stringValue()) == std::string::npos) {
        monitor.logWithLevel(
            kKLVLogErrorSilent, 26003,
            "Unable to create a NSDecimalNumber from string value: loss of precision. Value", text);
        return std::nullopt;
    }
    return number;
}

std::int64_t KLVNumericUtil::randomInt64() {
    std::array<std::uint8_t, sizeof(std::int64_t)> bytes{};
    if (!platform::randomBytes(bytes)) {
        monitor().logWithLevel(kKLVLogWarningSilent, 26004, "Unable to generate random integer",
                               std::error_code(errno, std::generic_category()).message());
    }
    std::int64_t value = 0;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

void PrintTo(const KLVDecimalNumber& number, std::ostream* os) {
    *os << "KLVDecimalNumber{" << (number.negative ? "-" : "") << number.digits << 'e'
        << number.exponent << '}';
}

}  // namespace engine
