#pragma once

// The device facts the measurement service writes into event metadata: device model, operating
// system version, preferred language and time-zone offset. One shared instance; any thread may
// ask.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace engine {

class KLVEnvironmentInfo {
  public:
    static KLVEnvironmentInfo& sharedInstance();

    // Read once per process from the environment labels; an empty answer is logged (level 2,
    // code 14000) with the system's text for the last error, and kept.
    std::string deviceModel();
    std::string deviceOSVersion() const;
    // The first preferred language, lower-cased ("en-us"); nothing (logged, level 2, code 14001)
    // when the user has none.
    std::optional<std::string> userDefaultLanguage() const;
    // The local time zone's offset from GMT now, in whole minutes.
    std::int32_t timeZoneOffsetMinutes() const;

    // Seconds east of GMT to minutes, truncated toward zero (-12600 gives -210).
    static std::int32_t minutesFromSecondsFromGMT(std::int64_t seconds);

  private:
    std::once_flag deviceModelOnce_;
    std::string deviceModel_;
};

}  // namespace engine
