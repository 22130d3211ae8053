#include "engine/measurement/KLVSessionReporter.h"

#include <algorithm>
#include <cmath>

#include "engine/base/KLVHandOverSlot.h"
#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVMonitor.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NotificationCenter.h"

namespace engine {

namespace {

constexpr double kMaximumEngagementSeconds = 3600.0;
constexpr char kSessionIDProperty[] = "_sid";
constexpr char kSessionNumberProperty[] = "_sno";

struct SetterTag;
KLVHandOverSlot<KLVInternalUserPropertySetter>& setterSlot() {
    return KLVHandOverSlot<KLVInternalUserPropertySetter>::shared<SetterTag>();
}

double currentClockTime() {
    return platform::Clock::current().now();
}

double currentUptime() {
    return platform::Clock::current().uptime();
}

std::int64_t wholeSeconds(double seconds) {
    return static_cast<std::int64_t>(seconds);
}

std::int64_t millisFromSeconds(double seconds) {
    return static_cast<std::int64_t>(seconds * 1000);
}

// The running service's settings, else the defaults; read at the moment of use.
std::shared_ptr<KLVRemoteConfig> settings() {
    return KLVRemoteConfig::current();
}

// The main queue lives for the process; the alarm only borrows it.
std::shared_ptr<platform::DispatchQueue> mainQueueHandle() {
    return std::shared_ptr<platform::DispatchQueue>(&platform::mainQueue(),
                                                    [](platform::DispatchQueue*) {});
}

}  // namespace

void KLVSetInternalUserPropertySetter(KLVInternalUserPropertySetter setter) {
    setterSlot().install(std::move(setter));
}

std::optional<KLVEvent> KLVSessionStartEvent(std::int64_t sessionNumber, bool inBackground,
                                             double timestamp, const KLVScreenState& screen) {
    platform::Dictionary parameters = {
        {kSessionIDProperty, wholeSeconds(timestamp)},
        {kSessionNumberProperty, sessionNumber},
    };
    if (inBackground) {
        parameters["_aib"] = std::int64_t{1};
    } else {
        for (auto& [key, value] : screen.screenParameters()) {
            parameters[key] = value;
        }
    }
    return KLVEvent::initWithOrigin(kKLVAutoOrigin, false, "_s", timestamp, 0, parameters);
}

KLVSessionReporter::KLVSessionReporter(std::shared_ptr<KLVPersistedConfig> persistedConfig,
                                       KLVScreenState screen)
    : persistedConfig_(std::move(persistedConfig)),
      screen_(std::move(screen)),
      userEngagementTimer_(std::make_unique<KLVAlarm>(mainQueueHandle(), "Engagement timer")),
      timeoutSessionInterval_(settings()->sessionDefaultTimeoutInterval()) {
    engagementStartUptime_ = freerideEngagementStartUptime_ = currentUptime();
}

KLVSessionReporter::~KLVSessionReporter() {
    userEngagementTimer_->cancel();
}

void KLVSessionReporter::onMainThread(std::function<void(KLVSessionReporter&)> block) {
    if (platform::isMainThread()) {
        block(*this);
        return;
    }
    platform::mainQueue().async([weak = weak_from_this(), block = std::move(block)] {
        if (auto self = weak.lock()) block(*self);
    });
}

void KLVSessionReporter::setReportingEnabled(bool enabled) {
    reportingEnabled_.store(enabled);
    onMainThread([enabled](KLVSessionReporter& self) {
        if (!enabled) {
            self.userEngagementTimer_->cancel();
        } else if (self.isAppActive() && !self.userEngagementTimer_->scheduledTimestamp()) {
            self.rescheduleUserEngagementTimer();
        }
    });
}

void KLVSessionReporter::setTimeoutSessionInterval(double seconds) {
    if (seconds < 0) {
        monitor().logWithLevel(kKLVLogWarning, 33001,
                               "Received negative timeout session duration. Setting to 0.0 "
                               "instead.");
        seconds = 0.0;
    }
    timeoutSessionInterval_.store(seconds);
}

bool KLVSessionReporter::isSessionExpired() const {
    const double last = persistedConfig_->lastSessionActivityClockTime();
    return std::fabs(currentClockTime() - last) > timeoutSessionInterval();
}

bool KLVSessionReporter::shouldStartNewSession() const {
    return isAppActive() && isSessionExpired();
}

bool KLVSessionReporter::extendSession() {
    if (isSessionExpired()) return false;
    persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
    return true;
}

void KLVSessionReporter::updatePropertiesForNewSessionStart() {
    persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
    persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
}

std::optional<KLVUserAttribute> KLVSessionReporter::sessionIDPropertyWithTimestamp(
    double timestamp) const {
    return KLVUserAttribute::initWithOrigin(kKLVAutoOrigin, kSessionIDProperty,
                                            KLVValue::initWithInt64(wholeSeconds(timestamp)),
                                            timestamp);
}

std::optional<KLVUserAttribute> KLVSessionReporter::sessionNumberProperty() const {
    return KLVUserAttribute::initWithOrigin(
        kKLVAutoOrigin, kSessionNumberProperty,
        KLVValue::initWithInt64(persistedConfig_->sessionNumber()), currentClockTime());
}

void KLVSessionReporter::setSessionID(std::optional<std::int64_t> sessionID,
                                      std::optional<std::int64_t> sessionNumber) {
    const auto setter = setterSlot().get();
    if (!setter) return;
    const auto object = [](std::optional<std::int64_t> v) {
        return v ? platform::Object(*v) : platform::Object();
    };
    (*setter)(object(sessionID), kSessionIDProperty, kKLVAutoOrigin);
    (*setter)(object(sessionNumber), kSessionNumberProperty, kKLVAutoOrigin);
}

void KLVSessionReporter::logSessionStartEvent() {
    if (!isAppActive()) {
        monitor().logWithLevel(kKLVLogDebug, 33005,
                               "Session start event not logged. Application is not active");
        return;
    }
    if (!isReportingEnabled()) return;
    updatePropertiesForNewSessionStart();
    const std::int64_t sessionID = wholeSeconds(currentClockTime());
    const std::int64_t sessionNumber = persistedConfig_->sessionNumber();
    setSessionID(sessionID, sessionNumber);
    KLVLogInternalEvent(kKLVAutoOrigin, "_s",
                        {{kSessionIDProperty, sessionID}, {kSessionNumberProperty, sessionNumber}});
}

double KLVSessionReporter::incurredEngagementTimeLocked() const {
    const bool efficient = settings()->efficientEngagementReportingEnabled();
    const double start = efficient ? freerideEngagementStartUptime_ : engagementStartUptime_;
    const double incurred = currentUptime() - start;
    if (incurred < 0) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 33004,
                               "Incurred engagement time is negative. Setting to 0.0 instead");
        return 0.0;
    }
    return incurred;
}

double KLVSessionReporter::incurredEngagementTime() const {
    std::lock_guard lock(spansMutex_);
    return incurredEngagementTimeLocked();
}

std::int64_t KLVSessionReporter::logEngagementEventAndReturnTimeWithScreen(
    const std::optional<KLVScreen>& screen, bool isRedundant) {
    if (!isAppActive()) {
        monitor().logWithLevel(kKLVLogDebug, 33006,
                               "User engagement event not logged. Application is not active");
        return 0;
    }
    const auto config = settings();
    const bool efficient = config->efficientEngagementReportingEnabled();
    std::int64_t milliseconds = 0;
    {
        std::lock_guard lock(spansMutex_);
        if (isReportingEnabled()) {
            milliseconds = millisFromSeconds(
                std::min(incurredEngagementTimeLocked(), kMaximumEngagementSeconds));
        }
        engagementStartUptime_ = currentUptime();
        if (efficient && !isRedundant) freerideEngagementStartUptime_ = engagementStartUptime_;
    }
    if (isReportingEnabled()) {
        platform::Dictionary parameters = {{"_et", milliseconds}};
        if (screen) {
            for (auto& [key, value] : KLVScreenParametersFromScreen(*screen, *config)) {
                parameters[key] = value;
            }
        }
        if (efficient && isRedundant) parameters["_fr"] = std::int64_t{1};
        KLVLogInternalEvent(kKLVAutoOrigin, "_e", parameters);
    }
    persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
    rescheduleUserEngagementTimer();
    return milliseconds;
}

void KLVSessionReporter::logUserEngagementEvent() {
    logEngagementEventAndReturnTimeWithScreen(std::nullopt, false);
}

std::int64_t KLVSessionReporter::cutFreerideEngagementTimeMillis() {
    if (!settings()->efficientEngagementReportingEnabled()) return 0;
    std::lock_guard lock(spansMutex_);
    const double incurred = incurredEngagementTimeLocked();
    freerideEngagementStartUptime_ = currentUptime();
    return millisFromSeconds(incurred);
}

void KLVSessionReporter::logAppBackgroundEvent(std::int64_t milliseconds) {
    if (!isReportingEnabled() || !settings()->appBackgroundedEventEnabled()) return;
    if (!isAppActive()) {
        monitor().logWithLevel(kKLVLogDebug, 33008,
                               "App backgrounded event not logged. Application is not active");
        return;
    }
    platform::Dictionary parameters;
    if (settings()->efficientEngagementReportingEnabled() && milliseconds >= 1) {
        parameters["_et"] = milliseconds;
    }
    KLVLogInternalEvent(kKLVAutoOrigin, "_ab", parameters);
}

void KLVSessionReporter::rescheduleUserEngagementTimer() {
    userEngagementTimer_->runAfterDelay(
        settings()->sessionEventUserEngagementInterval(), [weak = weak_from_this()] {
            platform::NotificationCenter::defaultCenter().postNotificationName(
                kKLVSessionReporterEngagementTimerDidFire, nullptr);
            if (auto self = weak.lock()) self->logUserEngagementEvent();
        });
}

void KLVSessionReporter::handleAppDidBecomeActive() {
    {
        std::lock_guard lock(spansMutex_);
        engagementStartUptime_ = freerideEngagementStartUptime_ = currentUptime();
    }
    rescheduleUserEngagementTimer();
    if (shouldStartNewSession() && isReportingEnabled()) {
        setSessionID(std::nullopt, std::nullopt);
        logSessionStartEvent();
    }
}

void KLVSessionReporter::handleAppWillResignActiveWithScreen(
    const std::optional<KLVScreen>& screen) {
    const auto config = settings();
    const bool backgroundedEvent = config->appBackgroundedEventEnabled();
    std::int64_t milliseconds = 0;
    if (backgroundedEvent && config->redundantEngagementRemovalEnabled()) {
        milliseconds = cutFreerideEngagementTimeMillis();
    } else {
        milliseconds = logEngagementEventAndReturnTimeWithScreen(screen, backgroundedEvent);
    }
    logAppBackgroundEvent(milliseconds);
    userEngagementTimer_->cancel();
}

void KLVSessionReporter::handleScreenDidChangeFromScreen(const std::optional<KLVScreen>& previous,
                                                         const std::optional<KLVScreen>&) {
    if (!previous || incurredEngagementTime() < 1.0) return;
    const auto config = settings();
    const bool efficient = config->efficientEngagementReportingEnabled();
    if (efficient && config->redundantEngagementRemovalEnabled()) return;
    logEngagementEventAndReturnTimeWithScreen(previous, efficient);
}

}  // namespace engine
