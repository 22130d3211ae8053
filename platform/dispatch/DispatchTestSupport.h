#pragma once

// Helpers shared by the dispatch tests.

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "testkit/LogCapture.h"

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

using LogCapture = testkit::LogCapture;

}  // namespace platform::testing
