// The main of every test program: Google Test's, then the queue workers are stopped before
// exit() destroys the statics a late block (an answer, a queued reset) may still use.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dispatch/ProcessExit.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleMock(&argc, argv);
    const int result = RUN_ALL_TESTS();
    platform::processexit::closeForExit();
    return result;
}
