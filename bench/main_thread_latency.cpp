// The app's main thread never waits for the engine. Two runs:
// - With the engine's busy queues held (the worker queue, the front door's serial queue and the
//   identity queue, which refreshes for every stored event), every public call, screen hook and
//   app-state notification made on the main thread returns, and every block it leaves on the main
//   queue runs. This is what fails: a call that waits for one of these queues never returns,
//   whatever the machine's load, and is named after a guard of a minute. The consent queue stays
//   free: setConsent merges there in one visit, and its blocks are reads and merges in memory
//   that wait for no other queue.
// - With seconds of events queued for the worker and the server holding its answers, the same
//   calls are timed, as are the starts of blocks posted to the main queue. Prints p50, p99 and
//   max of both, and each call over 10 ms. These are wall-clock figures: a busy machine stretches
//   them at will, so they are reported, not held.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/frontdoor/LoopbackServiceTestSupport.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIViewController.h"
#include "platform/ui/UIWindow.h"

namespace engine {
namespace {

using Clock = std::chrono::steady_clock;

// The figure each call and main-queue start is reported against.
constexpr double kBoundMs = 10;
constexpr int kBacklogEvents = 15000;
constexpr int kRounds = 40;
constexpr double kServerDelaySeconds = 2;
// How long one call may take with the engine's queues held before it counts as waiting for one:
// only reached when a call does wait.
constexpr auto kGuard = std::chrono::seconds(60);

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Figures {
    double p50 = 0, p99 = 0, max = 0;
};

Figures figuresOf(std::vector<double> samples) {
    if (samples.empty()) return {};
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
    };
    return {at(0.5), at(0.99), samples.back()};
}

class HomeController : public platform::UIViewController {};
class DetailController : public platform::UIViewController {};

using Calls = std::vector<std::pair<std::string, std::function<void()>>>;

// The calls the app makes on its main thread, by name: the public interface, the screen hooks
// (a root controller appearing, one presented and dismissed) and the app-state notifications.
Calls mainThreadCalls() {
    const auto window = std::make_shared<platform::UIWindow>();
    const auto home = std::make_shared<HomeController>();
    auto& app = platform::UIApplication::shared();
    return {
        {"logEventWithName",
         [] {
             TRWAnalytics::logEventWithName("tap", {{"button", "solve"}});
         }},
        {"setUserPropertyString", [] { TRWAnalytics::setUserPropertyString("dark", "theme"); }},
        {"setUserID", [] { TRWAnalytics::setUserID("user-7"); }},
        {"setAnalyticsCollectionEnabled",
         [] { TRWAnalytics::setAnalyticsCollectionEnabled(true); }},
        {"setSessionTimeoutInterval", [] { TRWAnalytics::setSessionTimeoutInterval(1800); }},
        {"sessionIDWithCompletion", [] { TRWAnalytics::sessionIDWithCompletion({}); }},
        {"appInstanceID", [] { (void)TRWAnalytics::appInstanceID(); }},
        {"setConsent",
         [] {
             TRWAnalytics::setConsent({{"ad_storage", "granted"}});
         }},
        {"initiateOnDeviceConversionMeasurementWithEmailAddress",
         [] {
             TRWAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress(
                 std::string("a@example.com"));
         }},
        {"initiateOnDeviceConversionMeasurementWithPhoneNumber",
         [] {
             TRWAnalytics::initiateOnDeviceConversionMeasurementWithPhoneNumber(
                 std::string("+15550100"));
         }},
        {"setDefaultEventParameters",
         [] {
             TRWAnalytics::setDefaultEventParameters(platform::Dictionary{{"mode", "exam"}});
         }},
        {"logTransactionWithProductID",
         [] {
             TRWAnalytics::logTransactionWithProductID("pro", "t1", "t1", std::nullopt, 0, false,
                                                       false, 1, 1.7e9, 1.7e9, std::nullopt,
                                                       std::nullopt);
         }},
        {"handleOpenURL",
         [] { TRWAnalytics::handleOpenURL("tessaline://open?utm_source=news&utm_medium=mail"); }},
        {"screen: root appears",
         [window, home] {
             window->setRootViewController(home);
             window->makeKeyAndVisible();
         }},
        {"screen: present", [home] { home->present(std::make_shared<DetailController>(), false); }},
        {"screen: dismiss",
         [home] {
             if (const auto shown = home->presentedViewController()) shown->dismiss(false);
         }},
        {"notification: will resign active", [&app] { app.resignActive(); }},
        {"notification: did enter background", [&app] { app.enterBackground(); }},
        {"notification: did become active", [&app] { app.becomeActive(); }},
    };
}

class MainThreadTest : public LoopbackServiceFixture {
  protected:
    void SetUp() override {
        LoopbackServiceFixture::SetUp();
        launchAppAndStartService({{"measurement.upload.interval", "15"}}, kServerDelaySeconds);
        platform::runUntilIdle();
    }

    void TearDown() override {
        server_.stop();
        if (service_) service_->scheduler()->workerQueue()->sync([] {});
        platform::runUntilIdle();
        EngineTest::TearDown();
    }
};

// Keeps the given queues busy, each with a block that waits, until release() (or the end).
class QueueHold {
  public:
    explicit QueueHold(const std::vector<platform::DispatchQueue*>& queues) {
        for (auto* queue : queues) {
            auto started = std::make_shared<platform::Semaphore>();
            queue->async([started, release = release_] {
                started->signal();
                release->wait();
            });
            started->wait();
            ++held_;
        }
    }
    ~QueueHold() { release(); }
    QueueHold(const QueueHold&) = delete;
    QueueHold& operator=(const QueueHold&) = delete;

    // Safe from any thread, and more than once.
    void release() {
        for (int held = held_.exchange(0); held > 0; --held)
            release_->signal();
    }

  private:
    std::shared_ptr<platform::Semaphore> release_ = std::make_shared<platform::Semaphore>();
    std::atomic<int> held_{0};
};

TEST_F(MainThreadTest, NoCallOrMainQueueBlockWaitsForAnEngineQueue) {
    const auto identity = service_->identity();
    ASSERT_TRUE(identity);
    QueueHold hold(
        {service_->scheduler()->workerQueue().get(), &KLVAnalytics::queue(), &identity->queue()});

    // A watchdog lets the queues go when one call (with the main-queue blocks it left) has not
    // come back within the guard, so that the run ends and names it.
    const auto calls = mainThreadCalls();
    std::atomic<std::size_t> current{0};
    std::atomic<bool> finished{false};
    platform::Semaphore progress(0);
    std::vector<std::string> waited;
    std::thread watchdog([&] {
        const double guard = std::chrono::duration<double>(kGuard).count();
        while (!finished) {
            if (!progress.wait(guard) && !finished) {
                waited.push_back(calls[current % calls.size()].first);
                hold.release();
            }
        }
    });
    for (std::size_t index = 0; index < calls.size() * 2; ++index) {
        current = index;
        calls[index % calls.size()].second();
        bool ran = false;
        platform::mainQueue().async([&ran] { ran = true; });
        platform::runUntilIdle();
        EXPECT_TRUE(ran) << calls[index % calls.size()].first;
        progress.signal();
    }
    finished = true;
    progress.signal();
    watchdog.join();
    hold.release();
    EXPECT_TRUE(waited.empty()) << "waited for an engine queue: "
                                << ::testing::PrintToString(waited);
}

TEST_F(MainThreadTest, CallsAndMainQueueStartsAreTimedUnderABacklog) {
    // Seconds of work for the worker queue, logged from an app thread, and an upload the server
    // answers late.
    std::thread appThread([] {
        for (int i = 0; i < kBacklogEvents; ++i) {
            TRWAnalytics::logEventWithName("backlog", {{"i", i}, {"kind", "filler"}});
        }
    });
    appThread.join();
    service_->scheduler()->workerQueue()->async([service = service_] { service->uploadData(); });

    const auto calls = mainThreadCalls();

    // Each call runs as a main-queue block that posts the next one; a probe thread keeps one
    // block of its own in the queue at a time. Both record how long their block waited to start.
    std::vector<double> callMs, startMs;
    std::map<std::string, std::pair<int, double>> slowCalls;  // name: how many over, worst
    std::atomic<bool> done{false};
    std::function<void(std::size_t)> step;
    step = [&](std::size_t index) {
        if (index == calls.size() * kRounds) {
            done = true;
            platform::stopMainLoop();
            return;
        }
        const auto& [name, call] = calls[index % calls.size()];
        const auto begin = Clock::now();
        call();
        const double ms = millisSince(begin);
        callMs.push_back(ms);
        if (ms > kBoundMs) {
            auto& [count, worst] = slowCalls[name];
            ++count;
            worst = std::max(worst, ms);
        }
        const auto posted = Clock::now();
        platform::mainQueue().async([&, posted, index] {
            startMs.push_back(millisSince(posted));
            step(index + 1);
        });
    };
    std::vector<double> probeMs;
    // Outlives the probe: a block it posted just as the run ended may still run afterwards.
    platform::Semaphore started(0);
    std::thread probe([&] {
        while (!done) {
            const auto posted = Clock::now();
            platform::mainQueue().async([&, posted] {
                probeMs.push_back(millisSince(posted));
                started.signal();
            });
            started.wait();
        }
    });
    platform::mainQueue().async([&] { step(0); });
    platform::runMainLoop();
    // The main loop has stopped: a probe block posted meanwhile waits for the drain below, so
    // the probe is let go here instead of waiting for it.
    started.signal();
    probe.join();
    platform::runUntilIdle();

    // What the worker still had to do when the measurement ended: the calls ran under backlog.
    const auto drainBegin = Clock::now();
    service_->scheduler()->workerQueue()->sync([] {});
    const double backlogMs = millisSince(drainBegin);

    startMs.insert(startMs.end(), probeMs.begin(), probeMs.end());
    const auto callFigures = figuresOf(callMs);
    const auto startFigures = figuresOf(startMs);
    std::printf(
        "main thread: %zu calls, p50 %.3f ms, p99 %.3f ms, max %.3f ms; %zu main-queue blocks "
        "started after p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
        callMs.size(), callFigures.p50, callFigures.p99, callFigures.max, startMs.size(),
        startFigures.p50, startFigures.p99, startFigures.max);
    std::printf("  the worker queue still held %.0f ms of work at the end\n", backlogMs);
    for (const auto& [name, slow] : slowCalls) {
        std::printf("  %s: %d of %d calls over %.0f ms, the worst %.1f ms\n", name.c_str(),
                    slow.first, kRounds, kBoundMs, slow.second);
    }
    if (startFigures.max > kBoundMs) {
        std::printf("  main-queue blocks: the slowest started after more than %.0f ms\n", kBoundMs);
    }
}

}  // namespace
}  // namespace engine
