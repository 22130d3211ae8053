#pragma once

// One stored raw event read back from "raw_events": the event rebuilt from its row, the row's
// identifier and the fingerprint of the metadata it was stored under, so that bundling can group
// raw events by metadata and delete exactly the rows it packed.

#include <cstdint>
#include <optional>

#include "engine/events/KLVEvent.h"

namespace engine {

class KLVRawEventData {
  public:
    // Nullopt for a missing event (logged, 28000) or a negative row identifier (28001); row 0 is
    // an event without a row yet. The fingerprint is not checked.
    static std::optional<KLVRawEventData> initWithRawEvent(std::optional<KLVEvent> rawEvent,
                                                           std::int64_t rowID,
                                                           std::int64_t metadataFingerprint);

    const KLVEvent& rawEvent() const { return rawEvent_; }
    std::int64_t rowID() const { return rowID_; }
    std::int64_t metadataFingerprint() const { return metadataFingerprint_; }

  private:
    KLVRawEventData(KLVEvent rawEvent, std::int64_t rowID, std::int64_t metadataFingerprint)
        : rawEvent_(std::move(rawEvent)),
          rowID_(rowID),
          metadataFingerprint_(metadataFingerprint) {}

    KLVEvent rawEvent_;
    std::int64_t rowID_;
    std::int64_t metadataFingerprint_;
};

}  // namespace engine
