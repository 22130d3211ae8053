#include "engine/base/KLVDictionaryQuery.h"

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/base/KLVStringAdditions.h"
#include "platform/foundation/Format.h"

namespace engine {

namespace {

// Characters left as they are: those a query allows, less the three that would change the
// meaning of a key or value.
bool isAllowedInQueryComponent(unsigned char c) {
    static constexpr std::string_view kAllowedPunctuation = "!$'()*,-./:;?@_~";
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return kAllowedPunctuation.find(static_cast<char>(c)) != std::string_view::npos;
}

std::string percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (isAllowedInQueryComponent(c)) {
            out += ch;
            continue;
        }
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

}  // namespace

std::string klv_queryString(const platform::Dictionary& dictionary) {
    std::string query;
    for (const auto& [key, value] : dictionary) {
        if (!query.empty()) query += '&';
        query += percentEncode(key);
        query += '=';
        query += percentEncode(platform::displayText(value));
    }
    return query;
}

platform::Dictionary klv_dictionaryWithHttpArgumentsString(std::string_view query) {
    platform::Dictionary arguments;
    const auto parts = split(query, '&');
    // Walking backwards with later writes winning keeps the first occurrence of a key.
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        if (part->empty()) continue;
        const std::size_t equals = part->find('=');
        const std::string_view key = part->substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : part->substr(equals + 1);
        arguments.insert_or_assign(klv_stringByUnescapingFromURLArgument(key).value_or(""),
                                   klv_stringByUnescapingFromURLArgument(value).value_or(""));
    }
    return arguments;
}

}  // namespace engine
