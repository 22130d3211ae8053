#pragma once

// Captures the system log's lines for the life of the object, from any thread, and restores the
// previous sink afterwards. The one log capture of the tests.

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/Log.h"

namespace testkit {

class LogCapture {
  public:
    LogCapture()
        : previous_(platform::setLogSink([this](std::string_view line) {
              std::lock_guard lock(mutex_);
              lines_.emplace_back(line);
          })) {}
    ~LogCapture() { platform::setLogSink(std::move(previous_)); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    platform::LogSink previous_;
};

}  // namespace testkit
