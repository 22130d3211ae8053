#include "engine/measurement/KLVPlatformIdentitySupport.h"

#include "platform/foundation/SharedInstance.h"

namespace engine {

namespace {

std::shared_ptr<platform::ASIdentifierManager> lookUpIdentifierManager() {
    const auto managerClass = platform::TrackingServices::identifierManagerClass();
    if (!managerClass || !managerClass->sharedManager) return nullptr;
    return managerClass->sharedManager();
}

}  // namespace

KLVPlatformIdentitySupport::KLVPlatformIdentitySupport()
    : trackingManagerClass_(platform::TrackingServices::trackingManager()),
      identifierManager_(lookUpIdentifierManager()) {}

std::shared_ptr<KLVPlatformIdentitySupport> KLVPlatformIdentitySupport::sharedInstance() {
    struct Holder {
        std::shared_ptr<KLVPlatformIdentitySupport> instance =
            std::make_shared<KLVPlatformIdentitySupport>();
    };
    return platform::SharedInstance<Holder>::get().instance;
}

bool KLVPlatformIdentitySupport::hasAppDataConsentStatus() {
    return trackingManagerClass_.has_value();
}

std::int64_t KLVPlatformIdentitySupport::appDataConsentStatus() {
    if (!trackingManagerClass_ || !trackingManagerClass_->trackingAuthorizationStatus) return -1;
    return trackingManagerClass_->trackingAuthorizationStatus();
}

bool KLVPlatformIdentitySupport::hasLimitedAdTracking() {
    return identifierManager_ != nullptr;
}

bool KLVPlatformIdentitySupport::limitedAdTracking() {
    if (!identifierManager_ || !identifierManager_->isAdvertisingTrackingEnabled) return false;
    return !identifierManager_->isAdvertisingTrackingEnabled();
}

std::optional<std::string> KLVPlatformIdentitySupport::resettableDeviceID() {
    if (!identifierManager_ || !identifierManager_->advertisingIdentifier) return std::nullopt;
    return identifierManager_->advertisingIdentifier();
}

}  // namespace engine
