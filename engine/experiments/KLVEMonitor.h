#pragma once

// The experiments component's logger: every class of the component reports through
// KLVEManagerImpl::monitor(), which forwards each report unchanged to the measurement service's
// monitor. Message codes are six digits, 800000 to 880000, one range per class.

#include <cstdint>
#include <string_view>

#include "engine/base/KLVMonitor.h"

namespace engine {

class KLVEMonitor {
  public:
    // The component's one instance (KLVEManagerImpl::monitor() hands it out).
    static KLVEMonitor& instance();

    void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message);
    void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                      MonitorContext context);
    void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                      MonitorContext context1, MonitorContext context2);
    void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                      MonitorContext context1, MonitorContext context2, MonitorContext context3);
    void clearMonitoringData();
};

}  // namespace engine
