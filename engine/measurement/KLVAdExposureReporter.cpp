#include "engine/measurement/KLVAdExposureReporter.h"

#include <cstdint>
#include <utility>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "platform/dispatch/Clock.h"

namespace engine {

namespace {

constexpr char kAdExposureOrigin[] = "vu";
// Exposures up to this many milliseconds are too short to log.
constexpr std::int64_t kShortestLoggedExposure = 999;

std::int64_t exposureMilliseconds(double startTime, double endTime) {
    return static_cast<std::int64_t>((endTime - startTime) * 1000);
}

}  // namespace

KLVAdExposureReporter::KLVAdExposureReporter(KLVScreenState screen)
    : screen_(std::move(screen)), adExposureStartTime_(currentTime()) {
    engagementObserver_ = platform::NotificationCenter::defaultCenter().addObserverForName(
        kKLVSessionReporterEngagementTimerDidFire, nullptr,
        [this](const platform::Notification&) { handleEngagementTimer(); });
}

double KLVAdExposureReporter::currentTime() {
    return platform::Clock::current().uptime();
}

void KLVAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
    if (adUnitID.empty()) {
        monitor().logWithLevel(kKLVLogWarningSilent, 1000,
                               "Ignoring call to begin ad unit exposure. Received empty ad unit "
                               "ID");
        return;
    }
    const double beginTime = currentTime();
    std::weak_ptr<KLVAdExposureReporter> weak = weak_from_this();
    queue_.async([weak, adUnitID, beginTime] {
        const auto self = weak.lock();
        if (!self) return;
        if (self->adUnitCounts_.size() >= kMaximumAdUnits &&
            !self->adUnitCounts_.contains(adUnitID)) {
            monitor().logWithLevel(kKLVLogWarningSilent, 1002,
                                   "Reached limit on ad units. Ignoring ad unit with ID", adUnitID);
            return;
        }
        if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = beginTime;
        auto [count, isNew] = self->adUnitCounts_.try_emplace(adUnitID, 0);
        if (isNew) self->adUnitStartTimes_[adUnitID] = beginTime;
        ++count->second;
    });
}

void KLVAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
    if (adUnitID.empty()) {
        monitor().logWithLevel(kKLVLogWarningSilent, 1003,
                               "Ignoring call to end ad unit exposure. Received empty ad unit ID");
        return;
    }
    const double endTime = currentTime();
    const auto screenParameters = screen_.screenParameters();
    queue_.sync([&] {
        const auto count = adUnitCounts_.find(adUnitID);
        if (count == adUnitCounts_.end()) {
            // Without a start there is no exposure to measure.
            monitor().logWithLevel(kKLVLogWarningSilent, 1004,
                                   "Unknown ad unit. Ignoring ad unit with ID", adUnitID);
            return;
        }
        if (count->second >= 2) {
            --count->second;
            return;
        }
        logAdUnitExposureEventOnSerialQueueWithID(adUnitID, endTime, screenParameters);
        adUnitCounts_.erase(count);
        adUnitStartTimes_.erase(adUnitID);
        if (adUnitCounts_.empty()) {
            logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters);
            adExposureStartTime_ = endTime;
        }
    });
}

void KLVAdExposureReporter::handleScreenDidChangeFromScreen(const KLVScreen* fromScreen,
                                                            const KLVScreen*) {
    if (fromScreen)
        logExposureEventsWithScreenParameters(
            KLVScreenParametersFromScreen(*fromScreen, *KLVRemoteConfig::current()));
}

void KLVAdExposureReporter::handleEngagementTimer() {
    logExposureEventsWithScreenParameters(screen_.screenParameters());
}

void KLVAdExposureReporter::handleAppWillResignActiveWithScreen(const KLVScreen* screen) {
    auto screenParameters =
        screen ? KLVScreenParametersFromScreen(*screen, *KLVRemoteConfig::current())
               : platform::Dictionary();
    if (screenParameters.empty()) screenParameters = screen_.screenParameters();
    logExposureEventsWithScreenParameters(screenParameters);
}

void KLVAdExposureReporter::handleAppDidBecomeActive() {
    const double startTime = currentTime();
    queue_.sync([&] { updateStartTimesOnSerialQueue(startTime); });
}

void KLVAdExposureReporter::logExposureEventsWithScreenParameters(
    const platform::Dictionary& screenParameters) {
    const double endTime = currentTime();
    queue_.sync([&] { logExposureEventsOnSerialQueueWithEndTime(endTime, screenParameters); });
}

void KLVAdExposureReporter::updateStartTimesOnSerialQueue(double startTime) {
    if (adUnitCounts_.empty()) return;
    for (const auto& [adUnitID, count] : adUnitCounts_)
        adUnitStartTimes_[adUnitID] = startTime;
    adExposureStartTime_ = startTime;
}

void KLVAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(
    double endTime, const platform::Dictionary& screenParameters) {
    for (const auto& [adUnitID, count] : adUnitCounts_)
        logAdUnitExposureEventOnSerialQueueWithID(adUnitID, endTime, screenParameters);
    if (!adUnitCounts_.empty())
        logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters);
    updateStartTimesOnSerialQueue(endTime);
}

void KLVAdExposureReporter::logAdExposureEventOnSerialQueueWithEndTime(
    double endTime, const platform::Dictionary& screenParameters) {
    if (!isReportingEnabled()) {
        monitor().logWithLevel(kKLVLogWarningSilent, 1005,
                               "Ad exposure not logged. Reporting is disabled.");
        return;
    }
    if (!screen_.isAppActive()) {
        monitor().logWithLevel(kKLVLogVerbose, 1010, "Ad exposure not logged. App is not active.");
        return;
    }
    const std::int64_t exposure = exposureMilliseconds(adExposureStartTime_, endTime);
    if (exposure <= kShortestLoggedExposure) {
        monitor().logWithLevel(kKLVLogVerbose, 1006,
                               "Ad exposure not logged. Exposure time was less than 1 sec");
        return;
    }
    auto parameters = screenParameters;
    parameters["_xt"] = exposure;
    KLVLogInternalEvent(kAdExposureOrigin, "_xa", parameters);
}

void KLVAdExposureReporter::logAdUnitExposureEventOnSerialQueueWithID(
    const std::string& adUnitID, double endTime, const platform::Dictionary& screenParameters) {
    if (!isReportingEnabled()) {
        monitor().logWithLevel(kKLVLogWarningSilent, 1007,
                               "Ad unit exposure not logged. Reporting is disabled.");
        return;
    }
    if (adUnitID.empty()) {
        monitor().logWithLevel(kKLVLogWarningSilent, 1008,
                               "Ad unit exposure not logged. Received empty ad unit ID");
        return;
    }
    if (!screen_.isAppActive()) {
        monitor().logWithLevel(kKLVLogVerbose, 1011,
                               "Ad unit exposure not logged. App is not active.");
        return;
    }
    const auto start = adUnitStartTimes_.find(adUnitID);
    const std::int64_t exposure =
        exposureMilliseconds(start == adUnitStartTimes_.end() ? 0 : start->second, endTime);
    if (exposure <= kShortestLoggedExposure) {
        monitor().logWithLevel(kKLVLogVerbose, 1009,
                               "Ad unit exposure not logged. Exposure time was less than 1 sec");
        return;
    }
    auto parameters = screenParameters;
    parameters["_ai"] = adUnitID;
    parameters["_xt"] = exposure;
    KLVLogInternalEvent(kAdExposureOrigin, "_xu", parameters);
}

}  // namespace engine
