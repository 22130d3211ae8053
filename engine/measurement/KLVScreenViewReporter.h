#pragma once

// The screen-view reporter as the front door calls it. Screen tracking itself (the current and
// previous screens, automatic screen views) is not built yet: until then there is no current
// screen, screen views are dropped and the app counts as active.

#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

namespace engine {

class KLVScreenViewReporter {
  public:
    static KLVScreenViewReporter& sharedInstance();

    // A manual "screen_view" event with its logging time. Dropped for now.
    void trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp);
    // The current screen's "_sn", "_sc" and "_si"; empty without a screen. Any thread.
    platform::Dictionary screenParameters() const;
    // Manual screen tracking; main thread. Dropped for now.
    void setScreenName(const std::optional<std::string>& screenName,
                       const std::optional<std::string>& screenClass);
    bool isAppActive() const;

  private:
    mutable std::mutex mutex_;
    platform::Dictionary currentScreenParameters_;
};

// The public interface's name for the same reporter.
using TRWAScreenViewReporter = KLVScreenViewReporter;

}  // namespace engine
