#include "platform/dispatch/Semaphore.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>

namespace platform {
namespace {

TEST(SemaphoreTest, CountsSignalsAndTimedWaitsGiveUp) {
    Semaphore semaphore;
    semaphore.signal();
    semaphore.signal();
    EXPECT_TRUE(semaphore.wait(0));
    EXPECT_TRUE(semaphore.wait(0.01));
    for (const double seconds : {0.01, 0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_FALSE(semaphore.wait(seconds)) << seconds;
    }
    Semaphore preloaded(1);
    preloaded.wait();
    EXPECT_FALSE(preloaded.wait(0));
    EXPECT_FALSE(Semaphore(-3).wait(0));
}

TEST(SemaphoreTest, WakesAWaiterSignalledFromAnotherThread) {
    Semaphore request;
    Semaphore reply;
    std::thread other([&] {
        request.wait();
        reply.signal();
    });
    request.signal();
    EXPECT_TRUE(reply.wait(std::numeric_limits<double>::infinity()));
    other.join();
}

}  // namespace
}  // namespace platform
