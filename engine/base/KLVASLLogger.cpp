#include "engine/base/KLVASLLogger.h"

#include "engine/base/KLVLogLevel.h"

#include <iterator>

#include "platform/foundation/Format.h"
#include "platform/utilities/WDLLogger.h"

namespace engine {

namespace {

// Utilities logger level by engine level 0 to 8.
constexpr int kLoggerLevelByLogLevel[] = {
    platform::kWDLLoggerLevelError,   platform::kWDLLoggerLevelError,
    platform::kWDLLoggerLevelError,   platform::kWDLLoggerLevelWarning,
    platform::kWDLLoggerLevelWarning, platform::kWDLLoggerLevelWarning,
    platform::kWDLLoggerLevelNotice,  platform::kWDLLoggerLevelDebug,
    platform::kWDLLoggerLevelDebug,
};

std::string escapePercent(std::string_view message) {
    std::string escaped;
    escaped.reserve(message.size());
    for (const char c : message) {
        escaped += c;
        if (c == '%') escaped += '%';
    }
    return escaped;
}

}  // namespace

std::string KLVMessageCodeText(std::int64_t messageCode) {
    return platform::formatString("I-ACS%06ld", messageCode);
}

void KLVASLLogger::logMessage(std::string_view message, std::string_view logTag,
                              std::int64_t messageCode, std::int64_t logLevel) {
    platform::WDLOSLogBasic(WDLLoggerLevelFromLogLevel(logLevel), kKLVLogSubsystem, logTag,
                            logLevel == kKLVLogDebug, KLVMessageCodeText(messageCode),
                            escapePercent(message));
}

int KLVASLLogger::WDLLoggerLevelFromLogLevel(std::int64_t logLevel) {
    constexpr auto kCount = static_cast<std::int64_t>(std::size(kLoggerLevelByLogLevel));
    if (logLevel < 0 || logLevel >= kCount) return platform::kWDLLoggerLevelWarning;
    return kLoggerLevelByLogLevel[logLevel];
}

}  // namespace engine
