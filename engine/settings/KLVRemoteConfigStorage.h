#pragma once

// Where the settings keep the downloaded configuration: the three calls they make of the
// measurement database, owned here so that the settings never reach up into the database layer.
// KLVDatabase implements it; settings tests use a small in-memory one.

#include <optional>

#include "engine/messages/KLVPBMessages.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVRemoteConfigStorage {
  public:
    virtual ~KLVRemoteConfigStorage() = default;

    // Stores the downloaded configuration with the current time.
    [[nodiscard]] virtual bool updateRemoteConfig(const KLVPBMeasurementConfig& config,
                                                  platform::Error* error = nullptr) = 0;
    // The stored configuration; nothing (without an error) when none is stored.
    virtual std::optional<KLVPBMeasurementConfig> queryMeasurementConfigWithError(
        platform::Error* error = nullptr) = 0;
    // Seconds since 1970 of the last successful fetch, or nothing.
    virtual std::optional<platform::Object> lastRemoteConfigUpdateTimestamp(
        platform::Error* error = nullptr) = 0;
};

}  // namespace engine
