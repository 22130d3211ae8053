#pragma once

// A stored event (the Event message a raw_events row keeps, without its name) read in place,
// without building the event. Bundling sends an event's parameter records exactly as they are
// stored whenever rebuilding the event could not change them: the bytes must be the event
// model's own encoding of its parameters (so that decoding and encoding again gives them back),
// and they must already be what sanitising under the current settings would leave (so that the
// rebuilt event keeps every parameter as it is). Anything else is rebuilt as before.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "engine/events/KLVValue.h"

namespace engine {

// The settings that sanitising an internal event's parameters reads.
struct KLVStoredEventLimits {
    std::int64_t maxInternalParameterValueLength = 0;
    std::int64_t maxPublicParameters = 0;

    // Read from the current settings.
    static KLVStoredEventLimits current();
};

// One parameter of the stored event that bundling reads: present, and its integer value when it
// holds one.
struct KLVStoredParameter {
    bool present = false;
    std::optional<std::int64_t> integer;
    // Where its record lies in the parameter records.
    std::size_t offset = 0;
    std::size_t length = 0;
};

struct KLVStoredEventScan {
    // The stored bytes may stand for the rebuilt event's parameters (see above); everything
    // below is meaningful only then.
    bool passesThrough = false;
    // The parameter records (field 1 of the message), in their stored order.
    std::span<const std::uint8_t> parameterRecords;
    std::string_view origin;
    // Stored previous time, 0 when absent.
    std::int64_t previousTimestampMillis = 0;
    KLVStoredParameter realtime;        // "_r"
    KLVStoredParameter conversion;      // "_c"
    KLVStoredParameter engagementTime;  // "_et"
    KLVStoredParameter freeride;        // "_fr"
};

// Reads `bytes` for the event named `eventName`. Never logs: a stored event that does not pass
// through is rebuilt, and the rebuilding logs what it always logged.
KLVStoredEventScan KLVScanStoredEvent(std::span<const std::uint8_t> bytes,
                                      std::string_view eventName,
                                      const KLVStoredEventLimits& limits);

// The parameters of records that passed through, as the rebuilt event holds them ("_o"
// included).
KLVParameters KLVStoredEventParameters(std::span<const std::uint8_t> parameterRecords);

}  // namespace engine
