#pragma once

// The face of the measurement service that the layers below it see. The service itself
// (KLVMeasurement) lives in engine/measurement, which builds on this layer; the components here
// (settings, identity, the worker queue, every log line) reach it only through this class:
//
//   KLVMeasurementBase::monitor()            the process's one monitor, never null
//   KLVMeasurementBase::hasSharedInstance()  whether the service has been created
//   KLVMeasurementBase::sharedInstance()     the service, or null before its creation
//   KLVMeasurementBase::remoteConfig()       the running service's settings, else the defaults
//
// KLVMeasurement derives from this class, so KLVMeasurement::monitor() and the others are these
// same functions; it creates the shared service through initializeSharedInstanceOnce().

#include <cstdint>
#include <functional>
#include <memory>

#include "engine/storage/KLVMonitor.h"

namespace engine {

class KLVIdentity;
class KLVRemoteConfig;

// The engine's library version, part of every health-record key: the number the identity reports
// (KLVIdentity::brackenfoldLibraryVersion(), the version text "110100000" without its last three
// digits), so that every place that sends or logs the version agrees.
inline constexpr std::int64_t kKLVBrackenfoldLibraryVersion = 110100;

class KLVMeasurementBase {
  public:
    virtual ~KLVMeasurementBase() = default;

    // The process's monitor, created on first use (once, thread-safe) with the library version
    // and kept for the process.
    static KLVMonitor& monitor();

    // True once the one-time creation has made a service.
    static bool hasSharedInstance();
    // The service, or null before it is created; asked before any creation attempt, it also
    // warns on the system log (code 23147) that the host has not been configured.
    static std::shared_ptr<KLVMeasurementBase> sharedInstance();
    // The running service's settings, or KLVRemoteConfig::defaultInstance() when there is no
    // service or it has no settings yet; never null.
    static std::shared_ptr<KLVRemoteConfig> remoteConfig();

    // Collection currently enabled.
    virtual bool isEnabled() const = 0;
    // The service's settings object; null until its start has made one. Called from any thread.
    virtual std::shared_ptr<KLVRemoteConfig> remoteConfigInstance() const = 0;
    // The service's identity; null until its start has made one.
    virtual std::shared_ptr<KLVIdentity> identity() const { return nullptr; }

  protected:
    // Runs `create` under the creation lock the first time any caller gets here and keeps what
    // it returns (null when it makes no service); later calls do nothing. `create` may itself
    // call the class functions above.
    static void initializeSharedInstanceOnce(
        const std::function<std::shared_ptr<KLVMeasurementBase>()>& create);
};

}  // namespace engine
