// The process's reporters and conditional-property controller. Each is made here with the calls
// it needs of the shared measurement service and of the other reporters, looked up at the moment
// of each call: a test reset replaces any of them, and none may keep a replaced one alive.

#include <memory>

#include "engine/measurement/KLVAdExposureReporter.h"
#include "engine/measurement/KLVConditionalUserPropertyController.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVScreenViewReporter.h"
#include "engine/measurement/KLVSessionReporter.h"
#include "platform/foundation/SharedInstance.h"

namespace engine {

namespace {

KLVScreenViewReporterServices screenViewReporterServices() {
    KLVScreenViewReporterServices services;
    services.startedSessionReporter = []() -> std::shared_ptr<KLVSessionReporter> {
        if (!KLVMeasurement::hasSharedInstance()) return nullptr;
        const auto service = KLVMeasurement::sharedInstance();
        if (!service || !service->didInitializeComponents()) return nullptr;
        return service->sessionReporter();
    };
    services.isMeasurementEnabled = [] {
        if (!KLVMeasurement::hasSharedInstance()) return false;
        const auto service = KLVMeasurement::sharedInstance();
        return service && service->isEnabled();
    };
    services.adExposureReporter = [] { return KLVAdExposureReporter::sharedInstance(); };
    return services;
}

// The shared instances are made by default construction.
struct SharedScreenViewReporter final : KLVScreenViewReporter {
    SharedScreenViewReporter() : KLVScreenViewReporter(screenViewReporterServices()) {}
};

struct SharedAdExposureReporter final : KLVAdExposureReporter {
    SharedAdExposureReporter()
        : KLVAdExposureReporter(KLVScreenViewReporter::sharedScreenState()) {}
};

struct SharedConditionalUserPropertyController final : KLVConditionalUserPropertyController {
    SharedConditionalUserPropertyController()
        : KLVConditionalUserPropertyController(
              []() -> std::shared_ptr<KLVConditionalUserPropertyService> {
                  return KLVMeasurement::sharedInstance();
              }) {}
};

}  // namespace

KLVScreenViewReporter& KLVScreenViewReporter::sharedInstance() {
    return platform::SharedInstance<SharedScreenViewReporter>::get();
}

std::shared_ptr<KLVAdExposureReporter> KLVAdExposureReporter::sharedInstance() {
    return platform::SharedInstancePointer<SharedAdExposureReporter>::get();
}

std::shared_ptr<KLVConditionalUserPropertyController>
KLVConditionalUserPropertyController::sharedInstance() {
    return platform::SharedInstancePointer<SharedConditionalUserPropertyController>::get();
}

}  // namespace engine
