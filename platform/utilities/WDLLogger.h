#pragma once

// The utilities framework's logger: a settable threshold on the system log's scale and the
// unified-log calls through which engine components write their lines. Lines go to the
// platform's system log (platform/foundation/Log.h), whose sink tests can replace to capture
// them. A line reads
//   <subsystem> <level name> <category>[<message code>] <message>
// for example "com.nexory.tarnwell.analytics notice <Brackenfold>[I-ACS023007] Analytics started".

#include <string>
#include <string_view>

#include "platform/foundation/Format.h"

namespace platform {

// The system log's scale; a lower number is more severe.
enum WDLLoggerLevel : int {
    kWDLLoggerLevelError = 3,
    kWDLLoggerLevelWarning = 4,
    kWDLLoggerLevelNotice = 5,
    kWDLLoggerLevelInfo = 6,
    kWDLLoggerLevelDebug = 7,
};

// Lines at this level or more severe are written; notice until someone sets it. A level outside
// error to debug is ignored and the threshold stays.
void WDLSetLoggerLevel(int level);
int WDLLoggerLevel();
bool WDLIsLoggableLevel(int level);

// Writes one formatted line when the level is loggable or `force` is set (the caller's own
// threshold has already admitted it).
void WDLLogLine(int level, std::string_view subsystem, std::string_view category, bool force,
                std::string_view messageCode, std::string_view message);

// `format` is formatted with `args` by formatString(); a message that must print as it stands
// escapes its "%" as "%%".
template <typename... Args>
void WDLOSLogBasic(int level, std::string_view subsystem, std::string_view category, bool force,
                   std::string_view messageCode, std::string_view format, const Args&... args) {
    if (!force && !WDLIsLoggableLevel(level)) return;
    WDLLogLine(level, subsystem, category, true, messageCode, formatString(format, args...));
}

template <typename... Args>
void WDLOSLogError(std::string_view subsystem, std::string_view category, bool force,
                   std::string_view messageCode, std::string_view format, const Args&... args) {
    WDLOSLogBasic(kWDLLoggerLevelError, subsystem, category, force, messageCode, format, args...);
}

template <typename... Args>
void WDLOSLogWarning(std::string_view subsystem, std::string_view category, bool force,
                     std::string_view messageCode, std::string_view format, const Args&... args) {
    WDLOSLogBasic(kWDLLoggerLevelWarning, subsystem, category, force, messageCode, format, args...);
}

template <typename... Args>
void WDLOSLogInfo(std::string_view subsystem, std::string_view category, bool force,
                  std::string_view messageCode, std::string_view format, const Args&... args) {
    WDLOSLogBasic(kWDLLoggerLevelInfo, subsystem, category, force, messageCode, format, args...);
}

}  // namespace platform
