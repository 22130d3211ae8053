#include "platform/foundation/Text.h"

#include <algorithm>

namespace platform {

namespace {

// Well-formed UTF-8 lead bytes with the length of their sequence and the range allowed for the
// second byte (the later ones are always 80..BF). Lead bytes not listed are ill formed.
struct LeadRule {
    std::uint8_t first, last;
    std::uint8_t length;
    std::uint8_t secondLow, secondHigh;
};

constexpr LeadRule kLeadRules[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

const LeadRule* leadRule(std::uint8_t byte) {
    for (const auto& rule : kLeadRules) {
        if (byte >= rule.first && byte <= rule.last) return &rule;
    }
    return nullptr;
}

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}
char asciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c;
}

std::size_t unitsOf(char32_t codePoint) {
    return codePoint > 0xFFFF ? 2 : 1;
}

// end of a [start, start + length) range without overflow
std::size_t rangeEnd(std::size_t start, std::size_t length) {
    return length > SIZE_MAX - start ? SIZE_MAX : start + length;
}

bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

DecodedUTF8 decodeUTF8(std::string_view text, std::size_t offset) {
    const auto lead = static_cast<std::uint8_t>(text[offset]);
    if (lead < 0x80) return {lead, 1, true};
    const LeadRule* rule = leadRule(lead);
    if (!rule) return {};
    char32_t value = lead & (0x7F >> rule->length);
    for (std::size_t i = 1; i < rule->length; ++i) {
        // A truncated or broken sequence is one replacement for the bytes read so far.
        if (offset + i >= text.size()) return {kReplacementCharacter, i, false};
        const auto byte = static_cast<std::uint8_t>(text[offset + i]);
        const std::uint8_t low = i == 1 ? rule->secondLow : 0x80;
        const std::uint8_t high = i == 1 ? rule->secondHigh : 0xBF;
        if (byte < low || byte > high) return {kReplacementCharacter, i, false};
        value = (value << 6) | (byte & 0x3F);
    }
    return {value, rule->length, true};
}

void appendUTF8(std::string& out, char32_t codePoint) {
    if ((codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) {
        codePoint = kReplacementCharacter;
    }
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

bool isValidUTF8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto decoded = decodeUTF8(text, i);
        if (!decoded.valid) return false;
        i += decoded.length;
    }
    return true;
}

std::string toValidUTF8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto decoded = decodeUTF8(text, i);
        if (decoded.valid) {
            out.append(text.substr(i, decoded.length));
        } else {
            appendUTF8(out, kReplacementCharacter);
        }
        i += decoded.length;
    }
    return out;
}

std::size_t codePointCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        i += decodeUTF8(text, i).length;
    }
    return count;
}

std::size_t utf16Length(std::string_view text) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto decoded = decodeUTF8(text, i);
        units += unitsOf(decoded.codePoint);
        i += decoded.length;
    }
    return units;
}

std::string substringByCodePoints(std::string_view text, std::size_t start, std::size_t length) {
    const std::size_t end = rangeEnd(start, length);
    std::size_t index = 0;
    std::size_t byteStart = text.size();
    std::size_t i = 0;
    for (; i < text.size() && index < end; ++index) {
        if (index == start) byteStart = i;
        i += decodeUTF8(text, i).length;
    }
    if (byteStart >= i) return {};
    return std::string(text.substr(byteStart, i - byteStart));
}

std::string substringByUTF16(std::string_view text, std::size_t start, std::size_t length) {
    const std::size_t end = rangeEnd(start, length);
    std::string out;
    std::size_t unit = 0;
    for (std::size_t i = 0; i < text.size() && unit < end;) {
        const auto decoded = decodeUTF8(text, i);
        const std::size_t units = unitsOf(decoded.codePoint);
        std::size_t inside = 0;
        for (std::size_t u = unit; u < unit + units; ++u) {
            inside += (u >= start && u < end);
        }
        if (inside == units) {
            out.append(text.substr(i, decoded.length));
        } else if (inside > 0) {
            appendUTF8(out, kReplacementCharacter);
        }
        unit += units;
        i += decoded.length;
    }
    return out;
}

std::string fromUTF16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            appendUTF8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else {
            appendUTF8(out, unit);  // a lone surrogate turns into U+FFFD here
        }
    }
    return out;
}

std::string asciiLowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), asciiLower);
    return out;
}

std::string asciiUppercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), asciiUpper);
    return out;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && compareIgnoringASCIICase(a, b) == 0;
}

int compareIgnoringASCIICase(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(asciiLower(a[i]));
        const auto y = static_cast<unsigned char>(asciiLower(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace platform
