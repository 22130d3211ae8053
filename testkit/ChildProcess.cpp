#include "testkit/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace testkit {

namespace {

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (auto& text : texts)
        list.push_back(text.data());
    list.push_back(nullptr);
    return list;
}

// Closes a descriptor once, on every path out of the constructor.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

ChildProcess::ChildProcess(const std::string& test,
                           const std::vector<std::pair<std::string, std::string>>& environment) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry)
        variables.emplace_back(*entry);
    for (const auto& [name, value] : environment)
        variables.push_back(name + "=" + value);
    std::vector<std::string> arguments{"/proc/self/exe", "--gtest_filter=" + test};
    auto argv = pointersTo(arguments);
    auto envp = pointersTo(variables);

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    Descriptor readEnd{ends[0]};
    Descriptor writeEnd{ends[1]};

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return;
    // dup2 clears close-on-exec on the copy, so only the report descriptor reaches the child.
    const bool prepared =
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
        posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, kReportDescriptor) == 0;
    pid_t pid = -1;
    const int spawned =
        prepared ? posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) : -1;
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return;
    pid_ = pid;
    readEnd_ = readEnd.fd;
    readEnd.fd = -1;
}

ChildProcess::~ChildProcess() {
    kill();
    if (readEnd_ >= 0) ::close(readEnd_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (const auto newline = buffered_.find('\n'); newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        if (readEnd_ < 0) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd entry{readEnd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char chunk[4096];
        const ssize_t got = ::read(readEnd_, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ::close(readEnd_);
            readEnd_ = -1;
            continue;  // a partial last line is dropped: the writer died within it
        }
        buffered_.append(chunk, static_cast<std::size_t>(got));
    }
}

void ChildProcess::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    wait();
}

int ChildProcess::wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(pid_, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    pid_ = -1;
    if (reaped <= 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool ChildProcess::report(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(kReportDescriptor, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace testkit
