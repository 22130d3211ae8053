#include "platform/foundation/SystemLocale.h"

#include <time.h>

#include <cmath>
#include <string_view>

#include "platform/foundation/ProcessInfo.h"

namespace platform {

namespace {

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(separator, start), text.size());
        parts.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

std::string languageTagFromLocaleName(const std::string& localeName) {
    std::string tag = localeName.substr(0, localeName.find_first_of(".@"));
    if (tag == "C" || tag == "POSIX") return {};
    for (char& c : tag) {
        if (c == '_') c = '-';
    }
    return tag;
}

std::vector<std::string> preferredLanguages() {
    const auto& info = ProcessInfo::processInfo();
    std::vector<std::string> languages;
    if (const auto list = info.environmentValue("LANGUAGE")) {
        for (const auto& name : split(*list, ':')) {
            if (auto tag = languageTagFromLocaleName(name); !tag.empty()) {
                languages.push_back(std::move(tag));
            }
        }
        if (!languages.empty()) return languages;
    }
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const auto value = info.environmentValue(variable);
        if (!value || value->empty()) continue;
        if (auto tag = languageTagFromLocaleName(*value); !tag.empty()) languages.push_back(tag);
        break;
    }
    if (languages.empty()) languages.emplace_back("en");
    return languages;
}

std::int64_t secondsFromGMT(double secondsSince1970) {
    // Beyond the range of time_t the conversion itself would be undefined; no zone applies.
    static_assert(sizeof(time_t) == 8, "time_t is a 64-bit count of seconds");
    constexpr double kTimeLimit = 9223372036854775808.0;  // 2^63
    if (!std::isfinite(secondsSince1970) || secondsSince1970 >= kTimeLimit ||
        secondsSince1970 < -kTimeLimit) {
        return 0;
    }
    const auto now = static_cast<time_t>(std::floor(secondsSince1970));
    struct tm local {};
    if (!localtime_r(&now, &local)) return 0;
    return static_cast<std::int64_t>(local.tm_gmtoff);
}

}  // namespace platform
