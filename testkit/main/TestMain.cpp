// The main of every test program: Google Test's, with resets of the shared instances waiting
// for the queues to come to rest (testkit/SharedReset.h); then the queue workers are stopped
// before exit() destroys the statics a late block (an answer, a queued reset) may still use.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dispatch/ProcessExit.h"
#include "testkit/SharedReset.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleMock(&argc, argv);
    testkit::installResetSettle();
    const int result = RUN_ALL_TESTS();
    platform::processexit::closeForExit();
    return result;
}
