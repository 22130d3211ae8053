#pragma once

// Times how long ad units stay on screen. The ad component reports when a unit becomes visible
// and when it goes away; the reporter keeps a count and a start time per unit and, when exposure
// ends (the unit goes away, the screen changes, the app resigns active, the engagement timer
// fires), logs "_xu" per unit and "_xa" for the time any ad was visible, each with the exposure
// in milliseconds ("_xt") and the screen parameters. Exposures under one second are not logged.
//
// Times are seconds of uptime, so that time spent asleep or a change of the wall clock counts
// nothing. All counts and start times live on the reporter's serial queue: begin is queued,
// every other entry runs synchronously there, so an end returns after its events were handed
// to the front door.

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "engine/measurement/KLVScreen.h"
#include "engine/measurement/KLVSessionReporter.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVAdExposureReporter : public std::enable_shared_from_this<KLVAdExposureReporter> {
  public:
    // Units counted at once; a further one is ignored (1002).
    static constexpr std::size_t kMaximumAdUnits = 100;

    // The process's reporter, reading the shared screen-view reporter's screen.
    static std::shared_ptr<KLVAdExposureReporter> sharedInstance();

    explicit KLVAdExposureReporter(KLVScreenState screen);
    KLVAdExposureReporter(const KLVAdExposureReporter&) = delete;
    KLVAdExposureReporter& operator=(const KLVAdExposureReporter&) = delete;

    // Any thread. An empty ID is ignored (1000, 1003). Ending an unknown unit logs 1004.
    void beginAdUnitExposure(const std::string& adUnitID);
    void endAdUnitExposure(const std::string& adUnitID);

    // Seconds of uptime.
    static double currentTime();

    // Called by the screen-view reporter: a screen left ends every interval with its parameters
    // (nothing for no screen); resigning active ends them with the given screen's parameters (or
    // the current ones); becoming active restarts them, so time in the background counts nothing.
    void handleScreenDidChangeFromScreen(const KLVScreen* fromScreen, const KLVScreen* toScreen);
    void handleAppWillResignActiveWithScreen(const KLVScreen* screen);
    void handleAppDidBecomeActive();
    // Ends every interval with the current screen parameters.
    void handleEngagementTimer();
    // Ends every interval now; the units stay counted and their next interval starts now.
    void logExposureEventsWithScreenParameters(const platform::Dictionary& screenParameters);

    bool isReportingEnabled() const { return reportingEnabled_.load(); }
    void setReportingEnabled(bool enabled) { reportingEnabled_.store(enabled); }

  private:
    void updateStartTimesOnSerialQueue(double startTime);
    void logExposureEventsOnSerialQueueWithEndTime(double endTime,
                                                   const platform::Dictionary& screenParameters);
    void logAdExposureEventOnSerialQueueWithEndTime(double endTime,
                                                    const platform::Dictionary& screenParameters);
    void logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                   const platform::Dictionary& screenParameters);

    const KLVScreenState screen_;
    platform::SerialQueue queue_{"KLVAdExposureReporter"};
    // On queue_ only.
    std::map<std::string, int> adUnitCounts_;
    std::map<std::string, double> adUnitStartTimes_;
    double adExposureStartTime_ = 0;
    std::atomic<bool> reportingEnabled_{true};
    // Last: stops the engagement-timer calls before the rest goes.
    platform::NotificationObserver engagementObserver_;
};

// The public interface's name for the same reporter.
using TRWAAdExposureReporter = KLVAdExposureReporter;

}  // namespace engine
