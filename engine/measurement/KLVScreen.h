#pragma once

// One screen as the engine reports it: the name the app gave (none for screens tracked
// automatically), the class, a unique instance ID and how it came to be. The session reporter
// receives it on every screen change; events carry it as "_si", "_sc" and "_sn".

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

namespace engine {

class KLVRemoteConfig;

class KLVScreen {
  public:
    KLVScreen(std::optional<std::string> name, std::optional<std::string> className,
              std::int64_t instanceID)
        : name_(std::move(name)), className_(std::move(className)), instanceID_(instanceID) {}

    // Name, class and instance ID only: the flags and the event time are not carried over.
    KLVScreen copy() const { return KLVScreen(name_, className_, instanceID_); }

    const std::optional<std::string>& name() const { return name_; }
    const std::optional<std::string>& className() const { return className_; }
    std::int64_t instanceID() const { return instanceID_; }
    bool isManuallySet() const { return isManuallySet_; }
    void setIsManuallySet(bool v) { isManuallySet_ = v; }
    bool isManuallyTracked() const { return isManuallyTracked_; }
    void setIsManuallyTracked(bool v) { isManuallyTracked_ = v; }
    // Seconds since 1970 of the "screen_view" event that named it; 0 otherwise.
    double eventTimestamp() const { return eventTimestamp_; }
    void setEventTimestamp(double t) { eventTimestamp_ = t; }

  private:
    std::optional<std::string> name_;
    std::optional<std::string> className_;
    std::int64_t instanceID_ = 0;
    bool isManuallySet_ = false;
    bool isManuallyTracked_ = false;
    double eventTimestamp_ = 0;
};

// "_si" always; "_sc" when the class is a valid screen value (an empty or missing class logs
// 31014, an invalid one 31015 and then leaves out the name too); "_sn" when the name is valid.
// The value limits are those of `settings`.
platform::Dictionary KLVScreenParametersFromScreen(const KLVScreen& screen,
                                                   const KLVRemoteConfig& settings);

// What the session and ad exposure reporters read of the screen in front, given to them when
// they are made: whether the app is active, and the current screen's "_si", "_sc" and "_sn"
// (empty without a screen). Both may be called from any thread.
struct KLVScreenState {
    std::function<bool()> isAppActive;
    std::function<platform::Dictionary()> screenParameters;
};

}  // namespace engine
