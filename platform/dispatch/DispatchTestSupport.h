#pragma once

// Helpers shared by the dispatch tests.

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/Log.h"

namespace platform::testing {

// Collects values from several threads.
template <typename T>
class Recorder {
  public:
    void add(T value) {
        std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
    }
    std::vector<T> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<T> values_;
};

// Captures system-log lines for the life of the object.
class LogCapture {
  public:
    LogCapture()
        : previous_(setLogSink([this](std::string_view line) { lines_.add(std::string(line)); })) {}
    ~LogCapture() { setLogSink(std::move(previous_)); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const { return lines_.values(); }

  private:
    Recorder<std::string> lines_;
    LogSink previous_;
};

}  // namespace platform::testing
