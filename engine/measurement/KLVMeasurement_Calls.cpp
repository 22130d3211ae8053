// The any-thread halves of the front door's calls: argument checks, then the work scheduled on
// the worker queue under the call's block ID. The worker-queue halves at the end answer
// neutrally until the concern that owns each fills it in.

#include <utility>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVLoggedEventBatch.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/settings/KLVConsentSettingsUtil.h"

namespace engine {

void KLVMeasurement::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                        const std::string& name,
                                        const platform::Dictionary& parameters, double timestamp,
                                        bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                                        KLVLogEventInterceptor interceptor,
                                        const platform::Dictionary& addedScreenParameters) {
    std::lock_guard lock(loggedEventsMutex_);
    ++loggedEventsNotStored_;
    // The block queued last for logged events has not started and nothing was queued behind it:
    // this event joins it and keeps its place in the queue's order.
    if (openLoggedEventBatch_ &&
        scheduler_->workerQueuePostedCount() == openLoggedEventBatchNumber_) {
        openLoggedEventBatch_->append(origin, isPublicEvent, name, parameters, timestamp, enabled,
                                      ignoreEnabled, ignoreInterceptor, std::move(interceptor),
                                      addedScreenParameters);
        return;
    }
    auto batch = std::make_shared<KLVLoggedEventBatch>();
    batch->append(origin, isPublicEvent, name, parameters, timestamp, enabled, ignoreEnabled,
                  ignoreInterceptor, std::move(interceptor), addedScreenParameters);
    // The only block that holds the service strongly: an accepted event is never dropped.
    const auto number = scheduler_->scheduleNumberedOnWorkerQueueBlockID(
        "KLVMeasurement:2414", [self = shared_from_this(), batch] {
            {
                // From here on the batch is the worker's alone.
                std::lock_guard taken(self->loggedEventsMutex_);
                if (self->openLoggedEventBatch_ == batch) self->openLoggedEventBatch_.reset();
            }
            self->handleLoggedEventBatchOnWorkerQueue(*batch);
        });
    openLoggedEventBatch_ = number ? batch : nullptr;
    openLoggedEventBatchNumber_ = number.value_or(0);
}

void KLVMeasurement::setSessionTimeoutInterval(double seconds) {
    scheduleWeak("KLVMeasurement:1595", [seconds](KLVMeasurement& self) {
        self.setSessionTimeoutIntervalOnWorkerQueue(seconds);
    });
}

void KLVMeasurement::sessionIDWithCompletion(KLVSessionIDCompletion completion) {
    if (!completion) return;
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID(
        "KLVMeasurement:3183", [weak, completion = std::move(completion)] {
            auto self = weak.lock();
            if (!self) {
                completion(0, klv_errorWithCode(kKLVSessionIDErrorCode, "Analytics deallocated"));
                return;
            }
            self->sessionIDOnWorkerQueueWithCompletion(completion);
        });
}

void KLVMeasurement::setUserData(const platform::Dictionary& userData) {
    scheduleWeak("KLVMeasurement:3190",
                 [userData](KLVMeasurement& self) { self.setUserDataOnWorkerQueue(userData); });
}

bool KLVMeasurement::resetAnalyticsDataWithAppInstanceID(
    const std::optional<std::string>& appInstanceID) {
    // Runs on its caller's queue (the front door's) and makes its own synchronous hop below.
    KLVScheduler::checkOnBackgroundThreadWithMethodName("resetAnalyticsDataWithAppInstanceID");
    auto& monitor = engine::monitor();
    if (!appInstanceID || appInstanceID->empty()) {
        if (!KLVConsentSettingsUtil::isAnalyticsStorageDenied()) {
            monitor.logWithLevel(kKLVLogErrorMonitored, 23167,
                                 "Cannot reset with an empty app instance ID");
            return false;
        }
        monitor.logWithLevel(kKLVLogDebug, 23218, "Resetting with an empty app instance ID");
    }
    bool succeeded = false;
    const double timestamp = KLVAnalyticsStore::loadTimestamp();
    scheduler_->dispatchSyncOnWorkerQueueBlockID("KLVMeasurement:3729", [&] {
        succeeded = resetAnalyticsDataOnWorkerQueueWithTimestamp(timestamp, appInstanceID);
    });
    return succeeded;
}

void KLVMeasurement::setDefaultEventParameters(
    const std::optional<platform::Dictionary>& parameters) {
    scheduleWeak("KLVMeasurement:2528", [parameters](KLVMeasurement& self) {
        self.setDefaultEventParametersOnWorkerQueue(parameters);
    });
}

void KLVMeasurement::setUserAttribute(const std::optional<KLVUserAttribute>& attribute) {
    if (!attribute) {
        monitor().logWithLevel(kKLVLogWarning, 23079, "Attempted to set nil user property");
        return;
    }
    scheduleWeak("KLVMeasurement:2830", [attribute = *attribute](KLVMeasurement& self) {
        self.setUserAttributeOnWorkerQueue(attribute);
    });
}

void KLVMeasurement::removeUserAttribute(const std::optional<KLVUserAttribute>& attribute) {
    if (!attribute) {
        monitor().logWithLevel(kKLVLogWarning, 23074, "Attempted to remove nil user property");
        return;
    }
    scheduleWeak("KLVMeasurement:2785", [attribute = *attribute](KLVMeasurement& self) {
        self.removeUserAttributeOnWorkerQueue(attribute);
    });
}

void KLVMeasurement::userPropertiesIncludingInternal(
    bool includeInternal, std::function<void(const platform::Dictionary&)> callback) {
    if (!callback) {
        monitor().logWithLevel(kKLVLogError, 23090,
                               "Unable to retrieve user properties. Callback is nil");
        return;
    }
    scheduleWeak("KLVMeasurement:3027",
                 [includeInternal, callback = std::move(callback)](KLVMeasurement& self) {
                     callback(self.userPropertiesOnWorkerQueueIncludingInternal(includeInternal));
                 });
}

void KLVMeasurement::maxUserPropertiesForOrigin(const std::string& origin,
                                                std::function<void(std::int64_t)> callback) {
    if (origin.empty()) {
        monitor().logWithLevel(kKLVLogError, 23093,
                               "Origin for querying MaxUserProperties cannot be nil");
        return;
    }
    if (!callback) {
        monitor().logWithLevel(kKLVLogError, 23094,
                               "MaxUserProperties callback cannot be nil. Origin", origin);
        return;
    }
    scheduleWeak("KLVMeasurement:3030",
                 [origin, callback = std::move(callback)](KLVMeasurement& self) {
                     callback(self.maxUserPropertiesOnWorkerQueueForOrigin(origin));
                 });
}

void KLVMeasurement::userAttributeWithName(
    const std::string& name, std::function<void(std::optional<KLVUserAttribute>)> callback) {
    if (!callback) {
        monitor().logWithLevel(kKLVLogError, 23088, "userAttributeWithName callback is nil");
        return;
    }
    scheduleWeak("KLVMeasurement:2972",
                 [name, callback = std::move(callback)](KLVMeasurement& self) {
                     callback(self.userAttributeOnWorkerQueueWithName(name));
                 });
}

}  // namespace engine
