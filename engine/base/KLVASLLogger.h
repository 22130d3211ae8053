#pragma once

// The monitor's console backend: writes one monitor line to the system log through the utilities
// framework, with the engine's subsystem, the monitor's log tag as category and the message code
// shown as "I-ACS%06ld".

#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

// Unified-log subsystem of every engine line.
inline constexpr char kKLVLogSubsystem[] = "com.nexory.tarnwell.analytics";
// Category of the engine's lines until the front door sets the host's tag.
inline constexpr char kKLVDefaultLogTag[] = "<Brackenfold>";

// A message code as the system log shows it: 23210 -> "I-ACS023210".
std::string KLVMessageCodeText(std::int64_t messageCode);

class KLVASLLogger {
  public:
    virtual ~KLVASLLogger() = default;

    // Writes `message` as it stands (a "%" in it is never read as a format). Engine level 7 is
    // forced through whatever the utilities logger's threshold.
    virtual void logMessage(std::string_view message, std::string_view logTag,
                            std::int64_t messageCode, std::int64_t logLevel);

    // Engine level (0 to 8) to the utilities logger's level (3 error, 4 warning, 5 notice, 7
    // debug); any other level maps to warning.
    static int WDLLoggerLevelFromLogLevel(std::int64_t logLevel);
};

}  // namespace engine
