#include "engine/database/KLVDailyCounts.h"

#include <cmath>
#include <limits>
#include <ostream>

namespace engine {

namespace {

// Adds as unsigned 32-bit numbers, so that a full counter wraps instead of overflowing.
std::int32_t wrappingAdd(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

constexpr double kSecondsPerDay = 86400.0;

}  // namespace

KLVDailyCounts::KLVDailyCounts(std::int32_t day, std::int32_t conversionsCount,
                               std::int32_t allEventsCount, std::int32_t publicEventsCount,
                               std::int32_t errorEventsCount, std::int32_t realtimeCount,
                               std::int32_t dcuRealtimeCount)
    : day_(day),
      conversionsCount_(conversionsCount),
      allEventsCount_(allEventsCount),
      publicEventsCount_(publicEventsCount),
      errorEventsCount_(errorEventsCount),
      realtimeCount_(realtimeCount),
      dcuRealtimeCount_(dcuRealtimeCount) {}

void KLVDailyCounts::restartIfNewDay(std::int32_t day) {
    if (day != day_) resetWithNewDay(day);
}

void KLVDailyCounts::incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent,
                                                  bool isConversion,
                                                  std::int32_t effectiveEventCount) {
    restartIfNewDay(day);
    if (isConversion) conversionsCount_ = wrappingAdd(conversionsCount_, 1);
    allEventsCount_ = wrappingAdd(allEventsCount_, effectiveEventCount);
    if (isPublicEvent) publicEventsCount_ = wrappingAdd(publicEventsCount_, effectiveEventCount);
}

void KLVDailyCounts::incrementErrorEventsCountForCurrentDay(std::int32_t day) {
    restartIfNewDay(day);
    allEventsCount_ = wrappingAdd(allEventsCount_, 1);
    errorEventsCount_ = wrappingAdd(errorEventsCount_, 1);
}

void KLVDailyCounts::incrementRealtimeCountsForCurrentDay(std::int32_t day) {
    restartIfNewDay(day);
    realtimeCount_ = wrappingAdd(realtimeCount_, 1);
}

void KLVDailyCounts::incrementDCURealtimeCountsForCurrentDay(std::int32_t day) {
    restartIfNewDay(day);
    dcuRealtimeCount_ = wrappingAdd(dcuRealtimeCount_, 1);
}

void KLVDailyCounts::decrementAllEventsCount() {
    allEventsCount_ = allEventsCount_ > 1 ? allEventsCount_ - 1 : 0;
}

void KLVDailyCounts::resetWithNewDay(std::int32_t day) {
    day_ = day;
    conversionsCount_ = 0;
    allEventsCount_ = 0;
    publicEventsCount_ = 0;
    errorEventsCount_ = 0;
    realtimeCount_ = 0;
    dcuRealtimeCount_ = 0;
}

std::int32_t KLVDayNumber(double now, double midnightOffset) {
    const double day = std::floor((now - midnightOffset) / kSecondsPerDay);
    constexpr double kLowest = std::numeric_limits<std::int32_t>::min();
    constexpr double kHighest = std::numeric_limits<std::int32_t>::max();
    if (std::isnan(day)) return 0;
    if (day <= kLowest) return std::numeric_limits<std::int32_t>::min();
    if (day >= kHighest) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(day);
}

void PrintTo(const KLVDailyCounts& counts, std::ostream* os) {
    *os << "KLVDailyCounts{day: " << counts.day() << ", conversions: " << counts.conversionsCount()
        << ", allEvents: " << counts.allEventsCount()
        << ", publicEvents: " << counts.publicEventsCount()
        << ", errorEvents: " << counts.errorEventsCount()
        << ", realtime: " << counts.realtimeCount()
        << ", dcuRealtime: " << counts.dcuRealtimeCount() << '}';
}

}  // namespace engine
