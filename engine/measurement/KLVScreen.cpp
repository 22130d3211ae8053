#include "engine/measurement/KLVScreen.h"

#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVMonitor.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/settings/KLVRemoteConfig.h"

namespace engine {

platform::Dictionary KLVScreenParametersFromScreen(const KLVScreen& screen,
                                                   const KLVRemoteConfig& settings) {
    platform::Dictionary parameters = {{kKLVScreenIDParameter, screen.instanceID()}};
    auto& monitor = engine::monitor();
    const auto& className = screen.className();
    if (!className || className->empty()) {
        monitor.logWithLevel(kKLVLogWarning, 31014, "Screen class name is empty");
    }
    if (className) {
        std::int64_t failureCode = 0;
        if (!KLVDataTypeValidator::isValidScreenParameterValue(platform::Object(*className),
                                                               settings, &failureCode)) {
            monitor.logWithLevel(kKLVLogWarning, 31015, "Screen class name is invalid. Error code",
                                 failureCode);
            return parameters;
        }
        parameters[kKLVScreenClassParameter] = *className;
    }
    if (const auto& name = screen.name(); name && KLVDataTypeValidator::isValidScreenParameterValue(
                                                      platform::Object(*name), settings)) {
        parameters[kKLVScreenNameParameter] = *name;
    }
    return parameters;
}

}  // namespace engine
