// Resets of the shared instances while engine work is under way: the reset waits for it, and work
// that outlasts the reset's bound is reported instead of finding its monitor freed.

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "engine/base/EngineTestSupport.h"
#include "engine/base/KLVAlarm.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/SerialQueue.h"
#include "testkit/SharedReset.h"

namespace engine {
namespace {

constexpr double kGuard = 60;  // seconds; only reached when a test is broken

// A component as the engine makes them: its own queue and an alarm on it, and a line logged
// when it goes. The queue is declared first so that it goes last.
struct Component {
    explicit Component(std::atomic<bool>& gone)
        : queue(std::make_shared<platform::SerialQueue>("reset.component")),
          alarm(std::make_shared<KLVAlarm>(queue, "Component alarm")),
          gone(gone) {}
    ~Component() {
        monitor().logWithLevel(kKLVLogError, 1, "Component gone");
        gone = true;
    }
    std::shared_ptr<platform::SerialQueue> queue;
    std::shared_ptr<KLVAlarm> alarm;
    std::atomic<bool>& gone;
};

bool hasLine(const testkit::LogCapture& capture, const std::string& text) {
    for (const auto& line : capture.lines()) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

class ResetDuringWorkTest : public EngineTest {
  protected:
    // An alarm on a queue of its own, firing now; its block waits for release() and then logs
    // through the monitor, recording which one it found. Returns once the block runs.
    void plantRunningAlarm(const std::string& label) {
        queue_ = std::make_shared<platform::SerialQueue>(label);
        alarm_ = std::make_unique<KLVAlarm>(queue_, "Planted alarm");
        alarm_->runAfterDelay(0, [this] {
            started_.signal();
            release_.wait(kGuard);
            auto& monitor = engine::monitor();
            monitor.logWithLevel(kKLVLogError, 2, "Planted alarm block logging");
            seen_ = &monitor;
        });
        ASSERT_TRUE(started_.wait(kGuard));
    }
    void release() { release_.signal(); }
    // The monitor the block logged through, once it has ended.
    const KLVMonitor* monitorSeen() {
        testkit::drain(*queue_);
        return seen_.load();
    }
    void TearDown() override {
        if (queue_) {
            release();
            testkit::drain(*queue_);
        }
        EngineTest::TearDown();
    }

  private:
    std::shared_ptr<platform::SerialQueue> queue_;
    std::unique_ptr<KLVAlarm> alarm_;
    platform::Semaphore started_;
    platform::Semaphore release_;
    std::atomic<const KLVMonitor*> seen_{nullptr};
};

TEST_F(ResetDuringWorkTest, AComponentHeldOnlyByItsOwnBlockIsGoneBeforeTheMonitor) {
    // The block holds the last reference, so the component, its alarm and its queue go on the
    // queue's own worker after the block ran; the reset must not drop the monitor meanwhile.
    testkit::LogCapture capture;
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> gone{false};
        auto component = std::make_shared<Component>(gone);
        auto& queue = *component->queue;
        queue.async([self = std::move(component)] { self->alarm->runAfterDelay(3600, [] {}); });
        platform::resetSharedInstances();
        EXPECT_TRUE(gone) << round;
    }
    EXPECT_TRUE(hasLine(capture, "Component gone"));
}

TEST_F(ResetDuringWorkTest, AnAlarmBlockRunningAtTheResetEndsFirst) {
    const KLVMonitor* before = &monitor();
    plantRunningAlarm("reset.running");
    std::thread resetter([] { platform::resetSharedInstances(); });
    release();
    resetter.join();
    // Whenever the reset began, the block ran to its end with the monitor it started with.
    EXPECT_EQ(monitorSeen(), before);
}

TEST_F(ResetDuringWorkTest, APendingAlarmNeverFiresAfterAReset) {
    testkit::ScopedManualClock clock;
    const auto queue = std::make_shared<platform::SerialQueue>("reset.pending");
    KLVAlarm alarm(queue, "Late alarm");
    std::atomic<int> fired{0};
    alarm.runAfterDelay(5, [&] { ++fired; });
    platform::resetSharedInstances();
    clock.advance(10);
    testkit::drain(*queue);
    EXPECT_EQ(fired.load(), 0);
    EXPECT_FALSE(alarm.hasActiveTimer());
}

TEST_F(ResetDuringWorkTest, ALateAlarmBlockIsReportedAndKeepsWhatItUses) {
    const auto previousBound = testkit::setResetBound(std::chrono::milliseconds(50));
    KLVMonitor* const before = &monitor();
    plantRunningAlarm("reset.late");

    ::testing::TestPartResultArray failures;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        platform::resetSharedInstances();
    }
    testkit::setResetBound(previousBound);
    ASSERT_EQ(failures.size(), 1);
    const std::string message = failures.GetTestPartResult(0).message();
    EXPECT_NE(message.find("Shared instances not reset: still busy after 50 ms"), std::string::npos)
        << message;
    EXPECT_NE(message.find("\"reset.late\""), std::string::npos) << message;

    // Nothing was dropped: the block goes on with the monitor it had.
    EXPECT_EQ(&monitor(), before);
    release();
    EXPECT_EQ(monitorSeen(), before);
}

}  // namespace
}  // namespace engine
