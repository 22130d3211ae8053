#include "engine/base/KLVScheduler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/EngineTestSupport.h"

namespace engine {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kError[] = "com.nexory.tarnwell.analytics error <Brackenfold>";
constexpr char kWarning[] = "com.nexory.tarnwell.analytics warning <Brackenfold>";

class KLVSchedulerTest : public EngineTest {
  protected:
    KLVScheduler scheduler{kKLVWorkerQueueLabel};
    std::vector<std::string> order;  // written only on the worker queue

    void drainWorker() { testkit::drain(*scheduler.workerQueue()); }
};

TEST_F(KLVSchedulerTest, BlocksRunInOrderAndAThrowingBlockStopsNothing) {
    scheduler.scheduleOnWorkerQueueBlockID("KLVMeasurement:1", [this] { order.push_back("a"); });
    scheduler.scheduleOnWorkerQueueBlockID("KLVMeasurement:1773", [this] {
        order.push_back("b");
        throw std::runtime_error("boom");
    });
    scheduler.scheduleOnWorkerQueueBlockID("KLVMeasurement:3", [this] { order.push_back("c"); });
    drainWorker();
    EXPECT_THAT(order, ElementsAre("a", "b", "c"));
    EXPECT_THAT(
        logLines(),
        ElementsAre(std::string(kError) +
                    "[I-ACS030000] Exception on worker queue. Block ID=KLVMeasurement:1773. "
                    "Exception: std::runtime_error: boom"));
    EXPECT_EQ(scheduler.workerQueue()->label(), "com.nexory.trwa.worker");
}

TEST_F(KLVSchedulerTest, SynchronousBlocks) {
    int value = 0;
    scheduler.dispatchSyncOnWorkerQueueBlockID("KLVScheduler:1", [&] { value = 1; });
    EXPECT_EQ(value, 1);
    scheduler.dispatchSyncOnWorkerQueueBlockID("KLVScheduler:2", [] { throw 42; });
    EXPECT_THAT(logLines(),
                ElementsAre(std::string(kError) +
                                "[I-ACS030003] Exception on worker queue when processing sync "
                                "block. Block ID=KLVScheduler:2. Exception: int",
                            std::string(kWarning) +
                                "[I-ACS030004] Synchronous task failed. Block ID=KLVScheduler:2"));
}

TEST_F(KLVSchedulerTest, SynchronousBlockFromTheWorkerQueueRunsInline) {
    scheduler.scheduleOnWorkerQueueBlockID("outer", [this] {
        order.push_back("outer start");
        scheduler.dispatchSyncOnWorkerQueueBlockID("inner", [this] { order.push_back("inner"); });
        order.push_back("outer end");
    });
    drainWorker();
    EXPECT_THAT(order, ElementsAre("outer start", "inner", "outer end"));
    EXPECT_THAT(logLines(), IsEmpty());
}

TEST_F(KLVSchedulerTest, EmptyBlocksAreRefused) {
    scheduler.scheduleOnWorkerQueueBlockID("KLVMeasurement:9", nullptr);
    scheduler.dispatchSyncOnWorkerQueueBlockID("KLVMeasurement:10", nullptr);
    EXPECT_THAT(
        logLines(),
        ElementsAre(
            std::string(kError) + "[I-ACS030005] Nil block dispatched asynchronously on worker "
                                  "queue. Block ID=KLVMeasurement:9.",
            std::string(kError) + "[I-ACS030002] Nil block dispatched synchronously on worker "
                                  "queue. Block ID=KLVMeasurement:10."));
}

TEST_F(KLVSchedulerTest, BackgroundThreadCheck) {
    // Tests run on the main thread.
    EXPECT_FALSE(KLVScheduler::checkOnBackgroundThreadWithMethodName("uploadData"));
    bool onWorker = false;
    scheduler.dispatchSyncOnWorkerQueueBlockID("check", [&] {
        onWorker = KLVScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
    });
    EXPECT_TRUE(onWorker);
    EXPECT_THAT(logLines(), ElementsAre(std::string(kError) +
                                        "[I-ACS030001] Method uploadData should execute on "
                                        "background thread"));
}

// Any worker queue passes the check, also one made after an earlier one was gone, and a sequence
// checker given its queue accepts that queue from the first call. Off the worker queue debug
// builds stop the process; release builds still give the background-thread report there.
TEST_F(KLVSchedulerTest, WorkerQueueCheck) {
    scheduler.dispatchSyncOnWorkerQueueBlockID(
        "check", [] { KLVScheduler::checkOnWorkerQueue("uploadData"); });
    {
        KLVScheduler another(kKLVWorkerQueueLabel);
        another.dispatchSyncOnWorkerQueueBlockID(
            "check", [] { KLVScheduler::checkOnWorkerQueue("uploadData"); });
    }
    platform::SerialQueue experiments("experiments");
    KLVSequenceChecker owned(experiments);
    experiments.sync([&] { owned.check("fetch"); });
    EXPECT_THAT(logLines(), IsEmpty());
#ifndef NDEBUG
    const auto style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(KLVScheduler::checkOnWorkerQueue("uploadData"), "called off the owning sequence");
    EXPECT_DEATH(
        {
            platform::SerialQueue other(kKLVWorkerQueueLabel + std::string(".other"));
            other.sync([] { KLVScheduler::checkOnWorkerQueue("uploadData"); });
        },
        "called off the owning sequence");
    EXPECT_DEATH(owned.check("fetch"), "called off the owning sequence");
    GTEST_FLAG_SET(death_test_style, style);
#else
    KLVScheduler::checkOnWorkerQueue("uploadData");
    owned.check("fetch");
    EXPECT_THAT(logLines(), ElementsAre(std::string(kError) +
                                        "[I-ACS030001] Method uploadData should execute on "
                                        "background thread"));
#endif
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// The first caller's sequence owns the object; after detach() another may take it over. Debug
// builds stop the process at a call from a second sequence.
TEST(KLVSequenceCheckerTest, BindsToTheFirstSequence) {
    KLVSequenceChecker checker;
    checker.check("first");
    checker.check("again");
#ifndef NDEBUG
    const auto style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            platform::SerialQueue other("other");
            other.sync([&] { checker.check("elsewhere"); });
        },
        "called off the owning sequence");
    GTEST_FLAG_SET(death_test_style, style);
#endif
    checker.detach();
    platform::SerialQueue worker("worker");
    worker.sync([&] { checker.check("taken over"); });
    worker.sync([&] { checker.check("on its queue"); });
}

}  // namespace
}  // namespace engine
