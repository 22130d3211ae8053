#pragma once

// The platform's ad-attribution token service and its tracking-authorisation and advertising-
// identifier services. Linux has none of them: each is absent (as a framework the app does not
// link) unless a test or an app installs one. What an installed service leaves empty counts as an
// operation it does not answer.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

namespace platform {

// The attribution token of this install, or nothing with the error.
using AAAttributionTokenProvider = std::function<std::optional<std::string>(Error* error)>;

class AAAttribution {
  public:
    // Installs (or, with an empty function, removes) the service. Any thread.
    static void setTokenProvider(AAAttributionTokenProvider provider);
    static bool isAvailable();
    // Nothing with an error when the service is absent or fails.
    static std::optional<std::string> attributionTokenWithError(Error* error);
};

// The tracking-authorisation service: 0 not determined, 1 restricted, 2 denied, 3 authorised.
struct ATTrackingManager {
    std::function<std::int64_t()> trackingAuthorizationStatus;
};

// The advertising-identifier service's shared manager.
struct ASIdentifierManager {
    std::function<bool()> isAdvertisingTrackingEnabled;
    // The identifier as UUID text.
    std::function<std::string()> advertisingIdentifier;
};

struct ASIdentifierManagerClass {
    std::function<std::shared_ptr<ASIdentifierManager>()> sharedManager;
};

class TrackingServices {
  public:
    // Install (or, with nothing, remove) the services. Any thread.
    static void setTrackingManager(std::optional<ATTrackingManager> manager);
    static void setIdentifierManagerClass(std::optional<ASIdentifierManagerClass> managerClass);
    // The installed services; nothing when absent.
    static std::optional<ATTrackingManager> trackingManager();
    static std::optional<ASIdentifierManagerClass> identifierManagerClass();
};

}  // namespace platform
