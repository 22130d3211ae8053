#pragma once

// Test support for engine code (header only, used by *_test.cpp files): every test starts from a
// clean process state in a temporary data root (testkit::TempHome), with the system log captured.
// Lines the monitor writes are read after its queue has drained.
//
//   class MyTest : public engine::EngineTest {};
//   TEST_F(MyTest, Logs) {
//       KLVMeasurementBase::monitor().logWithLevel(3, 29014, "Hello");
//       EXPECT_THAT(logLines(), Contains(HasSubstr("[I-ACS029014] Hello")));
//   }

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/KLVMeasurementBase.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/utilities/WDLLogger.h"
#include "testkit/ManualClock.h"
#include "testkit/TempHome.h"

namespace engine {

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::ProcessInfo::processInfo().setArguments({"engine_test"});
        previousSink_ = platform::setLogSink([this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        });
    }

    void TearDown() override {
        // Lines still queued by the monitor land in this test's capture.
        platform::resetSharedInstances();
        platform::setLogSink(previousSink_);
    }

    // The system-log lines so far, after the monitor has written what it had queued.
    std::vector<std::string> logLines() {
        testkit::drain(KLVMeasurementBase::monitor().monitorQueue());
        std::lock_guard lock(mutex_);
        return lines_;
    }

    void clearLogLines() {
        testkit::drain(KLVMeasurementBase::monitor().monitorQueue());
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

    // Lets debug lines of the monitor through, as debug mode does.
    static void allowDebugLines() { platform::WDLSetLoggerLevel(platform::kWDLLoggerLevelDebug); }

    const std::filesystem::path& dataRoot() const { return home_.path(); }

  private:
    testkit::TempHome home_;  // a fresh data root and fresh shared instances
    platform::LogSink previousSink_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace engine
