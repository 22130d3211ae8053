#include "engine/script/KLVPText.h"

#include <unicode/uchar.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

#include "platform/foundation/Text.h"

namespace engine {

std::u16string KLVPUTF16FromUTF8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t offset = 0; offset < text.size();) {
        const platform::DecodedUTF8 decoded = platform::decodeUTF8(text, offset);
        offset += decoded.length;
        const char32_t c = decoded.codePoint;
        if (c < 0x10000) {
            out.push_back(static_cast<char16_t>(c));
        } else {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    }
    return out;
}

std::string KLVPUTF8FromUTF16(std::u16string_view text) {
    return platform::fromUTF16(text);
}

std::u16string KLVPUTF16FromASCII(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

namespace {

// The shortest round-trip digits of a finite, non-zero |value| and its decimal exponent: value =
// d.ddd x 10^exponent.
struct ShortestDigits {
    std::string digits;
    int exponent = 0;
};

ShortestDigits shortestDigits(double magnitude) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = text.find('e');
    ShortestDigits out;
    for (char c : text.substr(0, e)) {
        if (c != '.') out.digits.push_back(c);
    }
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                    out.exponent);
    return out;
}

// Built by appending: GCC 12 at -O3 misreads concatenations of temporaries (-Wrestrict).
void appendDecimalNotation(std::string& out, const ShortestDigits& d) {
    const int count = static_cast<int>(d.digits.size());
    if (d.exponent < 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out.append(d.digits);
    } else if (d.exponent >= count - 1) {
        out.append(d.digits);
        out.append(static_cast<std::size_t>(d.exponent - (count - 1)), '0');
    } else {
        const auto point = static_cast<std::size_t>(d.exponent + 1);
        out.append(d.digits, 0, point);
        out.push_back('.');
        out.append(d.digits, point);
    }
}

void appendExponentNotation(std::string& out, const ShortestDigits& d) {
    out.push_back(d.digits[0]);
    if (d.digits.size() > 1) {
        out.push_back('.');
        out.append(d.digits, 1);
    }
    out.append(d.exponent < 0 ? "e-" : "e+");
    out.append(std::to_string(std::abs(d.exponent)));
}

bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Scans [sign] digits [. digits] [e|E [sign] digits] over the whole text into ASCII for
// from_chars (which takes no "+"); false when the text is anything else.
bool scanDecimal(std::u16string_view text, std::string& ascii, bool& negative) {
    std::size_t i = 0;
    negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    std::size_t mantissaDigits = 0;
    for (; i < text.size() && isDigit(text[i]); ++i, ++mantissaDigits)
        ascii.push_back(static_cast<char>(text[i]));
    if (i < text.size() && text[i] == u'.') {
        ascii.push_back('.');
        for (++i; i < text.size() && isDigit(text[i]); ++i, ++mantissaDigits)
            ascii.push_back(static_cast<char>(text[i]));
    }
    if (mantissaDigits == 0) return false;
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        ascii.push_back('e');
        ++i;
        if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
            ascii.push_back(static_cast<char>(text[i++]));
        std::size_t exponentDigits = 0;
        for (; i < text.size() && isDigit(text[i]); ++i, ++exponentDigits)
            ascii.push_back(static_cast<char>(text[i]));
        if (exponentDigits == 0) return false;
    }
    return i == text.size();
}

// For a decimal text that from_chars found out of range: whether it is too large (else it is
// too small). The value is 0.ddd x 10^e with e from the position of the first non-zero digit.
bool overflows(std::string_view ascii) {
    const std::size_t ePos = ascii.find('e');
    const std::string_view mantissa = ascii.substr(0, ePos);
    long long exponent = 0;
    if (ePos != std::string_view::npos) {
        const char* begin = ascii.data() + ePos + 1;
        if (*begin == '+') ++begin;
        if (std::from_chars(begin, ascii.data() + ascii.size(), exponent).ec != std::errc())
            return *begin != '-';  // an exponent beyond 64 bits decides alone
    }
    const std::size_t point = mantissa.find('.');
    const std::size_t integerDigits = point == std::string_view::npos ? mantissa.size() : point;
    const std::size_t firstNonZero = mantissa.find_first_not_of("0.");
    if (firstNonZero == std::string_view::npos) return false;
    const long long position = firstNonZero < integerDigits
                                   ? static_cast<long long>(integerDigits - firstNonZero)
                                   : -static_cast<long long>(firstNonZero - integerDigits - 1);
    return exponent + position > 0;
}

}  // namespace

std::string KLVPNumberText(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    if (value == 0) return "0";
    const double magnitude = std::fabs(value);
    const ShortestDigits digits = shortestDigits(magnitude);
    std::string text;
    if (value < 0) text.push_back('-');
    if (magnitude >= 1e-6 && magnitude < 1e21) {
        appendDecimalNotation(text, digits);
    } else {
        appendExponentNotation(text, digits);
    }
    return text;
}

bool KLVPIsTrimmedBlank(char16_t unit) {
    if ((unit >= 0x09 && unit <= 0x0D) || unit == 0x85) return true;
    return (U_GET_GC_MASK(unit) & U_GC_Z_MASK) != 0;
}

double KLVPNumberFromText(std::u16string_view text) {
    while (!text.empty() && KLVPIsTrimmedBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && KLVPIsTrimmedBlank(text.back()))
        text.remove_suffix(1);
    if (text.empty()) return 0;
    if (text == u"NaN") return std::numeric_limits<double>::quiet_NaN();
    if (text == u"Infinity") return std::numeric_limits<double>::infinity();
    if (text == u"-Infinity") return -std::numeric_limits<double>::infinity();

    std::string ascii;
    bool negative = false;
    if (!scanDecimal(text, ascii, negative)) return std::numeric_limits<double>::quiet_NaN();
    double value = 0;
    const auto result = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        value = overflows(ascii) ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
}

}  // namespace engine
