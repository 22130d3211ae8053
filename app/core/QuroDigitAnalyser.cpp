#include "app/core/QuroDigitAnalyser.h"

#include <algorithm>
#include <optional>

#include "app/core/NumberText.h"

namespace app {
namespace {

// The last non-empty piece of the text split at ".", when it has a "." at all: "1.5" gives "5",
// "1." gives "1".
std::string fractionalText(const std::string& text) {
    if (text.find('.') == std::string::npos) return "";
    const auto end = text.find_last_not_of('.');
    if (end == std::string::npos) return "";
    const auto point = text.rfind('.', end);
    const auto start = point == std::string::npos ? 0 : point + 1;
    return text.substr(start, end + 1 - start);
}

std::optional<std::size_t> usableLength(const std::string& text) {
    const std::string fraction = fractionalText(text);
    if (!parseInteger(fraction)) return std::nullopt;
    return fraction.size();  // digits and a sign only, so bytes are characters
}

}  // namespace

double QuroDigitAnalyser::maxDecimalPlaces(const std::string& first, const std::string& second) {
    const auto a = usableLength(first);
    const auto b = usableLength(second);
    return static_cast<double>(std::max(a.value_or(0), b.value_or(0)));
}

}  // namespace app
