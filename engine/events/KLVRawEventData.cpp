#include "engine/events/KLVRawEventData.h"

#include <utility>

#include "engine/base/KLVMonitor.h"

namespace engine {

std::optional<KLVRawEventData> KLVRawEventData::initWithRawEvent(std::optional<KLVEvent> rawEvent,
                                                                 std::int64_t rowID,
                                                                 std::int64_t metadataFingerprint) {
    if (!rawEvent) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 28000,
                               "Failed to create raw event data. Received invalid raw event.");
        return std::nullopt;
    }
    if (rowID < 0) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 28001,
                               "Failed to create raw event data. Received invalid row ID. Row ID",
                               rowID);
        return std::nullopt;
    }
    return KLVRawEventData(std::move(*rawEvent), rowID, metadataFingerprint);
}

}  // namespace engine
