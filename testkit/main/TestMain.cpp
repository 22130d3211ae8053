// The main of every test program: Google Test's, with resets of the shared instances waiting
// for the queues to come to rest (testkit/SharedReset.h); then the queue workers are stopped
// before exit() destroys the statics a late block (an answer, a queued reset) may still use.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/dispatch/ProcessExit.h"
#include "testkit/SharedReset.h"
#include "testkit/main/TestResources.h"

int main(int argc, char** argv) {
    // The main bundle's folder comes from the environment (platform::Bundle), which an empty
    // variable leaves to the current folder: the program's own folder unless one is named. Set
    // before any thread starts; the child runs of a test inherit it.
    if (const char* named = std::getenv("TESSALINE_RESOURCES"); !named || !*named)
        ::setenv("TESSALINE_RESOURCES", testkit::kTestResources, 1);
    ::testing::InitGoogleMock(&argc, argv);
    testkit::installResetSettle();
    const int result = RUN_ALL_TESTS();
    platform::processexit::closeForExit();
    return result;
}
