#pragma once

// The ad-network attribution registry of the platform. Linux has none: this stand-in records the
// registrations so that the engine's callers can be observed, and passes conversion-value updates
// to an updater that a test (or an app that has such a service) installs. Without one, updates
// are not supported.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

namespace platform {

// The coarse conversion values.
inline constexpr char SKAdNetworkCoarseConversionValueLow[] = "low";
inline constexpr char SKAdNetworkCoarseConversionValueMedium[] = "medium";
inline constexpr char SKAdNetworkCoarseConversionValueHigh[] = "high";
inline constexpr char SKANErrorDomain[] = "SKANErrorDomain";

// Called once, on any thread, with the error of a failed update.
using SKAdNetworkCompletion = std::function<void(std::optional<Error> error)>;
using SKAdNetworkConversionValueUpdater =
    std::function<void(std::int64_t fineValue, const std::string& coarseValue, bool lockWindow,
                       SKAdNetworkCompletion completion)>;

class SKAdNetwork {
  public:
    static void registerAppForAdNetworkAttribution() { count().fetch_add(1); }
    // How many registrations this process made. Any thread.
    static std::int64_t registrationCount() { return count().load(); }
    static void resetRegistrationCount() { count().store(0); }

    // Installs (or, with an empty function, removes) the conversion-value service. Any thread.
    static void setConversionValueUpdater(SKAdNetworkConversionValueUpdater updater);
    static bool supportsConversionValueUpdates();
    // Hands the values to the installed service; without one the completion is called at once
    // with an error of SKANErrorDomain.
    static void updatePostbackConversionValue(std::int64_t fineValue,
                                              const std::string& coarseValue, bool lockWindow,
                                              SKAdNetworkCompletion completion);

  private:
    static std::atomic<std::int64_t>& count() {
        static std::atomic<std::int64_t> registrations{0};
        return registrations;
    }
};

}  // namespace platform
