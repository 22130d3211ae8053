// Following the application's state: persisted state written and background time asked for
// when the app leaves the foreground, a stale configuration refreshed and a conversion value
// asked for when it becomes active.

#include <cmath>
#include <memory>
#include <mutex>

#include "engine/base/KLVAEU.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/NoDestructor.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/UIApplication.h"

namespace engine {

namespace {

constexpr char kBackgroundTaskName[] = "KLVAnalyticsMeasurementBackgroundTask";
constexpr double kConfigurationRefreshAge = 604800;

struct HandOverSlot {
    std::mutex mutex;
    std::shared_ptr<const KLVOperationQueueHandOver> handOver;
};

HandOverSlot& handOverSlot() {
    static platform::NoDestructor<HandOverSlot> slot;
    return slot.get();
}

}  // namespace

void KLVSetOperationQueueHandOver(KLVOperationQueueHandOver handOver) {
    auto installed =
        handOver ? std::make_shared<const KLVOperationQueueHandOver>(std::move(handOver)) : nullptr;
    std::lock_guard lock(handOverSlot().mutex);
    handOverSlot().handOver = std::move(installed);
}

void KLVMeasurement::subscribeForAppForegroundBackgroundNotifications() {
    auto& center = platform::NotificationCenter::defaultCenter();
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    const auto observe = [&](const char* name, void (KLVMeasurement::*handler)()) {
        center.addObserver(this, name, nullptr, [weak, handler](const platform::Notification&) {
            if (auto self = weak.lock()) ((*self).*handler)();
        });
    };
    // A second start (after a failed one) must not observe twice.
    center.removeObserver(this);
    observe(platform::UIApplicationDidBecomeActiveNotification,
            &KLVMeasurement::handleAppDidBecomeActiveEvent);
    observe(platform::UIApplicationWillResignActiveNotification,
            &KLVMeasurement::handleAppWillResignActiveEvent);
    observe(platform::UIApplicationWillEnterForegroundNotification,
            &KLVMeasurement::terminateBackgroundTask);
}

void KLVMeasurement::unsubscribeFromAppNotifications() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void KLVMeasurement::handleAppDidBecomeActiveEvent() {
    const auto settings = remoteConfigInstance();
    if (settings && settings->blocklistInternal()) {
        scheduleWeak("KLVMeasurement:4289", [](KLVMeasurement& self) {
            const auto settings = self.remoteConfigInstance();
            const double age = std::fabs(platform::Clock::current().now() -
                                         settings->lastRemoteConfigUpdateTimestamp());
            if (age < kConfigurationRefreshAge) return;
            if (self.isNetworkReadyForRequest()) {
                self.fetchRemoteConfig();
            } else {
                monitor().logWithLevel(
                    kKLVLogVerbose, 23143,
                    "Network operation is pending. Ignoring request to fetch configuration");
            }
        });
    }
    scheduleWeak("KLVMeasurement:4296", [](KLVMeasurement& self) { self.fetchSKANCV(); });
}

void KLVMeasurement::handleAppWillResignActiveEvent() {
    // On the main thread: the file is written behind it, inside the background task begun below.
    if (persistedConfig_) persistedConfig_->synchronizeToDiskInBackground();
    auto& monitor = engine::monitor();
    monitor.logWithLevel(kKLVLogVerbose, 23144,
                         "App will resign active state. Scheduling data upload");
    if (auto* application = KLVAEU::sharedApplication()) {
        std::weak_ptr<KLVMeasurement> weak = weak_from_this();
        const auto task = application->beginBackgroundTaskWithName(kBackgroundTaskName, [weak] {
            if (auto self = weak.lock()) self->terminateBackgroundTask();
        });
        swapBackgroundTaskWithNewTaskID(task);
        monitor.logWithLevel(kKLVLogVerbose, 23145, "Background task started. Task ID",
                             platform::Object(static_cast<std::int64_t>(task)));
    }
    // Behind the front door's queue, the upload follows every event logged before it.
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    auto upload = [weak] {
        if (auto self = weak.lock()) {
            self->scheduleWeak("KLVMeasurement:4342",
                               [](KLVMeasurement& service) { service.uploadData(); });
        }
    };
    std::shared_ptr<const KLVOperationQueueHandOver> handOver;
    {
        std::lock_guard lock(handOverSlot().mutex);
        handOver = handOverSlot().handOver;
    }
    if (handOver) {
        (*handOver)(std::move(upload));
    } else {
        upload();
    }
}

void KLVMeasurement::terminateBackgroundTask() {
    if (persistedConfig_) persistedConfig_->synchronizeToDiskInBackground();
    swapBackgroundTaskWithNewTaskID(kKLVInvalidBackgroundTask);
}

void KLVMeasurement::swapBackgroundTaskWithNewTaskID(std::uint64_t taskID) {
    const std::uint64_t previous = backgroundUpdateTask_.exchange(taskID);
    if (previous == kKLVInvalidBackgroundTask) return;
    monitor().logWithLevel(kKLVLogDebug, 23142, "Cancelling background upload task. Task ID ",
                           platform::Object(static_cast<std::int64_t>(previous)));
    if (auto* application = KLVAEU::sharedApplication()) application->endBackgroundTask(previous);
}

}  // namespace engine
