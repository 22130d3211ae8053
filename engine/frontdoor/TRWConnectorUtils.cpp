#include "engine/frontdoor/TRWConnectorUtils.h"

#include <algorithm>
#include <regex>

namespace engine {

namespace {

bool containsAnyKey(const platform::Dictionary& parameters,
                    const TRWConnectorUtils::NameSet& keys) {
    return std::any_of(keys.begin(), keys.end(),
                       [&](const std::string& key) { return parameters.contains(key); });
}

}  // namespace

const TRWConnectorUtils::NameSet& TRWConnectorUtils::allowedListenerOrigins() {
    static const NameSet set{"qorv", "crash", "krv"};
    return set;
}

const TRWConnectorUtils::NameSet& TRWConnectorUtils::blocklistedOrigins() {
    static const NameSet set{"auto", "app", "vu"};
    return set;
}

const TRWConnectorUtils::NameSet& TRWConnectorUtils::blocklistedEventNames() {
    static const NameSet set{"_e", "_f", "_iap", "_s", "_au"};
    return set;
}

const TRWConnectorUtils::NameSet& TRWConnectorUtils::blocklistedParameters() {
    static const NameSet set{"_r", "_dbg"};
    return set;
}

const TRWConnectorUtils::NameSet& TRWConnectorUtils::blocklistedUserProperties() {
    static const NameSet set{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
    return set;
}

const TRWConnectorUtils::NameSet& TRWConnectorUtils::hiddenEventNames() {
    static const NameSet set{"_xa",
                             "_xu",
                             "_aq",
                             "_aa",
                             "_ai",
                             "_ac",
                             "campaign_details",
                             "_iapx",
                             "_ug",
                             "_exp_set",
                             "_exp_clear",
                             "_exp_activate",
                             "_exp_timeout",
                             "_exp_expire"};
    return set;
}

bool TRWConnectorUtils::isOriginAllowed(std::string_view origin) {
    return !blocklistedOrigins().contains(origin);
}

bool TRWConnectorUtils::isAppOrigin(std::string_view origin) {
    return origin == "app" || origin.starts_with("app+");
}

bool TRWConnectorUtils::isListenerOriginAllowed(std::string_view origin) {
    return allowedListenerOrigins().contains(origin);
}

bool TRWConnectorUtils::isEventNameAllowedForListeners(std::string_view name) {
    return !hiddenEventNames().contains(name);
}

bool TRWConnectorUtils::shouldLogEventWithName(std::string_view name,
                                               const platform::Dictionary& parameters) {
    if (name.empty() || blocklistedEventNames().contains(name)) return false;
    return !containsAnyKey(parameters, blocklistedParameters());
}

bool TRWConnectorUtils::isUserPropertyAllowed(std::string_view name, std::string_view origin) {
    if (name.empty()) return false;
    if (name == "_ln") return origin == "jux" || origin == "qorv";
    if (blocklistedUserProperties().contains(name)) return false;
    static const std::regex patterns[] = {std::regex("^_ltv_[A-Z]{3}$"),
                                          std::regex("^_cc[1-5]{1}$")};
    const std::string text(name);
    return std::none_of(std::begin(patterns), std::end(patterns), [&](const std::regex& pattern) {
        return std::regex_search(text, pattern);
    });
}

bool TRWConnectorUtils::isUserPropertyAllowedForQuery(std::string_view name) {
    if (name.empty()) return false;
    return name == "_fot" || !name.starts_with('_');
}

}  // namespace engine
