#include "platform/adsupport/AdServices.h"

#include <mutex>

#include "platform/adsupport/SKAdNetwork.h"
#include "platform/foundation/SharedInstance.h"

namespace platform {

namespace {

// The installed services of the process; a test reset removes them all.
struct Installed {
    std::mutex mutex;
    AAAttributionTokenProvider tokenProvider;
    std::optional<ATTrackingManager> trackingManager;
    std::optional<ASIdentifierManagerClass> identifierManagerClass;
    SKAdNetworkConversionValueUpdater conversionValueUpdater;
};

Installed& installed() {
    static Installed* made = [] {
        auto* services = new Installed();
        registerSharedReset("platform.adsupport", [services] {
            std::lock_guard lock(services->mutex);
            services->tokenProvider = nullptr;
            services->trackingManager.reset();
            services->identifierManagerClass.reset();
            services->conversionValueUpdater = nullptr;
        });
        return services;
    }();
    return *made;
}

template <typename Field>
auto read(Field Installed::*field) {
    auto& services = installed();
    std::lock_guard lock(services.mutex);
    return services.*field;
}

template <typename Field, typename Value>
void write(Field Installed::*field, Value value) {
    auto& services = installed();
    std::lock_guard lock(services.mutex);
    services.*field = std::move(value);
}

}  // namespace

void AAAttribution::setTokenProvider(AAAttributionTokenProvider provider) {
    write(&Installed::tokenProvider, std::move(provider));
}

bool AAAttribution::isAvailable() {
    return static_cast<bool>(read(&Installed::tokenProvider));
}

std::optional<std::string> AAAttribution::attributionTokenWithError(Error* error) {
    const auto provider = read(&Installed::tokenProvider);
    if (!provider) {
        if (error)
            *error = Error{"AAAttributionErrorDomain", 1, "Attribution is not available", {}};
        return std::nullopt;
    }
    return provider(error);
}

void TrackingServices::setTrackingManager(std::optional<ATTrackingManager> manager) {
    write(&Installed::trackingManager, std::move(manager));
}

void TrackingServices::setIdentifierManagerClass(
    std::optional<ASIdentifierManagerClass> managerClass) {
    write(&Installed::identifierManagerClass, std::move(managerClass));
}

std::optional<ATTrackingManager> TrackingServices::trackingManager() {
    return read(&Installed::trackingManager);
}

std::optional<ASIdentifierManagerClass> TrackingServices::identifierManagerClass() {
    return read(&Installed::identifierManagerClass);
}

void SKAdNetwork::setConversionValueUpdater(SKAdNetworkConversionValueUpdater updater) {
    write(&Installed::conversionValueUpdater, std::move(updater));
}

bool SKAdNetwork::supportsConversionValueUpdates() {
    return static_cast<bool>(read(&Installed::conversionValueUpdater));
}

void SKAdNetwork::updatePostbackConversionValue(std::int64_t fineValue,
                                                const std::string& coarseValue, bool lockWindow,
                                                SKAdNetworkCompletion completion) {
    const auto updater = read(&Installed::conversionValueUpdater);
    if (!updater) {
        if (completion) completion(Error{SKANErrorDomain, 1, "Updates are not supported", {}});
        return;
    }
    updater(fineValue, coarseValue, lockWindow, std::move(completion));
}

}  // namespace platform
