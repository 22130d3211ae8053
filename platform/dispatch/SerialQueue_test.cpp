#include "platform/dispatch/SerialQueue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchTestSupport.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/NoDestructor.h"
#include "testkit/ManualClock.h"

namespace platform {
namespace {

using testing::LogCapture;
using testing::Recorder;

constexpr double kSerialGuard = 10.0;  // seconds; only reached when a test is broken

TEST(SerialQueueTest, KeepsEachProducersOrderAndRunsOneBlockAtATime) {
    constexpr int kProducers = 4;
    constexpr int kBlocksEach = 500;
    SerialQueue queue("fifo");
    Recorder<std::pair<int, int>> ran;
    int inside = 0;
    int maxInside = 0;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kBlocksEach; ++i) {
                queue.async([&, p, i] {
                    maxInside = std::max(maxInside, ++inside);
                    ran.add({p, i});
                    --inside;
                });
            }
        });
    }
    for (auto& producer : producers)
        producer.join();
    // A sync block runs after every earlier one and hands back its result.
    const auto values = queue.syncResult([&] { return ran.values(); });
    ASSERT_EQ(values.size(), std::size_t{kProducers * kBlocksEach});
    std::vector<int> next(kProducers, 0);
    for (const auto& [producer, index] : values) {
        EXPECT_EQ(index, next[producer]) << "producer " << producer;
        next[producer] = index + 1;
    }
    EXPECT_EQ(maxInside, 1);
}

TEST(SerialQueueTest, SyncBackToTheCallingQueueThroughAnotherQueueRunsInline) {
    SerialQueue a("a");
    SerialQueue b("b");
    Semaphore done;
    bool reachedA = false;
    a.async([&] {
        b.sync([&] {
            EXPECT_EQ(DispatchQueue::current(), &b);
            a.sync([&] {
                EXPECT_EQ(DispatchQueue::current()->label(), "a");
                reachedA = true;
            });
        });
        done.signal();
    });
    ASSERT_TRUE(done.wait(kSerialGuard));
    EXPECT_TRUE(reachedA);
    EXPECT_FALSE(a.isCurrent());
}

TEST(SerialQueueTest, SyncRunsOnTheCallerWhenIdleAndAfterEveryQueuedBlock) {
    SerialQueue caller("caller");
    SerialQueue target("target");
    Semaphore release;
    Semaphore done;
    std::vector<std::string> order;
    caller.async([&] {
        const auto callerThread = std::this_thread::get_id();
        // Idle: the block runs on the calling thread, as the target queue.
        target.sync([&] {
            EXPECT_EQ(std::this_thread::get_id(), callerThread);
            EXPECT_EQ(DispatchQueue::current(), &target);
            order.push_back("idle sync");
        });
        EXPECT_EQ(DispatchQueue::current(), &caller);
        // A block queued before it runs first, wherever the sync block then runs.
        target.async([&] {
            release.wait();
            order.push_back("queued");
        });
        release.signal();
        target.sync([&] { order.push_back("busy sync"); });
        done.signal();
    });
    ASSERT_TRUE(done.wait(kSerialGuard));
    EXPECT_EQ(order, (std::vector<std::string>{"idle sync", "queued", "busy sync"}));
}

TEST(SerialQueueTest, NumberedBlocksTellWhetherAnythingWasQueuedBehindThem) {
    testkit::ScopedManualClock clock;
    SerialQueue queue("numbered");
    Semaphore release;
    queue.async([&] { release.wait(); });  // holds the queue: nothing below runs inline
    const auto first = queue.asyncNumbered([] {});
    ASSERT_TRUE(first);
    EXPECT_EQ(queue.postedCount(), *first);
    // Every kind of block counts: another async one, a delayed one once it is due, a waiting
    // sync one.
    queue.async([] {});
    EXPECT_EQ(queue.postedCount(), *first + 1);
    queue.after(1, [] {});
    EXPECT_EQ(queue.postedCount(), *first + 1);
    std::thread waiter([&] { queue.sync([] {}); });
    while (queue.postedCount() != *first + 2)
        std::this_thread::yield();
    release.signal();
    waiter.join();
    clock.advance(1);
    EXPECT_EQ(queue.postedCount(), *first + 3);
    const auto next = queue.asyncNumbered([] {});
    ASSERT_TRUE(next);
    EXPECT_EQ(*next, *first + 4);
}

TEST(SerialQueueTest, ExceptionInABlockIsLoggedAndTheQueueGoesOn) {
    LogCapture log;
    SerialQueue queue("throws");
    Recorder<int> ran;
    queue.async([] { throw std::runtime_error("boom"); });
    queue.async([] { throw 7; });
    queue.async([&] { ran.add(1); });
    testkit::drain(queue);
    EXPECT_EQ(ran.values(), std::vector<int>{1});
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Uncaught exception in queue \"throws\": boom",
                               "Uncaught exception in queue \"throws\": unknown exception"}));
    // A sync block's exception reaches its caller instead.
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("sync"); }), std::runtime_error);
    EXPECT_EQ(log.lines().size(), 2u);
}

// Signals when destroyed; lets a test observe the moment a queue drops its pending timers.
class SignalOnDestroy {
  public:
    explicit SignalOnDestroy(Semaphore& semaphore) : semaphore_(semaphore) {}
    ~SignalOnDestroy() { semaphore_.signal(); }
    SignalOnDestroy(const SignalOnDestroy&) = delete;
    SignalOnDestroy& operator=(const SignalOnDestroy&) = delete;

  private:
    Semaphore& semaphore_;
};

TEST(SerialQueueTest, DestructionRunsQueuedBlocksAndDropsLaterOnes) {
    testkit::ScopedManualClock clock;
    Recorder<int> ran;
    Semaphore closed;
    std::shared_ptr<Cancelable> token;
    {
        SerialQueue queue("dying");
        // Destruction closes the queue, then drops this timer's block, which opens the gate: the
        // queued blocks run only once the queue takes no more.
        token = queue.after(100, [guard = std::make_shared<SignalOnDestroy>(closed)] {});
        queue.async([&] { closed.wait(kSerialGuard); });
        for (int i = 0; i < 5; ++i) {
            queue.async([&, i] {
                ran.add(i);
                if (i == 4) queue.async([&] { ran.add(99); });
            });
        }
    }
    EXPECT_EQ(ran.values(), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(clock->pendingTimerCount(), 0u);
    token->cancel();  // harmless after the queue is gone
}

TEST(SerialQueueTest, DestructionFromItsOwnBlockFinishesQueuedWork) {
    auto queue = std::make_unique<SerialQueue>("self-destroying");
    Recorder<int> ran;
    Semaphore added;
    Semaphore finished;
    queue->async([&] {
        added.wait(kSerialGuard);
        queue.reset();
        EXPECT_EQ(DispatchQueue::current(), nullptr);
        ran.add(1);
    });
    queue->async([&] {
        ran.add(2);
        finished.signal();
    });
    added.signal();
    ASSERT_TRUE(finished.wait(kSerialGuard));
    EXPECT_EQ(ran.values(), (std::vector<int>{1, 2}));
}

// --- delayed blocks ---

TEST(QueueTimerTest, ManualClockRunsDelayedBlocksInDueOrderAtTheirDeadline) {
    testkit::ScopedManualClock clock(5000.0, 100.0);
    SerialQueue queue("timers");
    Recorder<std::pair<std::string, double>> ran;
    const auto at = [&](const char* name) {
        return [&, name] { ran.add({name, Clock::current().now()}); };
    };
    queue.after(30, at("c"));
    queue.after(10, at("a"));
    queue.after(20, at("b1"));
    queue.after(20, at("b2"));
    queue.after(60, at("late"));

    clock.advance(30);
    EXPECT_EQ(ran.values(), (std::vector<std::pair<std::string, double>>{
                                {"a", 5010.0}, {"b1", 5020.0}, {"b2", 5020.0}, {"c", 5030.0}}));
    EXPECT_EQ(clock->now(), 5030.0);
    EXPECT_EQ(clock->pendingTimerCount(), 1u);

    // No delay: posted at once, without moving the clock.
    queue.after(0, at("now"));
    queue.after(-3, at("overdue"));
    testkit::drain(queue);
    EXPECT_EQ(ran.values().back(), (std::pair<std::string, double>{"overdue", 5030.0}));
    EXPECT_EQ(ran.values().size(), 6u);
}

TEST(QueueTimerTest, BlocksScheduledByATimerInsideTheAdvanceFireInIt) {
    testkit::ScopedManualClock clock(0.0, 0.0);
    SerialQueue queue("repeating");
    Recorder<double> ticks;
    std::function<void()> tick = [&] {
        ticks.add(Clock::current().uptime());
        queue.after(10, tick);
    };
    queue.after(10, tick);
    clock.advance(35);
    EXPECT_EQ(ticks.values(), (std::vector<double>{10, 20, 30}));
    EXPECT_EQ(clock->pendingTimerCount(), 1u);
}

TEST(QueueTimerTest, CancelledBlockNeverRuns) {
    testkit::ScopedManualClock clock;
    SerialQueue queue("cancel");
    Recorder<int> ran;
    const auto first = queue.after(5, [&] { ran.add(1); });
    queue.after(5, [&] { ran.add(2); });
    first->cancel();
    EXPECT_TRUE(first->isCancelled());
    EXPECT_EQ(clock->pendingTimerCount(), 1u);
    clock.advance(10);
    EXPECT_EQ(ran.values(), std::vector<int>{2});

    // Cancelled after it was posted but before it ran: still never runs.
    Semaphore release;
    queue.async([&] { release.wait(kSerialGuard); });
    const auto late = queue.after(0, [&] { ran.add(3); });
    late->cancel();
    release.signal();
    testkit::drain(queue);
    EXPECT_EQ(ran.values(), std::vector<int>{2});
}

// A queue that lives for the process, as the engine's monitor queue does.
SerialQueue& processQueue() {
    static NoDestructor<SerialQueue> queue("process-lifetime");
    return queue.get();
}

// Touched by a block while the process exits; destroyed with the other statics.
std::vector<std::string>& exitTimeLines() {
    static std::vector<std::string> lines;
    return lines;
}

// The exiting process is started afresh ("threadsafe") rather than forked: a fork keeps the
// handles of threads that stayed in the parent (the system clock's timer thread, once another
// test started it), and exit() in the child would wait for them for ever.
TEST(ProcessExitTest, ExitLetsTheRunningBlockFinishAndStopsTheWorker) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            exitTimeLines().reserve(1);
            Semaphore started(0);
            processQueue().async([&started] {
                started.signal();
                // Still running when exit() begins; statics must outlive it.
                for (int i = 0; i < 20000; ++i)
                    exitTimeLines().push_back(std::to_string(i));
            });
            // Never runs: the worker stops once the process is exiting.
            for (int i = 0; i < 1000; ++i)
                processQueue().async([] { exitTimeLines().push_back("late"); });
            started.wait();
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "");
}

TEST(ProcessExitTest, SyncDuringExitRunsOnTheCallingThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // A static destructor that flushes through the queue, as stores do. Built before the
            // queue, so it runs after the exit gate has closed and the worker has stopped.
            struct FlushAtExit {
                ~FlushAtExit() {
                    bool ran = false;
                    processQueue().sync([&ran] { ran = true; });
                    std::fputs(ran ? "flushed\n" : "lost\n", stderr);
                }
            };
            static FlushAtExit flush;
            processQueue().sync([] {});
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "flushed");
}

}  // namespace
}  // namespace platform
