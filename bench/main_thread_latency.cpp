// The app's main thread never waits for the engine: with seconds of events queued for the worker
// and the server holding its answers, every public call, screen hook and app-state notification
// made on the main thread returns quickly, and blocks posted to the main queue start quickly.
// Prints p50, p99 and max of both; the bound holds for the maximum. No call waits for a queue
// the worker keeps busy (the values the main thread needs are read from what the queues keep
// current), so only the machine's own scheduling is left to reach it; scripts/soak allows three
// runs for a burst of other load.

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

#include "engine/frontdoor/LoopbackServiceTestSupport.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "engine/measurement/KLVMeasurement.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/ui/UIApplication.h"
#include "platform/ui/UIViewController.h"
#include "platform/ui/UIWindow.h"

namespace engine {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBoundMs = 10;
constexpr int kBacklogEvents = 15000;
constexpr int kRounds = 40;
constexpr double kServerDelaySeconds = 2;

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

TEST_F(MainThreadTest, CallsAndMainQueueBlocksNeverWaitForTheEngine) {
    // Seconds of work for the worker queue, logged from an app thread, and an upload the server
    // answers late.
    std::thread appThread([] {
        for (int i = 0; i < kBacklogEvents; ++i) {
            TRWAnalytics::logEventWithName("backlog", {{"i", i}, {"kind", "filler"}});
        }
    });
    appThread.join();
    service_->scheduler()->workerQueue()->async([service = service_] { service->uploadData(); });

    const auto window = std::make_shared<platform::UIWindow>();
    const auto home = std::make_shared<HomeController>();
    auto& app = platform::UIApplication::shared();
    const std::vector<std::pair<std::string, std::function<void()>>> calls = {
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
         [&] {
             window->setRootViewController(home);
             window->makeKeyAndVisible();
         }},
        {"screen: present", [&] { home->present(std::make_shared<DetailController>(), false); }},
        {"screen: dismiss",
         [&] {
             if (const auto shown = home->presentedViewController()) shown->dismiss(false);
         }},
        {"notification: will resign active", [&] { app.resignActive(); }},
        {"notification: did enter background", [&] { app.enterBackground(); }},
        {"notification: did become active", [&] { app.becomeActive(); }},
    };

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
    EXPECT_LT(callFigures.max, kBoundMs);
    EXPECT_LT(startFigures.max, kBoundMs);
}

}  // namespace
}  // namespace engine
