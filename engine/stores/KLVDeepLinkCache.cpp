#include "engine/stores/KLVDeepLinkCache.h"

#include <cmath>
#include <limits>

#include "engine/stores/KLVUserDefaults.h"
#include "platform/dispatch/Clock.h"

namespace engine {

namespace {
constexpr std::int64_t kMillisecondsPerHour = 3'600'000;
}  // namespace

void KLVStoreDeepLink(KLVUserDefaults& userDefaults, std::string_view url) {
    userDefaults.setObject(platform::Object(url), kKLVDeepLinkKey);
    userDefaults.setDouble(platform::Clock::current().now(), kKLVDeepLinkTimestampKey);
}

bool KLVIsStoredDeepLinkExpired(const KLVUserDefaults& userDefaults, double timeToLive) {
    const auto stored = userDefaults.numberForKey(kKLVDeepLinkTimestampKey).numberAsDouble();
    if (!stored) return false;
    return std::fabs(platform::Clock::current().now() - *stored) > timeToLive;
}

void KLVRemoveStoredDeepLink(KLVUserDefaults& userDefaults) {
    userDefaults.removeObjectForKey(kKLVDeepLinkKey);
    userDefaults.removeObjectForKey(kKLVDeepLinkTimestampKey);
}

bool KLVClearExpiredStoredDeepLinkWithTimeToLive(double timeToLive) {
    auto& userDefaults = KLVUserDefaults::sharedUserDefaults();
    if (!KLVIsStoredDeepLinkExpired(userDefaults, timeToLive)) return false;
    KLVRemoveStoredDeepLink(userDefaults);
    return true;
}

std::int64_t KLVStartOfPreviousHourMillis(std::int64_t milliseconds) {
    const std::int64_t startOfHour = milliseconds / kMillisecondsPerHour * kMillisecondsPerHour;
    std::int64_t previous = 0;
    // Only within an hour of the smallest 64-bit value is there no previous hour to name.
    if (__builtin_sub_overflow(startOfHour, kMillisecondsPerHour, &previous)) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return previous;
}

}  // namespace engine
