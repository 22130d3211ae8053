#pragma once

// The logger behind the rule runtime's log module: turns the runtime's levels into the
// monitor's and logs every line with code 24005.

#include <cstdint>
#include <string_view>

#include "engine/base/MonitorContext.h"

namespace engine {

class KLVPixieLogger {
  public:
    void logWithLevel(std::int64_t level, std::string_view message, const MonitorContexts& context,
                      bool silent, bool monitored) const;

    // Runtime level 6: 2 when silent, else 1 when monitored, else 0; level 5: 5, 4 or 3 the same
    // way; level 3: 7; level 2: 8; any other: 6.
    static std::int64_t monitorLevel(std::int64_t level, bool silent, bool monitored);
};

}  // namespace engine
