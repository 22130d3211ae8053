#include "platform/dispatch/OperationQueue.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchTestSupport.h"
#include "platform/dispatch/Semaphore.h"

namespace platform {
namespace {

using testing::LogCapture;
using testing::Recorder;

constexpr double kOperationGuard = 10.0;

TEST(OperationQueueTest, RunsOperationsOneAtATimeInOrder) {
    OperationQueue queue("ops");
    Recorder<int> ran;
    int inside = 0;
    int maxInside = 0;
    for (int i = 0; i < 100; ++i) {
        queue.addOperation([&, i] {
            maxInside = std::max(maxInside, ++inside);
            ran.add(i);
            --inside;
        });
    }
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished());
    std::vector<int> expected(100);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(ran.values(), expected);
    EXPECT_EQ(maxInside, 1);
    EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueueTest, SuspendedQueueHoldsOperationsUntilResumed) {
    OperationQueue queue("suspended");
    queue.setSuspended(true);
    Recorder<int> ran;
    for (int i = 0; i < 3; ++i)
        queue.addOperation([&, i] { ran.add(i); });
    EXPECT_EQ(queue.operationCount(), 3u);
    EXPECT_FALSE(queue.waitUntilAllOperationsAreFinished());  // returns instead of hanging
    EXPECT_TRUE(ran.values().empty());

    // Suspending from an operation stops the next ones.
    queue.addOperation([&] {
        ran.add(3);
        queue.setSuspended(true);
    });
    queue.addOperation([&] { ran.add(4); });
    queue.setSuspended(false);
    EXPECT_FALSE(queue.waitUntilAllOperationsAreFinished());
    EXPECT_EQ(ran.values(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(queue.operationCount(), 1u);
    queue.setSuspended(false);
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished());
    EXPECT_EQ(ran.values(), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(OperationQueueTest, CancelAllDropsOperationsNotStarted) {
    OperationQueue queue("cancel");
    Semaphore started;
    Semaphore release;
    Recorder<int> ran;
    queue.addOperation([&] {
        started.signal();
        release.wait(kOperationGuard);
        ran.add(1);
    });
    queue.addOperation([&] { ran.add(2); });
    ASSERT_TRUE(started.wait(kOperationGuard));
    EXPECT_EQ(queue.operationCount(), 2u);
    queue.cancelAllOperations();
    EXPECT_EQ(queue.operationCount(), 1u);
    release.signal();
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished());
    EXPECT_EQ(ran.values(), std::vector<int>{1});
}

TEST(OperationQueueTest, WaitingFromAnOperationReturnsAtOnce) {
    LogCapture log;
    OperationQueue queue("self-wait");
    bool waited = true;
    queue.addOperation([&] { waited = queue.waitUntilAllOperationsAreFinished(); });
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished());
    EXPECT_FALSE(waited);
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "An operation of \"self-wait\" cannot wait for its own queue to "
                               "finish"});
}

TEST(OperationQueueTest, ExceptionInAnOperationIsLoggedAndTheQueueGoesOn) {
    LogCapture log;
    OperationQueue queue("throwing-ops");
    Recorder<int> ran;
    queue.addOperation([] { throw std::runtime_error("op failed"); });
    queue.addOperation([&] { ran.add(1); });
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished());
    EXPECT_EQ(ran.values(), std::vector<int>{1});
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{
                  "Uncaught exception in operation queue \"throwing-ops\": op failed"});
}

TEST(OperationQueueTest, DestructionFromAnOperationDoesNotHang) {
    auto queue = std::make_unique<OperationQueue>("self-destroying");
    Semaphore added;
    Semaphore done;
    queue->addOperation([&] {
        added.wait(kOperationGuard);
        queue.reset();
        done.signal();
    });
    added.signal();
    ASSERT_TRUE(done.wait(kOperationGuard));
    EXPECT_EQ(queue, nullptr);
}

}  // namespace
}  // namespace platform
