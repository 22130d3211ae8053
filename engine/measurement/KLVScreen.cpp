#include "engine/measurement/KLVScreen.h"

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMeasurementBase.h"
#include "engine/events/KLVDataTypeValidator.h"

namespace engine {

platform::Dictionary KLVScreenParametersFromScreen(const KLVScreen& screen) {
    platform::Dictionary parameters{{"_si", screen.instanceID}};
    if (!screen.className) return parameters;
    auto& monitor = KLVMeasurementBase::monitor();
    if (screen.className->empty()) {
        monitor.logWithLevel(kKLVLogWarning, 31014, "Screen class name is empty");
        return parameters;
    }
    std::int64_t failureCode = 0;
    if (!KLVDataTypeValidator::isValidScreenParameterValue(*screen.className, &failureCode)) {
        monitor.logWithLevel(kKLVLogWarning, 31015, "Screen class name is invalid. Error code",
                             failureCode);
        return parameters;
    }
    parameters["_sc"] = *screen.className;
    if (screen.name && KLVDataTypeValidator::isValidScreenParameterValue(*screen.name)) {
        parameters["_sn"] = *screen.name;
    }
    return parameters;
}

}  // namespace engine
