#include "engine/environment/KLVBackwardCompatibilityUtil.h"

namespace engine {

bool KLVBackwardCompatibilityUtil::disableOLVMeasurement() {
    return false;
}

}  // namespace engine
