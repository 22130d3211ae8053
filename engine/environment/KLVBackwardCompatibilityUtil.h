#pragma once

// Switches off an older measurement component ("OLVMeasurement") when one runs in the same
// process, so that events are not counted twice.

namespace engine {

class KLVBackwardCompatibilityUtil {
  public:
    // True when the older component was present and has been switched off. This platform loads
    // no classes by name, so the older component can never be present: always false.
    static bool disableOLVMeasurement();
};

}  // namespace engine
