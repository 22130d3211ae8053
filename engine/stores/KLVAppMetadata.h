#pragma once

// The bundle bookkeeping kept in the database's one app_metadata row: the index of the last
// measurement bundle built and the time span it covered. Belongs to the worker queue.

#include <cstdint>
#include <optional>

namespace engine {

class KLVAppMetadata {
  public:
    // Nullopt (logged) for a negative index.
    static std::optional<KLVAppMetadata> initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                 double lastBundleStartTimestamp,
                                                                 double lastBundleEndTimestamp);

    std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
    // Up by one; past the largest 32-bit value it starts again at 0 (logged).
    void incrementLastBundleIndex();
    double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
    void setLastBundleStartTimestamp(double seconds) { lastBundleStartTimestamp_ = seconds; }
    double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
    void setLastBundleEndTimestamp(double seconds) { lastBundleEndTimestamp_ = seconds; }

  private:
    KLVAppMetadata(std::int32_t index, double start, double end)
        : lastBundleIndex_(index), lastBundleStartTimestamp_(start), lastBundleEndTimestamp_(end) {}

    std::int32_t lastBundleIndex_;
    double lastBundleStartTimestamp_;
    double lastBundleEndTimestamp_;
};

}  // namespace engine
