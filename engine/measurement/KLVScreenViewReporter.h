#pragma once

// The screen-view reporter: knows the screen in front, gives every screen a unique instance ID,
// logs "_vs" when the screen changes and hands every other event the current screen's
// parameters. It follows the application's state (active, resigning, in the background) and
// passes those transitions and screen changes on to the session reporter once the measurement
// service has started its components.
//
// Screens come from the appearance of view controllers (the hooks that the engine's set-up
// installs: each key window keeps a stack of the controllers that appeared in it, and the one to
// track is picked from it) and from the app's "screen_view" events. The current and previous
// screens are read and written under one lock (every event reads them, so a hop to a queue would
// cost each event); the deferred work (the screen-change hand-over and "_vs") runs in order on the
// serial queue "KLVScreenViewReporter". A screen change is queued under the same lock as it is
// made, and each queued step carries the screens it saw, so the queue sees the changes in the
// order they were made. The activity flags are atomic. App-state and window notifications arrive
// on the main thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/measurement/KLVScreen.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Object.h"

namespace platform {
class UIViewController;
}

namespace engine {

class KLVAdExposureReporter;
class KLVSessionReporter;

// Info.plist's "TarnwellScreenReportingEnabled", else "TarnwellAutomaticScreenReportingEnabled":
// a number gives its Boolean value; absent or anything else means on.
bool KLVIsScreenReportingEnabled();

// Where an internal event with its own time goes (the front door's timed
// logInternalEventWithOrigin: origin, name, seconds since 1970, parameters). Installed by the
// front door; before that such events are dropped.
using KLVTimedInternalEventLogger =
    std::function<void(const std::string& origin, const std::string& name, double timestamp,
                       const platform::Dictionary& parameters)>;
void KLVSetTimedInternalEventLogger(KLVTimedInternalEventLogger logger);

// The performance component's screen delegate: told of every controller's appearance (and
// whether the reporter could track it) and disappearance, after the reporter's own handling, on
// the main thread. A delegate must bring both calls.
struct KLVScreenViewReporterDelegate {
    std::function<void(platform::UIViewController& viewController, bool trackedByAnalytics)>
        viewControllerDidAppear;
    std::function<void(platform::UIViewController& viewController)> viewControllerDidDisappear;
};

// What the screen-view reporter needs of the measurement service and of the ad exposure
// reporter, given when it is made.
struct KLVScreenViewReporterServices {
    // The session reporter of a service that has started its components; null otherwise.
    std::function<std::shared_ptr<KLVSessionReporter>()> startedSessionReporter;
    // A service exists and collects.
    std::function<bool()> isMeasurementEnabled;
    // The ad exposure reporter told of screen changes and of the app's state.
    std::function<std::shared_ptr<KLVAdExposureReporter>()> adExposureReporter;
};

class KLVScreenViewReporter {
  public:
    // Observes the application's state notifications from its creation.
    explicit KLVScreenViewReporter(KLVScreenViewReporterServices services);
    ~KLVScreenViewReporter();
    KLVScreenViewReporter(const KLVScreenViewReporter&) = delete;
    KLVScreenViewReporter& operator=(const KLVScreenViewReporter&) = delete;

    // The process's reporter, over the shared measurement service.
    static KLVScreenViewReporter& sharedInstance();
    // The shared reporter's screen, as the session and ad exposure reporters read it. Each call
    // asks the shared reporter of that moment.
    static KLVScreenState sharedScreenState();

    // A "screen_view" event of the app with the time it was logged: the screen it names
    // becomes current and "_vs" is logged for it (origin "app", that time). Dropped (31026)
    // while in the background after the first activation.
    void trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp);
    // The current screen's "_si", "_sc" and "_sn" (empty without one, or while in the
    // background after the first activation). Any thread.
    platform::Dictionary screenParameters();
    // Copies of the current screen's name and class.
    void getScreenName(std::optional<std::string>* screenName,
                       std::optional<std::string>* screenClass);
    // Names the screen of the newest controller that appeared in the key window (main thread).
    void setScreenName(const std::optional<std::string>& screenName,
                       const std::optional<std::string>& screenClass);

    bool isAppActive() const { return isAppActive_.load(); }
    bool appHasBeenInitialized() const { return appHasBeenInitialized_.load(); }

    // The next screen instance ID: the random seed plus one for the first, then one more each
    // time; wraps around like the signed counter it stands for. Any thread.
    std::int64_t incrementScreenInstanceID();

    // Joins the shared reporter to every controller's appearance, unless automatic reporting is
    // off (36001). Once per process; the engine's set-up calls it.
    static void installAppearanceHooks();
    // Main thread: the hooks' calls, and the controller made the tracked screen.
    void viewControllerDidAppear(platform::UIViewController& viewController);
    void viewControllerDidDisappear(platform::UIViewController& viewController);
    void setCurrentViewController(const std::shared_ptr<platform::UIViewController>& controller);

    // The performance delegate, held weakly. One lacking either call is refused (31019); null
    // clears it; while one is set, a different one is refused (31016). Any thread.
    void setTarnwellPerfDelegate(const std::shared_ptr<KLVScreenViewReporterDelegate>& delegate);
    std::shared_ptr<KLVScreenViewReporterDelegate> tarnwellPerfDelegate() const;

    // The key window stopped being key: the screen to track is picked again from the stack of
    // the window that is key now (main thread).
    void handleWindowDidResign();

    // App state (main thread).
    void handleAppDidBecomeActive();
    void handleAppWillResignActive();
    void handleAppDidEnterBackground();

    // Reporter queue: the session reporter and "_vs".
    void postScreenDidChangeNotificationWithPreviousScreen(const std::optional<KLVScreen>& previous,
                                                           const std::optional<KLVScreen>& next);
    void logViewScreenEventWithPreviousScreen(const std::optional<KLVScreen>& previous,
                                              const std::optional<KLVScreen>& next,
                                              const platform::Dictionary& parameters);

    // The reporter's queue, for waiting on its deferred work.
    platform::DispatchQueue& queue() { return queue_; }

  private:
    const KLVScreenViewReporterServices services_;
    std::atomic<bool> isAppActive_{false};
    std::atomic<bool> appHasBeenInitialized_{false};
    std::atomic<std::uint64_t> currentScreenInstanceID_;
    std::optional<KLVScreen> currentScreen() const;
    // Makes `screen` current and, on the queue, hands the change on and logs it: with the
    // parameters of the app's "screen_view" when given, else without parameters when automatic
    // reporting is on.
    void changeCurrentScreen(const KLVScreen& screen,
                             std::optional<platform::Dictionary> screenViewParameters);
    // Picks the controller to track from the key window's stack and tracks it.
    void trackKeyWindowStack();
    // Main thread.
    std::weak_ptr<platform::UIViewController> currentViewController_;
    mutable std::mutex perfDelegateMutex_;
    std::weak_ptr<KLVScreenViewReporterDelegate> tarnwellPerfDelegate_;
    mutable std::mutex screensMutex_;
    std::optional<KLVScreen> currentScreen_;
    std::optional<KLVScreen> previousScreen_;
    // Last: destroyed first, running its pending blocks while the rest still exists.
    platform::SerialQueue queue_{"KLVScreenViewReporter"};
};

// The public interface's name for the same reporter.
using TRWAScreenViewReporter = KLVScreenViewReporter;

}  // namespace engine
