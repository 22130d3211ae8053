#include "testkit/ChildProcess.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace testkit {
namespace {

constexpr char kRole[] = "TESSALINE_CHILD_PROCESS_ROLE";

std::string role() {
    const char* value = std::getenv(kRole);
    return value ? value : "";
}

TEST(ChildProcessTest, ReportedLinesArriveInOrderAndTheExitCodeIsKept) {
    ChildProcess child("ChildProcessRole.*", {{kRole, "report"}});
    ASSERT_TRUE(child.isRunning());
    EXPECT_EQ(child.readLine(std::chrono::seconds(30)), std::optional<std::string>("first"));
    EXPECT_EQ(child.readLine(std::chrono::seconds(30)), std::optional<std::string>("second"));
    EXPECT_EQ(child.readLine(std::chrono::seconds(30)), std::nullopt);  // end of file
    EXPECT_EQ(child.wait(), 3);
    EXPECT_FALSE(child.isRunning());
}

TEST(ChildProcessTest, AKilledChildIsReapedAndItsReportsEnd) {
    ChildProcess child("ChildProcessRole.*", {{kRole, "block"}});
    ASSERT_TRUE(child.isRunning());
    EXPECT_EQ(child.readLine(std::chrono::seconds(30)), std::optional<std::string>("waiting"));
    child.kill();
    EXPECT_FALSE(child.isRunning());
    EXPECT_EQ(child.wait(), -1);  // nothing left to wait for
    EXPECT_EQ(child.readLine(std::chrono::seconds(30)), std::nullopt);
}

// The children of the tests above; they run only when started by them.
TEST(ChildProcessRole, Report) {
    if (role() != "report") GTEST_SKIP();
    ChildProcess::report("first");
    ChildProcess::report("second");
    std::_Exit(3);
}

TEST(ChildProcessRole, Block) {
    if (role() != "block") GTEST_SKIP();
    ChildProcess::report("waiting");
    for (;;)
        ::pause();  // until the parent kills it
}

}  // namespace
}  // namespace testkit
