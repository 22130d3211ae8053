#include "engine/base/KLVMeasurementBase.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "engine/base/KLVASLLogger.h"
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

// The creation state and the service. The readers on every queue (each remoteConfig() of each
// log line) take only the short lock around the pointer, never the one that orders creators and
// resets, which a creation holds while it waits. (The library's atomic shared pointer would do
// the same work under its own spin lock, but its load lets go of that lock without ordering, so
// a thread checker rightly flags a later store.)
struct ServiceSlot {
    std::mutex mutex;
    std::condition_variable published;
    enum class State { none, creating, created } state = State::none;
    std::thread::id creator;

    std::shared_ptr<KLVMeasurementBase> load() const {
        std::lock_guard lock(instanceMutex);
        return instance;
    }
    std::shared_ptr<KLVMeasurementBase> exchange(std::shared_ptr<KLVMeasurementBase> service) {
        std::lock_guard lock(instanceMutex);
        instance.swap(service);
        return service;
    }

  private:
    mutable std::mutex instanceMutex;
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
                slot.state = ServiceSlot::State::none;
                old = slot.exchange(nullptr);
            }
        });
    });
}

}  // namespace

// Defined beside the service's slot: both resets are registered together, the monitor's first, so
// that a reset drops the service (whose queues still log) before the monitor.
KLVMonitor& monitor() {
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
    return currentInstance() != nullptr;
}

std::shared_ptr<KLVMeasurementBase> KLVMeasurementBase::sharedInstance() {
    auto service = currentInstance();
    // The public interface is part of every build of this process, so the hint always applies.
    if (!service) {
        auto& slot = serviceSlot();
        std::lock_guard lock(slot.mutex);
        if (slot.state == ServiceSlot::State::none) {
            platform::WDLOSLogWarning(kKLVLogSubsystem, kKLVDefaultLogTag, false,
                                      KLVMessageCodeText(kNotCreatedCode), kNotCreatedMessage);
        }
    }
    return service;
}

std::shared_ptr<KLVMeasurementBase> KLVMeasurementBase::currentInstance() {
    return serviceSlot().load();
}

void KLVMeasurementBase::initializeSharedInstanceOnce(
    const std::function<std::shared_ptr<KLVMeasurementBase>()>& create) {
    registerResets();
    auto& slot = serviceSlot();
    {
        std::unique_lock lock(slot.mutex);
        if (slot.state == ServiceSlot::State::creating) {
            if (slot.creator == std::this_thread::get_id()) return;
            slot.published.wait(lock, [&] { return slot.state != ServiceSlot::State::creating; });
        }
        if (slot.state != ServiceSlot::State::none) return;
        // Claimed first: an empty app ID makes no service, and no later call may make one either.
        slot.state = ServiceSlot::State::creating;
        slot.creator = std::this_thread::get_id();
    }
    std::shared_ptr<KLVMeasurementBase> service;
    try {
        service = create();
    } catch (...) {
        std::lock_guard lock(slot.mutex);
        slot.state = ServiceSlot::State::created;
        slot.published.notify_all();
        throw;
    }
    std::lock_guard lock(slot.mutex);
    slot.exchange(std::move(service));
    slot.state = ServiceSlot::State::created;
    slot.published.notify_all();
}

}  // namespace engine
