#pragma once

// Sessions and engagement. A session expires when more than the timeout has passed since the
// last engagement ("last_engagement_end" in the persisted configuration); a new one is reported
// as "_s" with the internal properties "_sid" and "_sno". Engagement time is measured on the
// uptime clock between reports and leaves as "_et" in "_e" and "_ab".
//
// Threads: the app-state and screen handlers, the engagement timer and the engagement spans
// belong to the main thread (calls from other threads are posted there); the spans are guarded
// anyway because the screen-view reporter cuts freeride time from its own queue. Reporting and
// the timeout are atomic; the session values live in the persisted configuration, which
// serialises itself, so the worker queue may ask about expiry and start sessions directly.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/base/KLVAlarm.h"
#include "engine/events/KLVEvent.h"
#include "engine/events/KLVUserAttribute.h"
#include "engine/measurement/KLVScreen.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVPersistedConfig;

// Posted (object nil) each time the engagement timer fires, before its "_e" report.
inline constexpr char kKLVSessionReporterEngagementTimerDidFire[] =
    "kKLVSessionReporterEngagementTimerDidFire";

// Where internal user properties go (the front door's setInternalUserProperty: value, name,
// origin; a null value removes the property). The front door installs it; before that the
// session properties of a session started on the main thread have nowhere to go.
using KLVInternalUserPropertySetter = std::function<void(
    const platform::Object& value, const std::string& name, const std::string& origin)>;
void KLVSetInternalUserPropertySetter(KLVInternalUserPropertySetter setter);

// The "_s" event of a session started on the worker queue: "_sid" (the time in whole seconds)
// and "_sno", then "_aib" = 1 in the background or else the current screen's parameters.
std::optional<KLVEvent> KLVSessionStartEvent(std::int64_t sessionNumber, bool inBackground,
                                             double timestamp, const KLVScreenState& screen);

class KLVSessionReporter : public std::enable_shared_from_this<KLVSessionReporter> {
  public:
    KLVSessionReporter(std::shared_ptr<KLVPersistedConfig> persistedConfig, KLVScreenState screen);
    ~KLVSessionReporter();
    KLVSessionReporter(const KLVSessionReporter&) = delete;
    KLVSessionReporter& operator=(const KLVSessionReporter&) = delete;

    // Off cancels the engagement timer; on arms it when the app is active and it is idle.
    void setReportingEnabled(bool enabled);
    bool isReportingEnabled() const { return reportingEnabled_.load(); }
    // A negative timeout is stored as 0 (33001).
    void setTimeoutSessionInterval(double seconds);
    double timeoutSessionInterval() const { return timeoutSessionInterval_.load(); }

    // |now - last engagement end| > timeout. Any thread.
    bool isSessionExpired() const;
    // False while the app is not active.
    bool shouldStartNewSession() const;
    // Moves the last engagement end to now unless the session has expired. Any thread.
    bool extendSession();
    // Session number + 1 and the last engagement end at now, both persisted. Any thread.
    void updatePropertiesForNewSessionStart();
    std::optional<KLVUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) const;
    std::optional<KLVUserAttribute> sessionNumberProperty() const;

    // ---- Main thread ---------------------------------------------------------------------
    void logSessionStartEvent();
    void logUserEngagementEvent();
    // The "_e" report of the span so far (capped at one hour); its milliseconds, 0 when the
    // app is inactive or reporting is off.
    std::int64_t logEngagementEventAndReturnTimeWithScreen(const std::optional<KLVScreen>& screen,
                                                           bool isRedundant);
    void logAppBackgroundEvent(std::int64_t milliseconds);
    // With efficient reporting: the uncapped time since the freeride start, which moves to now.
    // Any thread.
    std::int64_t cutFreerideEngagementTimeMillis();
    // Seconds of the current span; never negative (33004).
    double incurredEngagementTime() const;
    void rescheduleUserEngagementTimer();

    void handleAppDidBecomeActive();
    void handleAppWillResignActiveWithScreen(const std::optional<KLVScreen>& screen);
    void handleScreenDidChangeFromScreen(const std::optional<KLVScreen>& previous,
                                         const std::optional<KLVScreen>& next);
    // Sets (or, with nothing, removes) "_sid" and "_sno" through the front door.
    static void setSessionID(std::optional<std::int64_t> sessionID,
                             std::optional<std::int64_t> sessionNumber);

    const KLVAlarm& userEngagementTimer() const { return *userEngagementTimer_; }

  private:
    double incurredEngagementTimeLocked() const;
    // Runs `block` now on the main thread, else posts it there while the reporter lives.
    void onMainThread(std::function<void(KLVSessionReporter&)> block);

    bool isAppActive() const { return screen_.isAppActive(); }

    const std::shared_ptr<KLVPersistedConfig> persistedConfig_;
    const KLVScreenState screen_;
    std::unique_ptr<KLVAlarm> userEngagementTimer_;
    mutable std::mutex spansMutex_;
    double engagementStartUptime_ = 0;
    double freerideEngagementStartUptime_ = 0;
    std::atomic<bool> reportingEnabled_{false};
    std::atomic<double> timeoutSessionInterval_{0};
};

}  // namespace engine
