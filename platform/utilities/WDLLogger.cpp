#include "platform/utilities/WDLLogger.h"

#include <atomic>
#include <string>

#include "platform/foundation/Log.h"
#include "platform/foundation/SharedInstance.h"

namespace platform {

namespace {

std::atomic<int>& threshold() {
    static std::atomic<int> level{kWDLLoggerLevelNotice};
    static const bool registered = [] {
        registerSharedReset("WDLLogger", [] { level.store(kWDLLoggerLevelNotice); });
        return true;
    }();
    (void)registered;
    return level;
}

// Names by level, 0 to 7 (the levels above error are never set here but may be passed).
constexpr std::string_view kLevelNames[] = {"emergency", "alert",  "critical", "error",
                                            "warning",   "notice", "info",     "debug"};

std::string_view levelName(int level) {
    if (level < 0 || level > kWDLLoggerLevelDebug) return "default";
    return kLevelNames[level];
}

}  // namespace

void WDLSetLoggerLevel(int level) {
    if (level < kWDLLoggerLevelError || level > kWDLLoggerLevelDebug) return;
    threshold().store(level);
}

int WDLLoggerLevel() {
    return threshold().load();
}

bool WDLIsLoggableLevel(int level) {
    return level <= threshold().load();
}

void WDLLogLine(int level, std::string_view subsystem, std::string_view category, bool force,
                std::string_view messageCode, std::string_view message) {
    if (!force && !WDLIsLoggableLevel(level)) return;
    std::string line;
    line.reserve(subsystem.size() + category.size() + messageCode.size() + message.size() + 16);
    line.append(subsystem).append(" ").append(levelName(level)).append(" ");
    line.append(category).append("[").append(messageCode).append("] ").append(message);
    systemLog(line);
}

}  // namespace platform
