#include "engine/settings/KLVPixieLogger.h"

#include "engine/base/KLVMonitor.h"

namespace engine {

namespace {

constexpr std::int64_t kRuntimeLogCode = 24005;

struct LevelMapping {
    std::int64_t runtimeLevel;
    std::int64_t silent;
    std::int64_t monitored;
    std::int64_t plain;
};

// Runtime levels: 6 error, 5 warning, 3 debug, 2 verbose.
constexpr LevelMapping kLevels[] = {
    {6, kKLVLogErrorSilent, kKLVLogErrorMonitored, kKLVLogError},
    {5, kKLVLogWarningSilent, kKLVLogWarningMonitored, kKLVLogWarning},
    {3, kKLVLogDebug, kKLVLogDebug, kKLVLogDebug},
    {2, kKLVLogVerbose, kKLVLogVerbose, kKLVLogVerbose},
};

constexpr std::int64_t kOtherLevel = kKLVLogNotice;

}  // namespace

std::int64_t KLVPixieLogger::monitorLevel(std::int64_t level, bool silent, bool monitored) {
    for (const auto& mapping : kLevels) {
        if (mapping.runtimeLevel != level) continue;
        if (silent) return mapping.silent;
        return monitored ? mapping.monitored : mapping.plain;
    }
    return kOtherLevel;
}

void KLVPixieLogger::logWithLevel(std::int64_t level, std::string_view message,
                                  const MonitorContexts& context, bool silent,
                                  bool monitored) const {
    monitor().logWithLevel(monitorLevel(level, silent, monitored), kRuntimeLogCode, message,
                           context);
}

}  // namespace engine
