#include "app/core/NumberText.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace app {
namespace {

// A positive finite magnitude as 0.<digits> × 10^pointPosition.
struct DecimalDigits {
    std::string digits;
    int pointPosition = 0;
};

std::string toChars(double value, std::chars_format format) {
    std::array<char, 512> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, format);
    return std::string(buffer.data(), result.ptr);
}

std::string toChars(double value, std::chars_format format, int precision) {
    std::array<char, 512> buffer{};
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, format, precision);
    return std::string(buffer.data(), result.ptr);
}

int parseExponent(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int exponent = 0;
    std::from_chars(text.data(), text.data() + text.size(), exponent);
    return exponent;
}

DecimalDigits shortestDigits(double magnitude) {
    const std::string scientific = toChars(magnitude, std::chars_format::scientific);
    const auto e = scientific.find('e');
    DecimalDigits result;
    for (const char c : std::string_view(scientific).substr(0, e)) {
        if (c != '.') result.digits.push_back(c);
    }
    result.pointPosition = parseExponent(std::string_view(scientific).substr(e + 1)) + 1;
    return result;
}

void roundHalfEven(DecimalDigits& d, int fractionDigits) {
    const long keep = static_cast<long>(d.pointPosition) + fractionDigits;
    if (keep >= static_cast<long>(d.digits.size())) return;
    if (keep < 0) {
        d.digits.clear();
        return;
    }
    const auto k = static_cast<std::size_t>(keep);
    const char first = d.digits[k];
    const bool restNonZero = d.digits.find_first_not_of('0', k + 1) != std::string::npos;
    const bool lastOdd = k > 0 && (d.digits[k - 1] - '0') % 2 == 1;
    const bool up = first > '5' || (first == '5' && (restNonZero || lastOdd));
    d.digits.resize(k);
    if (!up) return;
    std::size_t i = k;
    while (i > 0 && d.digits[i - 1] == '9') {
        d.digits[i - 1] = '0';
        --i;
    }
    if (i > 0) {
        ++d.digits[i - 1];
    } else {
        d.digits.insert(d.digits.begin(), '1');
        ++d.pointPosition;
    }
}

std::string render(DecimalDigits d) {
    while (!d.digits.empty() && d.digits.back() == '0')
        d.digits.pop_back();
    if (d.digits.empty()) return "0";
    const long length = static_cast<long>(d.digits.size());
    const long point = d.pointPosition;
    std::string integerPart = "0";
    std::string fractionPart;
    if (point <= 0) {
        fractionPart = std::string(static_cast<std::size_t>(-point), '0') + d.digits;
    } else if (point >= length) {
        integerPart = d.digits + std::string(static_cast<std::size_t>(point - length), '0');
    } else {
        integerPart = d.digits.substr(0, static_cast<std::size_t>(point));
        fractionPart = d.digits.substr(static_cast<std::size_t>(point));
    }
    return fractionPart.empty() ? integerPart : integerPart + "." + fractionPart;
}

std::size_t countDigits(std::string_view text, std::size_t from) {
    std::size_t i = from;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    return i - from;
}

}  // namespace

std::string formatDecimal(double value, int maximumFractionDigits) {
    if (std::isnan(value)) return "NaN";
    const std::string sign = std::signbit(value) ? "-" : "";
    if (std::isinf(value)) return sign + "\u221E";
    if (value == 0) return sign + "0";
    DecimalDigits digits = shortestDigits(std::fabs(value));
    roundHalfEven(digits, maximumFractionDigits < 0 ? 0 : maximumFractionDigits);
    return sign + render(std::move(digits));
}

std::string formatG(double value, int precision) {
    return toChars(value, std::chars_format::general, precision);
}

double roundToSignificantDigits(double value, int significantDigits) {
    if (!std::isfinite(value)) return value;
    const std::string text = formatG(value, significantDigits);
    double rounded = value;
    std::from_chars(text.data(), text.data() + text.size(), rounded);
    return rounded;
}

std::string plainDecimalText(double value, int significantDigits) {
    if (!std::isfinite(value)) return formatG(value, significantDigits);
    return toChars(roundToSignificantDigits(value, significantDigits), std::chars_format::fixed);
}

std::string shortestDescription(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    const double magnitude = std::fabs(value);
    // Like the phone's standard text of a double: plain notation from 1e-4 up to 2^53, an exponent
    // outside that range.
    if (magnitude != 0 && (magnitude < 1e-4 || magnitude >= 9007199254740992.0)) {
        return toChars(value, std::chars_format::scientific);
    }
    std::string text = toChars(value, std::chars_format::fixed);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string formatInteger(std::int64_t value) {
    std::array<char, 24> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

std::optional<double> parseInputNumber(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t integerStart = i;
    const std::size_t integerDigits = countDigits(text, i);
    i += integerDigits;
    std::size_t fractionDigits = 0;
    if (i < text.size() && text[i] == '.') {
        fractionDigits = countDigits(text, i + 1);
        i += 1 + fractionDigits;
    }
    if (i != text.size() || integerDigits + fractionDigits == 0) return std::nullopt;

    // Written out again in the one form every reader takes: "-", digits, "." and digits.
    std::string normalised = negative ? "-" : "";
    normalised += integerDigits ? text.substr(integerStart, integerDigits) : "0";
    if (fractionDigits) {
        normalised += ".";
        normalised += text.substr(integerStart + integerDigits + 1, fractionDigits);
    }
    double value = 0;
    const auto result = std::from_chars(normalised.data(), normalised.data() + normalised.size(),
                                        value, std::chars_format::fixed);
    if (result.ec != std::errc() || result.ptr != normalised.data() + normalised.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    std::int64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace app
