#pragma once

// The engine's typed wrapper over one user-defaults suite. It offers the same typed operations as
// the persistent dictionary (KLVConfigStore) and makes sure that a suite's own preference file is
// excluded from device backup, once, at the first synchronize() that finds the file.
//
// Suites in use: the app's own (sharedUserDefaults(): the measurement switch, the stored deep
// link, the monitor's switches, the TCF keys), "KLVAnalyticsSuiteName" (front door),
// "KLVExperimentSuiteName" (experiments), "com.nexory.zkt.measurement.monitor" (monitor) and
// "com.nexory.zkt.measurement.tcf.userdefaults" (TCF client). Any thread may call.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "engine/stores/KLVConfigStore.h"
#include "platform/foundation/UserDefaults.h"

namespace engine {

class KLVUserDefaults : public KLVConfigStore {
  public:
    // The app's own preferences, shared by the process. Its file belongs to the app, so it is
    // never excluded from backup here.
    static KLVUserDefaults& sharedUserDefaults();

    // A named suite; no name (or an empty one) means the app's own preferences.
    explicit KLVUserDefaults(std::optional<std::string> suiteName = std::nullopt);
    static std::unique_ptr<KLVUserDefaults> initWithSuiteName(
        std::optional<std::string> suiteName) {
        return std::make_unique<KLVUserDefaults>(std::move(suiteName));
    }

    const std::optional<std::string>& suiteName() const { return suiteName_; }

    platform::Object objectForKey(std::string_view key) const override;
    // Refuses an empty key (41002) and a value the suite cannot store (41003).
    bool setObject(const platform::Object& value, std::string_view key) override;
    // Removes every key of the suite.
    void clearAllData() override;
    // Writes the suite to disk (41004 on failure), then excludes its file from backup if that
    // has not happened yet.
    void synchronize() override;

    bool isPreferenceFileExcluded() const;
    void setIsPreferenceFileExcluded(bool excluded);

  private:
    const std::optional<std::string> suiteName_;
    platform::UserDefaults defaults_;
    mutable std::recursive_mutex lock_;
    bool isPreferenceFileExcluded_ = false;
};

}  // namespace engine
