#include "engine/storage/KLVMeasurementBase.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "engine/storage/KLVASLLogger.h"
#include "engine/storage/KLVRemoteConfig.h"
#include "platform/foundation/NoDestructor.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/utilities/WDLLogger.h"

namespace engine {

namespace {

constexpr std::int64_t kNotCreatedCode = 23147;
constexpr char kNotCreatedMessage[] =
    "Nexory Analytics for Tarnwell has not been created. Please, configure Tarnwell by calling "
    "[TRWApp configure]";

// Kept for the process and never destroyed, so that a queue still logging while the process
// exits finds its monitor. A test reset replaces it.
struct MonitorSlot {
    std::mutex mutex;
    std::atomic<KLVMonitor*> fast{nullptr};
    std::unique_ptr<KLVMonitor> monitor;
};

MonitorSlot& monitorSlot() {
    static platform::NoDestructor<MonitorSlot> slot;
    return slot.get();
}

// The creation flag and the service, guarded by one lock. Recursive: creation runs under it and
// the service's construction may ask for the shared instance.
struct ServiceSlot {
    std::recursive_mutex mutex;
    bool created = false;
    std::shared_ptr<KLVMeasurementBase> instance;
};

ServiceSlot& serviceSlot() {
    static platform::NoDestructor<ServiceSlot> slot;
    return slot.get();
}

void registerResets() {
    static std::once_flag once;
    std::call_once(once, [] {
        platform::registerSharedReset("KLVMonitor", [] {
            auto& slot = monitorSlot();
            std::unique_ptr<KLVMonitor> old;
            {
                std::lock_guard lock(slot.mutex);
                slot.fast.store(nullptr);
                old = std::move(slot.monitor);
            }
        });
        platform::registerSharedReset("KLVMeasurement", [] {
            auto& slot = serviceSlot();
            std::shared_ptr<KLVMeasurementBase> old;
            {
                std::lock_guard lock(slot.mutex);
                slot.created = false;
                old = std::move(slot.instance);
            }
        });
    });
}

}  // namespace

KLVMonitor& KLVMeasurementBase::monitor() {
    auto& slot = monitorSlot();
    if (KLVMonitor* monitor = slot.fast.load(std::memory_order_acquire)) return *monitor;
    registerResets();
    std::lock_guard lock(slot.mutex);
    if (!slot.monitor) {
        slot.monitor = std::make_unique<KLVMonitor>(kKLVBrackenfoldLibraryVersion);
        slot.fast.store(slot.monitor.get(), std::memory_order_release);
    }
    return *slot.monitor;
}

bool KLVMeasurementBase::hasSharedInstance() {
    auto& slot = serviceSlot();
    std::lock_guard lock(slot.mutex);
    return slot.created && slot.instance != nullptr;
}

std::shared_ptr<KLVMeasurementBase> KLVMeasurementBase::sharedInstance() {
    auto& slot = serviceSlot();
    std::lock_guard lock(slot.mutex);
    // The public interface is part of every build of this process, so the hint always applies.
    if (!slot.created) {
        platform::WDLOSLogWarning(kKLVLogSubsystem, kKLVDefaultLogTag, false,
                                  KLVMessageCodeText(kNotCreatedCode), kNotCreatedMessage);
    }
    return slot.instance;
}

std::shared_ptr<KLVRemoteConfig> KLVMeasurementBase::remoteConfig() {
    std::shared_ptr<KLVMeasurementBase> service;
    {
        auto& slot = serviceSlot();
        std::lock_guard lock(slot.mutex);
        service = slot.instance;
    }
    if (service) {
        if (auto settings = service->remoteConfigInstance()) return settings;
    }
    return KLVRemoteConfig::defaultInstance();
}

void KLVMeasurementBase::initializeSharedInstanceOnce(
    const std::function<std::shared_ptr<KLVMeasurementBase>()>& create) {
    registerResets();
    auto& slot = serviceSlot();
    std::lock_guard lock(slot.mutex);
    if (slot.created) return;
    // Set first: an empty app ID makes no service, and no later call may make one either.
    slot.created = true;
    slot.instance = create();
}

}  // namespace engine
