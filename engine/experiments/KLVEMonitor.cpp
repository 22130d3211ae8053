#include "engine/experiments/KLVEMonitor.h"

#include <utility>

#include "engine/base/KLVMonitor.h"

namespace engine {

KLVEMonitor& KLVEMonitor::instance() {
    static KLVEMonitor monitor;
    return monitor;
}

void KLVEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                               std::string_view message) {
    monitor().logWithLevel(level, messageCode, message);
}

void KLVEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                               std::string_view message, MonitorContext context) {
    monitor().logWithLevel(level, messageCode, message, std::move(context));
}

void KLVEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                               std::string_view message, MonitorContext context1,
                               MonitorContext context2) {
    monitor().logWithLevel(level, messageCode, message, std::move(context1), std::move(context2));
}

void KLVEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                               std::string_view message, MonitorContext context1,
                               MonitorContext context2, MonitorContext context3) {
    monitor().logWithLevel(level, messageCode, message, std::move(context1), std::move(context2),
                           std::move(context3));
}

void KLVEMonitor::clearMonitoringData() {
    monitor().clearMonitoringData();
}

}  // namespace engine
