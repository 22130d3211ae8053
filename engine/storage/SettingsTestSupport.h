#pragma once

// Test support for the settings, consent and identity tests (header only): configuration
// messages built from plain values, a stand-in measurement service, and an Info.plist of the
// test's own.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/storage/EngineTestSupport.h"
#include "engine/storage/KLVDatabase.h"
#include "engine/storage/KLVIdentity.h"
#include "engine/storage/KLVMeasurementBase.h"
#include "engine/storage/KLVPersistedConfig.h"
#include "engine/storage/KLVRemoteConfig.h"
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

// A test with the measurement database open in its temporary data root.
class DatabaseTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        database_ = KLVDatabase::initWithDatabaseName(kKLVMeasurementDatabaseName,
                                                      KLVPersistedConfig::sharedInstance());
        ASSERT_TRUE(database_);
    }

    std::shared_ptr<KLVDatabase> database_;
};

// Makes `folder` the main bundle with an Info.plist of `info`.
inline void useMainBundle(const std::filesystem::path& folder, const platform::Dictionary& info) {
    std::filesystem::create_directories(folder);
    platform::writePropertyListFile(folder / "Info.plist", info, platform::PropertyListFormat::XML);
    platform::Bundle::setMainBundleDirectory(folder);
}

}  // namespace engine::testing
