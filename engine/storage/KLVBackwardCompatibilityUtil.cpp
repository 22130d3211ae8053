#include "engine/storage/KLVBackwardCompatibilityUtil.h"

namespace engine {

bool KLVBackwardCompatibilityUtil::disableOLVMeasurement() {
    return false;
}

}  // namespace engine
