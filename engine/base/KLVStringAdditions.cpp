#include "engine/base/KLVStringAdditions.h"

#include "platform/foundation/Text.h"
#include "platform/security/MD5.h"

namespace engine {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool isBitEnabledAtIndex(std::string_view text, std::int64_t index) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= platform::utf16Length(text)) {
        return false;
    }
    return platform::substringByUTF16(text, static_cast<std::size_t>(index), 1) == "1";
}

std::optional<std::string> klv_MD5String(std::string_view text) {
    if (!platform::isValidUTF8(text)) return std::nullopt;
    const auto digest = platform::md5Digest(text);
    if (!digest) return std::nullopt;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(32);
    for (const auto byte : *digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    return hex;
}

std::optional<std::string> klv_stringByUnescapingFromURLArgument(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c != '%') {
            out += c;
        } else {
            if (text.size() - i < 3) return std::nullopt;  // "%" needs two hex digits
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    if (!platform::isValidUTF8(out)) return std::nullopt;
    return out;
}

std::size_t klv_UTF32Length(std::string_view text) {
    return platform::codePointCount(text);
}

bool klv_getUTF32Bytes(std::string_view text, std::span<std::uint8_t> buffer) {
    std::size_t written = 0;
    for (std::size_t offset = 0; offset < text.size();) {
        if (buffer.size() - written < 4) break;
        const auto decoded = platform::decodeUTF8(text, offset);
        const auto value = static_cast<std::uint32_t>(decoded.codePoint);
        for (int shift = 0; shift < 32; shift += 8) {
            buffer[written++] = static_cast<std::uint8_t>(value >> shift);
        }
        offset += decoded.length;
    }
    return written > 0;
}

}  // namespace engine
