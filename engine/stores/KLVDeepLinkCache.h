#pragma once

// A short-lived cache of the deep link the app was opened with, kept in the engine's shared user
// defaults until the measurement service reports it as a campaign or it expires.

#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

class KLVUserDefaults;

inline constexpr char kKLVDeepLinkKey[] = "/nexory/measurement/deep_link";
inline constexpr char kKLVDeepLinkTimestampKey[] =
    "/nexory/measurement/deep_link_timestamp_seconds";

// Stores the link and the current time (seconds since 1970, with fraction).
void KLVStoreDeepLink(KLVUserDefaults& userDefaults, std::string_view url);
// False without a stored time; otherwise whether the stored time lies more than `timeToLive`
// seconds away from now, in either direction.
bool KLVIsStoredDeepLinkExpired(const KLVUserDefaults& userDefaults, double timeToLive);
// Removes the link and its time.
void KLVRemoveStoredDeepLink(KLVUserDefaults& userDefaults);

// Removes an expired link from the shared engine user defaults, with the server-driven settings'
// attributionCacheTTLInterval() as time-to-live; true when one was removed.
bool KLVClearExpiredStoredDeepLinkWithTimeToLive(double timeToLive);
template <typename Settings>
bool KLVClearExpiredStoredDeepLink(const Settings& settings) {
    return KLVClearExpiredStoredDeepLinkWithTimeToLive(settings.attributionCacheTTLInterval());
}

// The start of the hour before the one holding `milliseconds`: the hour is found by truncating
// toward zero (1,700,000,000,000 gives 1,699,995,600,000; 0 gives -3,600,000).
std::int64_t KLVStartOfPreviousHourMillis(std::int64_t milliseconds);

}  // namespace engine
