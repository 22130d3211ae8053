#pragma once

// The fixed lists that decide which origins, events, parameters and user properties the host's
// other components may use or see through the connector.

#include <set>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

namespace engine {

class TRWConnectorUtils {
  public:
    using NameSet = std::set<std::string, std::less<>>;

    static const NameSet& allowedListenerOrigins();
    static const NameSet& blocklistedOrigins();
    static const NameSet& blocklistedEventNames();
    static const NameSet& blocklistedParameters();
    static const NameSet& blocklistedUserProperties();
    static const NameSet& hiddenEventNames();

    // Components may not log or set properties as the engine's own origins.
    static bool isOriginAllowed(std::string_view origin);
    // "app", or "app+" followed by anything.
    static bool isAppOrigin(std::string_view origin);
    static bool isListenerOriginAllowed(std::string_view origin);
    static bool isEventNameAllowedForListeners(std::string_view name);
    static bool shouldLogEventWithName(std::string_view name,
                                       const platform::Dictionary& parameters);
    // "_ln" only for "jux" and "qorv"; never a blocklisted name, "_ltv_" with three upper-case
    // letters, or "_cc1" to "_cc5".
    static bool isUserPropertyAllowed(std::string_view name, std::string_view origin);
    // Public names, and "_fot".
    static bool isUserPropertyAllowedForQuery(std::string_view name);
};

}  // namespace engine
