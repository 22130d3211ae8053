#include "engine/stores/KLVAppMetadata.h"

#include <limits>

#include "engine/base/KLVMonitor.h"

namespace engine {

std::optional<KLVAppMetadata> KLVAppMetadata::initWithLastBundleIndex(
    std::int32_t lastBundleIndex, double lastBundleStartTimestamp, double lastBundleEndTimestamp) {
    if (lastBundleIndex < 0) {
        monitor().logWithLevel(
            kKLVLogErrorSilent, 4000,
            "Failed to create app metadata object. Received negative last bundle index.");
        return std::nullopt;
    }
    return KLVAppMetadata(lastBundleIndex, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void KLVAppMetadata::incrementLastBundleIndex() {
    if (lastBundleIndex_ == std::numeric_limits<std::int32_t>::max()) {
        lastBundleIndex_ = 0;
        monitor().logWithLevel(kKLVLogWarningSilent, 4001,
                               "Bundle index overflow. Bundle index reset to 0.");
        return;
    }
    ++lastBundleIndex_;
}

}  // namespace engine
