#pragma once

// Test support for engine code (header only, used by *_test.cpp files): every test starts from a
// clean process state in a temporary data root (testkit::TempHome), with the system log captured
// (LogCapture, which tests without the fixture can use on their own).
// Lines the monitor writes are read after its queue has drained.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/KLVASLLogger.h"
#include "engine/base/KLVMonitor.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/utilities/WDLLogger.h"
#include "testkit/LogCapture.h"
#include "testkit/ManualClock.h"
#include "testkit/TempHome.h"

namespace engine {

// The system log (where the monitor's console backend and the utilities framework write) as
// testkit::LogCapture captures it, read after the monitor's queue has drained, so that a test can
// look for a line or a message code.
class LogCapture {
  public:
    // Every line since the capture began or was last cleared, the monitor's queued ones included.
    std::vector<std::string> lines() {
        testkit::drain(monitor().monitorQueue());
        auto all = capture_.lines();
        all.erase(all.begin(),
                  all.begin() + static_cast<std::ptrdiff_t>(std::min(cleared_, all.size())));
        return all;
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
    // The line of the message code, or "" when there is none.
    std::string line(std::int64_t messageCode) {
        const std::string code = KLVMessageCodeText(messageCode);
        for (const auto& line : lines()) {
            if (line.find(code) != std::string::npos) return line;
        }
        return {};
    }
    void clear() {
        testkit::drain(monitor().monitorQueue());
        cleared_ = capture_.lines().size();
    }

  private:
    testkit::LogCapture capture_;
    std::size_t cleared_ = 0;
};

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::ProcessInfo::processInfo().setArguments({"engine_test"});
        log_.emplace();
    }

    void TearDown() override {
        // Lines still queued by the monitor land in this test's capture.
        platform::resetSharedInstances();
        log_.reset();
    }

    // The system-log lines so far, after the monitor has written what it had queued.
    std::vector<std::string> logLines() { return log_->lines(); }
    void clearLogLines() { log_->clear(); }
    // How many lines carry the message code, and the first such line ("" when none).
    std::size_t logCount(std::int64_t messageCode) { return log_->count(messageCode); }
    std::string logLine(std::int64_t messageCode) { return log_->line(messageCode); }

    // Lets debug lines of the monitor through, as debug mode does.
    static void allowDebugLines() { platform::WDLSetLoggerLevel(platform::kWDLLoggerLevelDebug); }

    const std::filesystem::path& dataRoot() const { return home_.path(); }

  private:
    testkit::TempHome home_;  // a fresh data root and fresh shared instances
    std::optional<LogCapture> log_;
};

}  // namespace engine
