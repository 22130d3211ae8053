#pragma once

// Another run of the current test program, restricted to one test, for tests that need a second
// process: one that works on the same files, or one that is killed with SIGKILL at a chosen
// moment. The child inherits the environment plus the given variables, its standard output goes
// to /dev/null, and its file descriptor kReportDescriptor is the write end of a pipe the parent
// reads line by line. The destructor kills and reaps a child still running.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testkit {

class ChildProcess {
  public:
    // Where the child writes its report lines.
    static constexpr int kReportDescriptor = 3;

    // Starts "/proc/self/exe --gtest_filter=<test>". isRunning() tells whether it started.
    ChildProcess(const std::string& test,
                 const std::vector<std::pair<std::string, std::string>>& environment);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool isRunning() const { return pid_ > 0; }

    // The next report line without its newline; nullopt at end of file (every writer gone) or
    // when `timeout` passed without a whole line.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);

    // SIGKILL, then waits for the child. Nothing when it is not running.
    void kill();
    // Waits for the child to end: its exit code, or -1 when it did not exit normally.
    int wait();

    // In the child: writes one report line (a single write, so lines never interleave). False
    // when the descriptor is not open.
    static bool report(const std::string& line);

  private:
    pid_t pid_ = -1;
    int readEnd_ = -1;
    std::string buffered_;
};

}  // namespace testkit
