#include "testkit/PeakMemory.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <fstream>

#include "testkit/ChildProcess.h"

namespace testkit {

namespace {

// A field of /proc/self/status in bytes ("VmRSS:   1234 kB").
std::optional<std::size_t> statusBytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoull(line.substr(field.size() + 1)) * 1024;
        }
    }
    return std::nullopt;
}

// Lowers the high-water mark to the present resident size (Linux 4.0 and later).
bool resetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return clear.good();
}

// False in sanitizer builds, whose allocators keep freed memory in quarantine.
bool peakMemoryIsMeasurable() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
    return false;
#else
    return true;
#endif
#else
    return true;
#endif
}

}  // namespace

void reportPeakGrowthOf(const std::function<void()>& work) {
    // glibc serves blocks from 128 KiB up straight from the system and returns them when freed,
    // but raises that threshold after each such free, and below it freed blocks stay resident.
    // Whether the work's buffers stay in bounds must not hang on what the process freed before.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    const bool reset = resetPeak();
    const auto before = statusBytes("VmRSS");
    work();
    const auto peak = statusBytes("VmHWM");
    if (!reset || !before || !peak) {
        ChildProcess::report("peak unknown");
        return;
    }
    ChildProcess::report("peak " + std::to_string(*peak > *before ? *peak - *before : 0));
}

std::optional<std::size_t> peakGrowthInChild(
    const std::string& test, const std::vector<std::pair<std::string, std::string>>& environment) {
    ChildProcess child(test, environment);
    if (!child.isRunning()) {
        ADD_FAILURE() << "could not start " << test;
        return std::nullopt;
    }
    const auto line = child.readLine(std::chrono::minutes(2));
    const int exitCode = child.wait();
    EXPECT_EQ(exitCode, 0) << test << " failed in the child";
    if (!line || line->rfind("peak ", 0) != 0) {
        ADD_FAILURE() << test << " reported no peak";
        return std::nullopt;
    }
    if (*line == "peak unknown" || !peakMemoryIsMeasurable()) return std::nullopt;
    return std::stoull(line->substr(5));
}

}  // namespace testkit
