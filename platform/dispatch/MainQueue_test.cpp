#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchTestSupport.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/SharedInstance.h"
#include "testkit/ManualClock.h"

namespace platform {
namespace {

using testing::Recorder;

class MainQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { resetSharedInstances(); }
    void TearDown() override { resetSharedInstances(); }
};

TEST_F(MainQueueTest, RunUntilIdleRunsQueuedBlocksAndTheBlocksTheyQueue) {
    Recorder<int> ran;
    mainQueue().async([&] { ran.add(1); });
    mainQueue().async([&] {
        ran.add(2);
        mainQueue().async([&] { ran.add(4); });
    });
    mainQueue().async([&] { ran.add(3); });
    EXPECT_TRUE(ran.values().empty());
    runUntilIdle();
    EXPECT_EQ(ran.values(), (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(MainQueueTest, TheInitialThreadIsMainUntilAnotherThreadDrains) {
    EXPECT_TRUE(isMainThread());
    EXPECT_EQ(DispatchQueue::current(), &mainQueue());

    bool otherWasMain = false;
    const DispatchQueue* otherCurrent = &mainQueue();
    std::thread other([&] {
        runUntilIdle();
        otherWasMain = isMainThread();
        otherCurrent = DispatchQueue::current();
    });
    other.join();
    EXPECT_TRUE(otherWasMain);
    EXPECT_EQ(otherCurrent, &mainQueue());
    EXPECT_FALSE(isMainThread());

    resetSharedInstances();
    EXPECT_TRUE(isMainThread());
}

TEST_F(MainQueueTest, SyncRunsInlineOnTheMainThreadAndInTurnFromAnother) {
    Recorder<std::string> ran;
    mainQueue().async([&] { ran.add("first"); });
    mainQueue().sync([&] { ran.add("sync"); });  // ahead of the queued block
    std::thread other([&] {
        mainQueue().sync([&] {
            EXPECT_TRUE(isMainThread());
            EXPECT_TRUE(mainQueue().isCurrent());
            ran.add("from other");
        });
        stopMainLoop();
    });
    runMainLoop();
    other.join();
    EXPECT_EQ(ran.values(), (std::vector<std::string>{"sync", "first", "from other"}));
}

TEST_F(MainQueueTest, StopBeforeTheLoopRunsMakesItReturnAtOnce) {
    stopMainLoop();
    runMainLoop();
    SUCCEED();
}

TEST_F(MainQueueTest, QueueBlockReachesTheMainQueueWhileTheMainThreadWaitsInSync) {
    SerialQueue worker("worker");
    Recorder<std::string> ran;
    worker.sync([&] {
        mainQueue().sync([&] {
            EXPECT_TRUE(mainQueue().isCurrent());
            ran.add("main");
        });
        EXPECT_TRUE(worker.isCurrent());
    });
    EXPECT_EQ(ran.values(), std::vector<std::string>{"main"});
}

TEST_F(MainQueueTest, ManualClockRunsMainQueueTimersInAdvanceOnlyOnTheMainThread) {
    testkit::ScopedManualClock clock(100.0, 10.0);
    Recorder<double> ran;
    mainQueue().after(2, [&] { ran.add(Clock::current().now()); });
    mainQueue().after(1, [&] { ran.add(Clock::current().now()); });
    clock.advance(5);
    EXPECT_EQ(ran.values(), (std::vector<double>{101, 102}));

    // Advanced on another thread, the timer is posted and runs when the main loop drains.
    mainQueue().after(2, [&] { ran.add(Clock::current().now()); });
    std::thread advancer([&] { clock.advance(5); });
    advancer.join();
    EXPECT_EQ(ran.values().size(), 2u);
    runUntilIdle();
    EXPECT_EQ(ran.values(), (std::vector<double>{101, 102, 110}));
}

TEST_F(MainQueueTest, ResetDropsPendingBlocks) {
    Recorder<int> ran;
    mainQueue().async([&] { ran.add(1); });
    resetSharedInstances();
    runUntilIdle();
    EXPECT_TRUE(ran.values().empty());
}

}  // namespace
}  // namespace platform
