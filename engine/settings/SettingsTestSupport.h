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

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/base/EngineTestSupport.h"
#include "engine/base/KLVMeasurementBase.h"
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
    for (const auto& [key, value] : settings)
        list.push_back(makeSetting(key, value));
    if (list.empty()) list.push_back(makeSetting("measurement.unused", "1"));
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

// The configuration store of the settings, in memory: what the database keeps for them, with a
// switch that makes every call fail.
class FakeRemoteConfigStorage : public KLVRemoteConfigStorage {
  public:
    bool updateRemoteConfig(const KLVPBMeasurementConfig& config, platform::Error* error) override {
        std::lock_guard lock(mutex_);
        if (failing_) return fail(error);
        config_ = config;
        timestamp_ = platform::Clock::current().now();
        return true;
    }
    std::optional<KLVPBMeasurementConfig> queryMeasurementConfigWithError(
        platform::Error* error) override {
        std::lock_guard lock(mutex_);
        if (failing_) {
            fail(error);
            return std::nullopt;
        }
        return config_;
    }
    std::optional<platform::Object> lastRemoteConfigUpdateTimestamp(
        platform::Error* error) override {
        std::lock_guard lock(mutex_);
        if (failing_) {
            fail(error);
            return std::nullopt;
        }
        if (!timestamp_) return std::nullopt;
        return platform::Object(*timestamp_);
    }
    void setFailing(bool failing) {
        std::lock_guard lock(mutex_);
        failing_ = failing;
    }

  private:
    static bool fail(platform::Error* error) {
        return platform::fail(error, {"KLVSqliteStore", 1, "disk I/O error", {}});
    }
    std::mutex mutex_;
    bool failing_ = false;
    std::optional<KLVPBMeasurementConfig> config_;
    std::optional<double> timestamp_;
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
