#include "engine/environment/KLVEnvironmentInfo.h"

#include <cerrno>
#include <system_error>

#include "engine/base/KLVAEU.h"
#include "engine/base/KLVMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/SystemLocale.h"
#include "platform/foundation/Text.h"
#include "platform/utilities/WDLAppEnvironmentUtil.h"

namespace engine {

namespace {
constexpr std::int64_t kDeviceModelFailedCode = 14000;
constexpr std::int64_t kPreferredLanguageFailedCode = 14001;
}  // namespace

KLVEnvironmentInfo& KLVEnvironmentInfo::sharedInstance() {
    return platform::SharedInstance<KLVEnvironmentInfo>::get();
}

std::string KLVEnvironmentInfo::deviceModel() {
    std::call_once(deviceModelOnce_, [this] {
        deviceModel_ = KLVAEU::deviceModel();
        if (deviceModel_.empty()) {
            const std::string reason = std::generic_category().message(errno);
            monitor().logWithLevel(kKLVLogErrorSilent, kDeviceModelFailedCode,
                                   "Failed to get device model", reason);
        }
    });
    return deviceModel_;
}

std::string KLVEnvironmentInfo::deviceOSVersion() const {
    return platform::WDLAppEnvironmentUtil::systemVersion();
}

std::optional<std::string> KLVEnvironmentInfo::userDefaultLanguage() const {
    const auto languages = platform::preferredLanguages();
    if (languages.empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, kPreferredLanguageFailedCode,
                               "Failed to get preferred language");
        return std::nullopt;
    }
    return platform::asciiLowercase(languages.front());
}

std::int32_t KLVEnvironmentInfo::timeZoneOffsetMinutes() const {
    return minutesFromSecondsFromGMT(platform::secondsFromGMT(platform::Clock::current().now()));
}

std::int32_t KLVEnvironmentInfo::minutesFromSecondsFromGMT(std::int64_t seconds) {
    return static_cast<std::int32_t>(seconds / 60);
}

}  // namespace engine
