#pragma once

// The ad-network attribution registry of the platform. Linux has none: this stand-in records the
// registrations so that the engine's callers can be observed.

#include <atomic>
#include <cstdint>

namespace platform {

class SKAdNetwork {
  public:
    static void registerAppForAdNetworkAttribution() { count().fetch_add(1); }
    // How many registrations this process made. Any thread.
    static std::int64_t registrationCount() { return count().load(); }
    static void resetRegistrationCount() { count().store(0); }

  private:
    static std::atomic<std::int64_t>& count() {
        static std::atomic<std::int64_t> registrations{0};
        return registrations;
    }
};

}  // namespace platform
