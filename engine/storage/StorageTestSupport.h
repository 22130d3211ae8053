#pragma once

// Test support for the storage tests: captures the system log (where the monitor's console
// backend and the utilities framework write) so that a test can look for a message code.

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/KLVASLLogger.h"
#include "engine/storage/KLVMeasurementBase.h"
#include "platform/foundation/Log.h"
#include "testkit/ManualClock.h"

namespace engine::testing {

class LogCapture {
  public:
    LogCapture() {
        previous_ = platform::setLogSink([this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        });
    }
    ~LogCapture() { platform::setLogSink(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every line so far, the monitor's queued ones included.
    std::vector<std::string> lines() {
        testkit::drain(KLVMeasurementBase::monitor().monitorQueue());
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // How many lines carry the message code (shown as "I-ACS0NNNNN").
    std::size_t count(std::int64_t messageCode) {
        const std::string code = KLVMessageCodeText(messageCode);
        const auto all = lines();
        return static_cast<std::size_t>(
            std::count_if(all.begin(), all.end(),
                          [&](const auto& line) { return line.find(code) != std::string::npos; }));
    }
    bool contains(std::int64_t messageCode) { return count(messageCode) > 0; }
    void clear() {
        lines();
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    platform::LogSink previous_;
};

}  // namespace engine::testing
