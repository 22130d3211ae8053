#pragma once

// The face of the measurement service that the layers below it see. The service itself
// (KLVMeasurement) lives in engine/measurement, which builds on this layer; the components here
// (settings, identity, the worker queue) reach it only through this class:
//
//   KLVMeasurementBase::hasSharedInstance()  whether the service has been created
//   KLVMeasurementBase::sharedInstance()     the service, or null before its creation
//   KLVMeasurementBase::currentInstance()    the same without the warning, for the layers below
//
// The settings a component should use are KLVRemoteConfig::current() (engine/settings).
//
// The monitor every log line goes to is engine::monitor() (KLVMonitor.h).
//
// The service derives from this class, so its hasSharedInstance() is this same function; it
// creates the shared service through initializeSharedInstanceOnce().

#include <cstdint>
#include <functional>
#include <memory>

#include "engine/base/KLVLibraryVersion.h"
#include "engine/base/KLVMonitor.h"

namespace engine {

class KLVIdentity;
class KLVRemoteConfig;

class KLVMeasurementBase {
  public:
    virtual ~KLVMeasurementBase() = default;

    // True once the one-time creation has made a service.
    static bool hasSharedInstance();
    // The service, or null before it is created; asked before any creation attempt, it also
    // warns on the system log (code 23147) that the host has not been configured.
    static std::shared_ptr<KLVMeasurementBase> sharedInstance();
    // The service, or null; never logs. Takes no lock: readers on every queue call it.
    static std::shared_ptr<KLVMeasurementBase> currentInstance();

    // Collection currently enabled.
    virtual bool isEnabled() const = 0;
    // The service's settings object; null until its start has made one. Called from any thread.
    virtual std::shared_ptr<KLVRemoteConfig> remoteConfigInstance() const = 0;
    // The service's identity; null until its start has made one.
    virtual std::shared_ptr<KLVIdentity> identity() const { return nullptr; }

  protected:
    // Runs `create` the first time any caller gets here and publishes what it returns (null when
    // it makes no service); later calls do nothing. `create` runs outside every lock, so it may
    // call the class functions above and read the settings; a caller on another thread waits
    // until the service is published, a nested call from `create` itself returns at once.
    static void initializeSharedInstanceOnce(
        const std::function<std::shared_ptr<KLVMeasurementBase>()>& create);
};

}  // namespace engine
