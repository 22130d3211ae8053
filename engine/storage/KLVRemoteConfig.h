#pragma once

// Server-driven settings. So far only the settings made of defaults exist, which
// KLVMeasurementBase::remoteConfig() answers while no measurement service runs; the downloaded
// configuration and the typed getters join this class with the server-settings work.

#include <memory>

namespace engine {

class KLVRemoteConfig {
  public:
    virtual ~KLVRemoteConfig() = default;

    // The process's settings without a downloaded configuration; never null.
    static std::shared_ptr<KLVRemoteConfig> defaultInstance();
};

}  // namespace engine
