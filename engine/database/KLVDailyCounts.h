#pragma once

// The counters of events logged today, kept in the database's app_metadata row. The measurement
// service reads them, counts in memory and writes them back in the same transaction as the events.
// Every operation that takes a day first starts the counters afresh when that day is not theirs.
// Counting wraps around like 32-bit arithmetic instead of overflowing.

#include <cstdint>
#include <iosfwd>

namespace engine {

class KLVDailyCounts {
  public:
    KLVDailyCounts(std::int32_t day, std::int32_t conversionsCount, std::int32_t allEventsCount,
                   std::int32_t publicEventsCount, std::int32_t errorEventsCount,
                   std::int32_t realtimeCount, std::int32_t dcuRealtimeCount);
    static KLVDailyCounts initWithDay(std::int32_t day, std::int32_t conversionsCount,
                                      std::int32_t allEventsCount, std::int32_t publicEventsCount,
                                      std::int32_t errorEventsCount, std::int32_t realtimeCount,
                                      std::int32_t dcuRealtimeCount) {
        return KLVDailyCounts(day, conversionsCount, allEventsCount, publicEventsCount,
                              errorEventsCount, realtimeCount, dcuRealtimeCount);
    }

    // A conversion adds one conversion whatever the count; all events (and public events, for a
    // public event) grow by `effectiveEventCount`.
    void incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion,
                                      std::int32_t effectiveEventCount = 1);
    // An error event counts as an event too.
    void incrementErrorEventsCountForCurrentDay(std::int32_t day);
    void incrementRealtimeCountsForCurrentDay(std::int32_t day);
    void incrementDCURealtimeCountsForCurrentDay(std::int32_t day);
    // One event fewer, never below 0; takes no day and never restarts the counters.
    void decrementAllEventsCount();
    // `day` becomes the counters' day and all six counters 0.
    void resetWithNewDay(std::int32_t day);

    std::int32_t day() const { return day_; }
    std::int32_t conversionsCount() const { return conversionsCount_; }
    std::int32_t allEventsCount() const { return allEventsCount_; }
    std::int32_t publicEventsCount() const { return publicEventsCount_; }
    std::int32_t errorEventsCount() const { return errorEventsCount_; }
    std::int32_t realtimeCount() const { return realtimeCount_; }
    std::int32_t dcuRealtimeCount() const { return dcuRealtimeCount_; }

    friend bool operator==(const KLVDailyCounts&, const KLVDailyCounts&) = default;

  private:
    void restartIfNewDay(std::int32_t day);

    std::int32_t day_;
    std::int32_t conversionsCount_;
    std::int32_t allEventsCount_;
    std::int32_t publicEventsCount_;
    std::int32_t errorEventsCount_;
    std::int32_t realtimeCount_;
    std::int32_t dcuRealtimeCount_;
};

// For failure messages: KLVDailyCounts{day: 19675, conversions: 0, allEvents: 3, ...}.
void PrintTo(const KLVDailyCounts& counts, std::ostream* os);

// floor((now - midnightOffset) / 86400) as a day number; times beyond the 32-bit day range are
// held at its ends.
std::int32_t KLVDayNumber(double now, double midnightOffset);

}  // namespace engine
