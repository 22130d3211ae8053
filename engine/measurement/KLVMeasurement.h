#pragma once

// The measurement service: one shared object that owns the engine's components and runs all
// measurement work on its worker queue. So far it holds its creation values and the class
// functions the layers below rely on; the components, the start sequence and the event pipeline
// join it with the rest of the measurement core.
//
// KLVMeasurement::monitor() and hasSharedInstance() are KLVMeasurementBase's (engine/base), where
// the components below the service reach them too; remoteConfig() forwards to the settings.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/KLVMeasurementBase.h"
#include "engine/settings/KLVRemoteConfig.h"

namespace engine {

class KLVMeasurement : public KLVMeasurementBase {
  public:
    // Creates the shared service once per process: with a non-empty app
    // ID a service with these values; with an empty one none, and no later call creates one.
    static void initializeSharedInstanceWithAppID(
        const std::string& appID, bool isAnalyticsCollectionEnabled,
        bool isAnalyticsCollectionDeactivated,
        std::optional<std::vector<std::string>> safelistedEvents);

    // The service, or null before it is created (asked before any creation, it also warns with
    // code 23147 that the host has not been configured).
    // A service of another class (a test's stand-in) answers null here.
    static std::shared_ptr<KLVMeasurement> sharedInstance();
    // The running service's settings, else the defaults: KLVRemoteConfig::current().
    static std::shared_ptr<KLVRemoteConfig> remoteConfig() { return KLVRemoteConfig::current(); }

    KLVMeasurement(std::string appID, bool isAnalyticsCollectionEnabled,
                   bool isAnalyticsCollectionDeactivated,
                   std::optional<std::vector<std::string>> safelistedEvents);

    const std::string& appID() const { return appID_; }
    bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_.load(); }
    bool isAnalyticsCollectionDeactivated() const {
        return isAnalyticsCollectionDeactivated_.load();
    }
    const std::optional<std::vector<std::string>>& safelistedEvents() const {
        return safelistedEvents_;
    }

    bool isEnabled() const override { return enabled_.load(); }
    // The settings made at start; null until then.
    std::shared_ptr<KLVRemoteConfig> remoteConfigInstance() const override;

  private:
    const std::string appID_;
    std::atomic<bool> isAnalyticsCollectionEnabled_;
    std::atomic<bool> isAnalyticsCollectionDeactivated_;
    const std::optional<std::vector<std::string>> safelistedEvents_;
    std::atomic<bool> enabled_{false};
    // Written on the worker queue at start, read from any thread through remoteConfig().
    mutable std::mutex remoteConfigMutex_;
    std::shared_ptr<KLVRemoteConfig> remoteConfig_;
};

}  // namespace engine
