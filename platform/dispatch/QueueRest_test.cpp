#include "platform/dispatch/QueueRest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/SerialQueue.h"
#include "testkit/ManualClock.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr auto kLong = std::chrono::seconds(60);  // only reached when a test is broken
constexpr auto kShort = std::chrono::milliseconds(50);

TEST(QueueRestTest, WaitsForWorkThatQueuesMoreWorkOnOtherQueues) {
    // A chain of blocks bouncing between two queues: each one queues the next on the other queue,
    // so at no moment is more than one block queued, yet the chain is not at rest until it ends.
    SerialQueue a("rest.a");
    SerialQueue b("rest.b");
    std::atomic<int> ran{0};
    std::function<void(int)> hop = [&](int left) {
        ++ran;
        if (left == 0) return;
        (left % 2 ? b : a).async([&, left] { hop(left - 1); });
    };
    a.async([&] { hop(200); });
    EXPECT_THAT(bringQueuesToRest(kLong), IsEmpty());
    EXPECT_EQ(ran.load(), 201);
}

TEST(QueueRestTest, WaitsForWhatABlockDestroysAfterItRan) {
    // The block holds the last reference to an object whose destructor logs on the same queue:
    // that destruction is part of the block, and so is what it queued.
    SerialQueue queue("rest.owner");
    std::atomic<int> destroyed{0};
    std::atomic<int> lateRuns{0};
    struct Owner {
        Owner(SerialQueue* queue, std::atomic<int>* destroyed, std::atomic<int>* lateRuns)
            : queue(queue), destroyed(destroyed), lateRuns(lateRuns) {}
        SerialQueue* queue;
        std::atomic<int>* destroyed;
        std::atomic<int>* lateRuns;
        ~Owner() {
            ++*destroyed;
            queue->async([runs = lateRuns] { ++*runs; });
        }
    };
    for (int i = 0; i < 50; ++i) {
        auto owner = std::make_shared<Owner>(&queue, &destroyed, &lateRuns);
        queue.async([owner = std::move(owner)] {});
    }
    EXPECT_THAT(bringQueuesToRest(kLong), IsEmpty());
    EXPECT_EQ(destroyed.load(), 50);
    EXPECT_EQ(lateRuns.load(), 50);
}

TEST(QueueRestTest, CancelsDelayedBlocksOfEveryQueue) {
    testkit::ScopedManualClock clock;
    SerialQueue queue("rest.timers");
    std::atomic<int> ran{0};
    queue.after(5, [&] { ++ran; });
    mainQueue().after(5, [&] { ++ran; });
    queue.after(0, [&] { ++ran; });  // queued at once: it runs
    EXPECT_THAT(bringQueuesToRest(kLong), IsEmpty());
    clock.advance(10);
    runUntilIdle();
    testkit::drain(queue);
    EXPECT_EQ(ran.load(), 1);
}

TEST(QueueRestTest, DropsMainQueueBlocksAndLetsAWorkerWaitingForOneGo) {
    SerialQueue queue("rest.waits-for-main");
    std::atomic<bool> mainBlockRan{false};
    std::atomic<bool> workerWent{false};
    Semaphore posted;
    queue.async([&] {
        posted.signal();
        // Nobody drains the main queue: only dropping the block lets this sync() return.
        mainQueue().sync([&] { mainBlockRan = true; });
        workerWent = true;
    });
    posted.wait();
    EXPECT_THAT(bringQueuesToRest(kLong), IsEmpty());
    EXPECT_TRUE(workerWent);
    runUntilIdle();
    EXPECT_FALSE(mainBlockRan);
}

TEST(QueueRestTest, ReportsAQueueStillBusyAfterTheBound) {
    SerialQueue queue("rest.busy");
    std::atomic<bool> stop{false};
    queue.async([&stop] {
        while (!stop)
            std::this_thread::yield();
    });
    EXPECT_THAT(bringQueuesToRest(kShort), ElementsAre("rest.busy"));
    stop = true;
    EXPECT_THAT(bringQueuesToRest(kLong), IsEmpty());
}

TEST(QueueRestTest, ReportsQueuesThatNeverStayIdle) {
    // Two queues handing one block back and forth for good: each is idle now and then, but the
    // process never comes to rest.
    SerialQueue ping("rest.ping");
    SerialQueue pong("rest.pong");
    std::atomic<bool> stop{false};
    std::function<void(bool)> hop = [&](bool onPing) {
        if (!stop) (onPing ? pong : ping).async([&hop, onPing] { hop(!onPing); });
    };
    ping.async([&] { hop(true); });
    const auto busy = bringQueuesToRest(kShort);
    EXPECT_THAT(busy, ::testing::Not(IsEmpty()));
    EXPECT_THAT(busy, ::testing::Each(::testing::AnyOf("rest.ping", "rest.pong")));
    stop = true;
    EXPECT_THAT(bringQueuesToRest(kLong), IsEmpty());
}

TEST(QueueRestTest, OperationQueuesTakePartAndASuspendedOneIsAtRest) {
    OperationQueue operations("rest.operations");
    std::atomic<int> ran{0};
    for (int i = 0; i < 20; ++i)
        operations.addOperation([&] { ++ran; });
    EXPECT_THAT(bringQueuesToRest(kLong), IsEmpty());
    EXPECT_EQ(ran.load(), 20);

    operations.setSuspended(true);
    operations.addOperation([&] { ++ran; });
    EXPECT_THAT(bringQueuesToRest(kLong), IsEmpty());
    EXPECT_EQ(ran.load(), 20);
    EXPECT_EQ(operations.operationCount(), 1u);
    operations.setSuspended(false);
    EXPECT_TRUE(operations.waitUntilAllOperationsAreFinished());
}

TEST(QueueRestTest, AQueueDestroyedByItsOwnBlockIsWaitedForUntilItsWorkerEnds) {
    std::atomic<int> ran{0};
    Semaphore released;
    auto queue = std::make_shared<SerialQueue>("rest.self-destroyed");
    queue->async([&ran, &released, self = queue] {
        released.wait();
        ++ran;
        self->async([&ran] { ++ran; });
    });
    // Only the block holds the queue now: it is destroyed on its own worker, which then runs the
    // block queued meanwhile on its own.
    queue.reset();
    released.signal();
    EXPECT_THAT(bringQueuesToRest(kLong), IsEmpty());
    EXPECT_EQ(ran.load(), 2);
}

TEST(QueueRestTest, LeavesOutTheQueueTheCallerRuns) {
    SerialQueue queue("rest.caller");
    std::vector<std::string> busy{"not asked"};
    queue.sync([&] { busy = bringQueuesToRest(kLong); });
    EXPECT_THAT(busy, IsEmpty());
}

}  // namespace
}  // namespace platform
