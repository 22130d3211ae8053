#include "engine/measurement/KLVMeasurement.h"

#include <utility>

namespace engine {

void KLVMeasurement::initializeSharedInstanceWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated,
    std::optional<std::vector<std::string>> safelistedEvents) {
    initializeSharedInstanceOnce([&]() -> std::shared_ptr<KLVMeasurementBase> {
        if (appID.empty()) return nullptr;
        monitor();
        return std::make_shared<KLVMeasurement>(appID, isAnalyticsCollectionEnabled,
                                                isAnalyticsCollectionDeactivated,
                                                std::move(safelistedEvents));
    });
}

std::shared_ptr<KLVMeasurement> KLVMeasurement::sharedInstance() {
    return std::dynamic_pointer_cast<KLVMeasurement>(KLVMeasurementBase::sharedInstance());
}

KLVMeasurement::KLVMeasurement(std::string appID, bool isAnalyticsCollectionEnabled,
                               bool isAnalyticsCollectionDeactivated,
                               std::optional<std::vector<std::string>> safelistedEvents)
    : appID_(std::move(appID)),
      isAnalyticsCollectionEnabled_(isAnalyticsCollectionEnabled),
      isAnalyticsCollectionDeactivated_(isAnalyticsCollectionDeactivated),
      safelistedEvents_(std::move(safelistedEvents)) {}

std::shared_ptr<KLVRemoteConfig> KLVMeasurement::remoteConfigInstance() const {
    std::lock_guard lock(remoteConfigMutex_);
    return remoteConfig_;
}

}  // namespace engine
