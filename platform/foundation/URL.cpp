#include "platform/foundation/URL.h"

namespace platform {

namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isSchemeCharacter(char c) {
    return isAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace

URL::URL(std::string text) : text_(std::move(text)) {
    const std::string_view all(text_);
    const auto colon = all.find(':');
    if (colon == std::string_view::npos || colon == 0 || !isAlpha(all[0])) return;
    for (std::size_t i = 0; i < colon; ++i) {
        if (!isSchemeCharacter(all[i])) return;
    }
    // Blanks and control characters make no URL.
    for (const char c : all) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return;
    }
    scheme_ = lowered(all.substr(0, colon));
    std::string_view rest = all.substr(colon + 1);
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        rest = rest.substr(0, hash);
    }
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        query_ = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    if (rest.substr(0, 2) == "//") {
        std::string_view authority = rest.substr(2);
        authority = authority.substr(0, authority.find('/'));
        if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
            authority = authority.substr(at + 1);
        }
        if (!authority.empty() && authority.front() == '[') {
            const auto close = authority.find(']');
            authority = close == std::string_view::npos ? authority.substr(1)
                                                        : authority.substr(1, close - 1);
        } else {
            authority = authority.substr(0, authority.find(':'));
        }
        if (!authority.empty()) host_ = lowered(authority);
    }
}

}  // namespace platform
