// Upload scheduling: when the single upload alarm "Measurement timer" must fire, from the stored
// data, the last upload results, the server-driven intervals, the back-off and the suspension.

#include <cmath>
#include <limits>
#include <string>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"

namespace engine {

using platform::Error;

namespace {

constexpr double kTolerance = std::numeric_limits<double>::epsilon();
// The alarm reads the clock again after this service computed the next uploading time, so the
// time it stores for a task scheduled at `next` lies a little past `next`. Without this slack
// every stored event would cancel and schedule the same upload again.
constexpr double kScheduledTimeSlack = 0.01;

bool isZero(double value) {
    return std::fabs(value) < kTolerance;
}

}  // namespace

double KLVMeasurement::nextUploadingTime() {
    const auto config = remoteConfigInstance();
    const double lastSuccess = persistedConfig()->lastSuccessfulUploadTimestamp();
    const double lastFailure = persistedConfig()->lastFailedUploadTimestamp();
    Error error;
    double latest = 0;
    if (auto raw = database()->queryLatestRawEventTime(&error)) {
        latest = *raw;
    } else if (error.code != 0 || !error.description.empty()) {
        monitor().logWithLevel(kKLVLogWarningSilent, 23029,
                               "Failed to query latest raw event time. Error", error);
    }
    error = Error();
    if (auto bundle = database()->queryLatestBundleTime(&error)) {
        latest = std::max(latest, *bundle);
    } else if (error.code != 0 || !error.description.empty()) {
        monitor().logWithLevel(kKLVLogWarningSilent, 23030,
                               "Failed to query latest bundle time. Error", error);
    }
    if (isZero(latest)) return 0;

    const bool debug = monitor().isDebugModeEnabled();
    double interval = config->uploadingInterval();
    if (debug) {
        interval = config->uploadingRealTimeInterval();
    } else {
        error = Error();
        const auto realtimeBundles = database()->containsRealtimeBundlesWithError(&error);
        if (!realtimeBundles) {
            monitor().logWithLevel(kKLVLogWarningSilent, 23031,
                                   "Failed to query for real-time bundle indicator. Error", error);
        }
        bool realtime = realtimeBundles.value_or(false);
        if (!realtime) {
            error = Error();
            const auto realtimeRaw = database()->containsRealtimeRawEventsWithError(&error);
            if (!realtimeRaw) {
                monitor().logWithLevel(kKLVLogWarningSilent, 23032,
                                       "Failed to query for real-time raw event indicator. Error",
                                       error);
            }
            realtime = realtimeRaw.value_or(false);
        }
        if (realtime) {
            interval = config->uploadingRealTimeInterval();
        } else if (config->SKANUpdateConversionValueEnabled() && isInFirstSKANPostbackWindow()) {
            interval = config->SKANFirstWindowUploadInterval();
        }
    }

    const double now = platform::Clock::current().now();
    const double newest = now - std::fabs(latest - now);
    double next = std::fabs(now - lastSuccess) < interval
                      ? lastSuccess + interval
                      : newest + config->uploadingInitialDelayInterval();
    if (lastFailure >= newest) {
        double step = config->uploadingRetryInterval();
        for (std::int64_t i = 0; i < config->uploadingRetryCount(); ++i, step *= 2) {
            next += step;
            if (next > lastFailure) return next;
        }
        return 0;
    }
    if (debug) return std::min(next, newest + config->uploadingDebugModeInterval());
    return next;
}

bool KLVMeasurement::shouldUseBackgroundSession() const {
    const auto config = remoteConfigInstance();
    return config && config->isNetworkBackgroundSessionEnabled() &&
           backgroundUpdateTask() != kKLVInvalidBackgroundTask;
}

void KLVMeasurement::updateSchedule() {
    KLVScheduler::checkOnWorkerQueue("updateSchedule");
    if (!database() || !remoteConfigInstance()) return;
    database()->noticeChangesElsewhere();
    auto stop = [this] {
        alarm()->cancel();
        if (network()) network()->setReachabilityDelegate({});
        terminateBackgroundTask();
    };
    if (suspendedUploadTimestamp_ > 0) {
        const double elapsed =
            std::fabs(platform::Clock::current().uptime() - suspendedUploadTimestamp_);
        if (elapsed < kKLVUploadSuspensionSeconds) {
            monitor().logWithLevel(kKLVLogWarning, 23023,
                                   "Upload has been suspended. Will update scheduling later. "
                                   "Seconds",
                                   std::to_string(kKLVUploadSuspensionSeconds - elapsed));
            stop();
            return;
        }
        suspendedUploadTimestamp_ = 0;
    }
    if (!hasDataToUpload()) {
        remoteConfigInstance()->activateNewSnapshot();
        monitor().logWithLevel(kKLVLogVerbose, 23024,
                               "No data to upload. Upload task will not be scheduled");
        stop();
        return;
    }
    double next = nextUploadingTime();
    if (isZero(next)) {
        monitor().logWithLevel(kKLVLogVerbose, 23025,
                               "No next uploading time. Upload task will not be scheduled");
        stop();
        return;
    }
    if (!network() || !network()->isNetworkConnected()) {
        monitor().logWithLevel(kKLVLogVerbose, 23026,
                               "No network. Upload task will not be scheduled");
        // Told when the network returns, to schedule again.
        if (network()) network()->setReachabilityDelegate(weak_from_this());
        alarm()->cancel();
        terminateBackgroundTask();
        return;
    }
    network()->setReachabilityDelegate({});
    const double now = platform::Clock::current().now();
    const double backoff = persistedConfig()->lastBackoffTimestamp();
    const double backoffInterval = remoteConfigInstance()->uploadingBackoffInterval();
    if (backoff != 0 && backoffInterval > now - backoff)
        next = std::max(next, backoff + backoffInterval);

    const auto scheduled = alarm()->scheduledTimestamp();
    if (scheduled && scheduled->secondsSince1970 != 0 &&
        scheduled->secondsSince1970 <= next + kScheduledTimeSlack) {
        // The usual outcome after a stored event: its text is built only when it is printed.
        if (monitor().isLoggableLevel(kKLVLogVerbose)) {
            monitor().logWithLevel(kKLVLogVerbose, 23027,
                                   "Do not schedule an upload task. Task already exists. Will be "
                                   "executed in seconds",
                                   std::to_string(scheduled->secondsSince1970 - now));
        }
        return;
    }
    double delay = next - now;
    if (isZero(delay)) delay = 0.001;
    std::weak_ptr<KLVMeasurement> weak = weak_from_this();
    alarm()->runAfterDelay(delay, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->scheduler()->scheduleOnWorkerQueueBlockID("KLVMeasurement:1773", [weak] {
            if (auto service = weak.lock()) service->uploadData();
        });
    });
    monitor().logWithLevel(kKLVLogVerbose, 23028,
                           "Upload task scheduled to be executed in approx. (s)",
                           std::to_string(delay));
}

void KLVMeasurement::uploadDataOrRegisterAlarm() {
    if (network() && network()->isNetworkConnected() && hasDataToUpload()) {
        uploadData();
    } else {
        updateSchedule();
    }
}

}  // namespace engine
