#pragma once

// The bridge to the platform's tracking-authorisation status and advertising identifier. Nothing
// in the engine names it: the app's start-up registers it with
// KLVDefaultIdentitySupport::setPlatformIdentitySupport. The platform services are reached only
// when present; a missing service or operation yields the neutral answer, never a failure.

#include <memory>
#include <optional>
#include <string>

#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "platform/adsupport/AdServices.h"

namespace engine {

class KLVPlatformIdentitySupport : public KLVIdentitySupport {
  public:
    // One instance for the process; the services are looked up when it is made.
    static std::shared_ptr<KLVPlatformIdentitySupport> sharedInstance();
    // Looks the services up now.
    KLVPlatformIdentitySupport();

    bool hasAppDataConsentStatus() override;
    std::int64_t appDataConsentStatus() override;
    bool hasLimitedAdTracking() override;
    bool limitedAdTracking() override;
    // Passed on unchanged, the all-zero identifier included.
    std::optional<std::string> resettableDeviceID() override;

  private:
    const std::optional<platform::ATTrackingManager> trackingManagerClass_;
    const std::shared_ptr<platform::ASIdentifierManager> identifierManager_;
};

}  // namespace engine
