#pragma once

// What the benchmark programs that start the measurement service share: reading the resident
// set, and a main() that leaves the service's queues running when the process ends.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

namespace bench {

// A field of /proc/self/status ("VmRSS", "VmHWM") in MiB; -1 when it cannot be read.
inline double statusMiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0)
            return std::strtod(line.c_str() + prefix.size(), nullptr) / 1024;
    }
    return -1;
}

// Starts the peak resident set afresh from the current one.
inline void resetPeakResidentSet() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Runs the benchmarks the command line names, through `reporter` when one is given; false when
// the command line holds arguments the library does not know.
inline bool runBenchmarks(int* argc, char** argv,
                          benchmark::BenchmarkReporter* reporter = nullptr) {
    benchmark::Initialize(argc, argv);
    if (benchmark::ReportUnrecognizedArguments(*argc, argv)) return false;
    if (reporter) {
        benchmark::RunSpecifiedBenchmarks(reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return true;
}

// Removes the benchmarks' data root and ends the process. The service's queues are still
// running: leave without static destructors under them, but with the report written out, which
// _Exit would otherwise drop when the output is a pipe or a file.
[[noreturn]] inline void exitUnderRunningService(const std::filesystem::path& home) {
    std::cout.flush();
    std::fflush(stdout);
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    std::_Exit(0);
}

}  // namespace bench
