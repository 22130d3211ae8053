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

// In the child: runs `work` and reports how far the resident size rose above where it stood when
// the work began ("peak <bytes>"), or "peak unknown" where the kernel does not let the
// high-water mark be reset.
void reportPeakGrowthOf(const std::function<void()>& work);

// In the parent: runs `test` of this program as a child with `environment` and returns the growth
// it reported. A child that reports nothing or fails its test is a test failure. Nullopt where a
// peak means nothing: in sanitizer builds (their allocators hold freed memory back in quarantine
// and add shadow memory) and where the kernel does not let the mark be reset. The child runs
// there all the same, so its test still checks the outcome of the work.
std::optional<std::size_t> peakGrowthInChild(
    const std::string& test, const std::vector<std::pair<std::string, std::string>>& environment);

}  // namespace testkit
