#include "engine/experiments/KLVEMonitor.h"

#include <utility>

#include "engine/base/KLVMeasurementBase.h"

namespace engine {

KLVEMonitor& KLVEMonitor::instance() {
    static KLVEMonitor monitor;
    return monitor;
}

void KLVEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                               std::string_view message) {
    KLVMeasurementBase::monitor().logWithLevel(level, messageCode, message);
}

void KLVEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                               std::string_view message, MonitorContext context) {
    KLVMeasurementBase::monitor().logWithLevel(level, messageCode, message, std::move(context));
}

void KLVEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                               std::string_view message, MonitorContext context1,
                               MonitorContext context2) {
    KLVMeasurementBase::monitor().logWithLevel(level, messageCode, message, std::move(context1),
                                               std::move(context2));
}

void KLVEMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                               std::string_view message, MonitorContext context1,
                               MonitorContext context2, MonitorContext context3) {
    KLVMeasurementBase::monitor().logWithLevel(level, messageCode, message, std::move(context1),
                                               std::move(context2), std::move(context3));
}

void KLVEMonitor::clearMonitoringData() {
    KLVMeasurementBase::monitor().clearMonitoringData();
}

}  // namespace engine
