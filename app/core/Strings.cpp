#include "app/core/Strings.h"

#include <algorithm>

namespace app {

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
    if (from.empty()) return text;
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::vector<std::string> splitDroppingEmpty(std::string_view text, std::string_view separator) {
    if (separator.empty()) {
        if (text.empty()) return {};
        return {std::string(text)};
    }
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = std::min(text.find(separator, start), text.size());
        if (end > start) pieces.emplace_back(text.substr(start, end - start));
        start = end + separator.size();
    }
    return pieces;
}

}  // namespace app
