#pragma once

// Test support for the settings, consent and identity tests (header only): configuration
// messages built from plain values, an in-memory configuration store, a stand-in measurement
// service, and an Info.plist of the test's own.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/base/KLVMeasurementBase.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "engine/settings/KLVRemoteConfigStorage.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"

namespace engine::testing {

using SettingList = std::vector<std::pair<std::string, std::string>>;

inline KLVPBSetting makeSetting(const std::string& key, const std::string& value) {
    KLVPBSetting setting;
    NANOSetString(setting, KLVPBSetting::name, key);
    NANOSetString(setting, KLVPBSetting::value, value);
    return setting;
}

// A configuration for `appID` with the settings in order (a configuration without any setting
// is not parsed, so an empty list gets one unrelated setting).
inline KLVPBMeasurementConfig makeConfig(const std::string& appID, const SettingList& settings = {},
                                         std::optional<std::int64_t> version = std::nullopt) {
    KLVPBMeasurementConfig config;
    NANOSetString(config, KLVPBMeasurementConfig::app_id, appID);
    std::vector<KLVPBSetting> list;
    for (const auto& [key, value] :
         settings.empty() ? SettingList{{"measurement.unused", "1"}} : settings) {
        list.push_back(makeSetting(key, value));
    }
    NANOSetArray(config, KLVPBMeasurementConfig::settings, list);
    if (version) NANOSetInt64(config, KLVPBMeasurementConfig::version, *version);
    return config;
}

inline KLVPBEventConfig makeEventConfig(const std::string& name, std::optional<bool> blocklisted,
                                        std::optional<bool> customConversion = std::nullopt,
                                        std::optional<std::int32_t> samplingRate = std::nullopt) {
    KLVPBEventConfig config;
    NANOSetString(config, KLVPBEventConfig::name, name);
    if (blocklisted) NANOSetBool(config, KLVPBEventConfig::blocklisted, *blocklisted);
    if (customConversion) {
        NANOSetBool(config, KLVPBEventConfig::custom_conversion, *customConversion);
    }
    if (samplingRate) NANOSetInt32(config, KLVPBEventConfig::sampling_rate, *samplingRate);
    return config;
}

// A measurement service with what the storage layer asks of it.
class FakeMeasurementService : public KLVMeasurementBase {
  public:
    // The identity is only handed back (a forward-declared type here).
    FakeMeasurementService(std::shared_ptr<KLVRemoteConfig> settings,
                           std::shared_ptr<KLVIdentity> identity = nullptr, bool enabled = true)
        : settings_(std::move(settings)), identity_(std::move(identity)), enabled_(enabled) {}

    bool isEnabled() const override { return enabled_; }
    std::shared_ptr<KLVRemoteConfig> remoteConfigInstance() const override { return settings_; }
    std::shared_ptr<KLVIdentity> identity() const override { return identity_; }

    // Makes `service` the process's measurement service (once per process state).
    static void install(std::shared_ptr<KLVMeasurementBase> service) {
        initializeSharedInstanceOnce([&] { return service; });
    }

  private:
    std::shared_ptr<KLVRemoteConfig> settings_;
    std::shared_ptr<KLVIdentity> identity_;
    bool enabled_;
};

// The configuration store of the settings, in memory: what the database keeps for them.
class FakeRemoteConfigStorage : public KLVRemoteConfigStorage {
  public:
    [[nodiscard]] bool updateRemoteConfig(const KLVPBMeasurementConfig& config,
                                          platform::Error*) override {
        std::lock_guard lock(mutex_);
        config_ = config;
        timestamp_ = platform::Object(platform::Clock::current().now());
        return true;
    }
    std::optional<KLVPBMeasurementConfig> queryMeasurementConfigWithError(
        platform::Error*) override {
        std::lock_guard lock(mutex_);
        return config_;
    }
    std::optional<platform::Object> lastRemoteConfigUpdateTimestamp(platform::Error*) override {
        std::lock_guard lock(mutex_);
        return timestamp_;
    }

  private:
    std::mutex mutex_;
    std::optional<KLVPBMeasurementConfig> config_;
    std::optional<platform::Object> timestamp_;
};

// The platform's advertising services, as a test wants them (by default: tracking authorised, no
// identifier).
class FakeProvider : public KLVIdentitySupport {
  public:
    template <typename F>
    auto locked(F&& f) -> decltype(f()) {
        std::lock_guard lock(mutex);
        return f();
    }

    bool hasAppDataConsentStatus() override {
        return locked([&] { return hasStatus; });
    }
    std::int64_t appDataConsentStatus() override {
        return locked([&] { return status; });
    }
    bool hasLimitedAdTracking() override {
        return locked([&] { return hasAdService; });
    }
    bool limitedAdTracking() override { return false; }
    std::optional<std::string> resettableDeviceID() override {
        return locked([&] {
            ++reads;
            return advertisingID;
        });
    }

    std::mutex mutex;
    bool hasStatus = true;
    std::int64_t status = 3;
    bool hasAdService = true;
    std::optional<std::string> advertisingID;
    int reads = 0;
};

// A test whose settings keep their configuration in a FakeRemoteConfigStorage.
class SettingsTest : public EngineTest {
  protected:
    std::shared_ptr<FakeRemoteConfigStorage> storage_ = std::make_shared<FakeRemoteConfigStorage>();
};

// Makes `folder` the main bundle with an Info.plist of `info`.
inline void useMainBundle(const std::filesystem::path& folder, const platform::Dictionary& info) {
    std::filesystem::create_directories(folder);
    platform::writePropertyListFile(folder / "Info.plist", info, platform::PropertyListFormat::XML);
    platform::Bundle::setMainBundleDirectory(folder);
}

}  // namespace engine::testing
