#pragma once

// The peak resident memory of some work, for tests that bound what an operation may hold at
// once. The kernel keeps one high-water mark per process, so such a test runs the work alone in
// a child process (ChildProcess), which measures it and reports the figure to the parent.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testkit {

// False in sanitizer builds: their allocators hold freed memory back in quarantine and add shadow
// memory, so a peak there says nothing about the code.
bool peakMemoryIsMeasurable();

// In the child: runs `work` and reports how far the resident size rose above where it stood when
// the work began ("peak <bytes>"), or "peak unknown" where the kernel does not let the
// high-water mark be reset.
void reportPeakGrowthOf(const std::function<void()>& work);

// In the parent: runs `test` of this program as a child with `environment` and returns the growth
// it reported. Nullopt when the child could not measure; a child that reports nothing or fails its
// test is a test failure as well.
std::optional<std::size_t> peakGrowthInChild(
    const std::string& test, const std::vector<std::pair<std::string, std::string>>& environment);

}  // namespace testkit
