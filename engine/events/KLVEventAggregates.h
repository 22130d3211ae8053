#pragma once

// The counters and sampling state the database keeps per event name (one row of the "events"
// table): how often the event fired since install, in the bundle being built and in the current
// session, when it last fired and was last bundled, and the sampling decisions taken for it.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace engine {

class KLVEventAggregates {
  public:
    // Nullopt when the name fails the internal event-name rule or a count is negative (logged,
    // 17000). The other fields start as: last bundled 0, no complex event, sampling rate 1, not
    // exempt, last bundled day 0.
    static std::optional<KLVEventAggregates> initWithName(std::string name,
                                                          std::int32_t lifetimeCount,
                                                          std::int32_t currentBundleCount,
                                                          std::int32_t currentSessionCount,
                                                          double lastFireTimestamp);

    // Each adds 1; a counter at its maximum starts again from 0 (logged, 17001 to 17003).
    void incrementLifetimeCount();
    void incrementCurrentBundleCount();
    void incrementCurrentSessionCount();

    const std::string& name() const { return name_; }
    std::int32_t lifetimeCount() const { return lifetimeCount_; }
    std::int32_t currentBundleCount() const { return currentBundleCount_; }
    std::int32_t currentSessionCount() const { return currentSessionCount_; }

    double lastFireTimestamp() const { return lastFireTimestamp_; }
    void setLastFireTimestamp(double timestamp) { lastFireTimestamp_ = timestamp; }
    double lastBundledTimestamp() const { return lastBundledTimestamp_; }
    void setLastBundledTimestamp(double timestamp) { lastBundledTimestamp_ = timestamp; }
    const std::optional<std::int64_t>& lastSampledComplexEventID() const {
        return lastSampledComplexEventID_;
    }
    void setLastSampledComplexEventID(std::optional<std::int64_t> eventID) {
        lastSampledComplexEventID_ = eventID;
    }
    std::int32_t lastSamplingRate() const { return lastSamplingRate_; }
    void setLastSamplingRate(std::int32_t rate) { lastSamplingRate_ = rate; }
    bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
    void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }
    std::int32_t lastBundledDay() const { return lastBundledDay_; }
    void setLastBundledDay(std::int32_t day) { lastBundledDay_ = day; }

  private:
    KLVEventAggregates(std::string name, std::int32_t lifetimeCount,
                       std::int32_t currentBundleCount, std::int32_t currentSessionCount,
                       double lastFireTimestamp);

    std::string name_;
    std::int32_t lifetimeCount_;
    std::int32_t currentBundleCount_;
    std::int32_t currentSessionCount_;
    double lastFireTimestamp_;
    double lastBundledTimestamp_ = 0;
    std::optional<std::int64_t> lastSampledComplexEventID_;
    std::int32_t lastSamplingRate_ = 1;
    bool lastExemptFromSampling_ = false;
    std::int32_t lastBundledDay_ = 0;
};

// For failure messages: every field, by name.
void PrintTo(const KLVEventAggregates& aggregates, std::ostream* os);

}  // namespace engine
