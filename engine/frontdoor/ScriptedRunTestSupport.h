#pragma once

// Test support (header only): the engine as the app runs it, driven step by step through the
// public interface and the app's life cycle, on a manual clock with seeded draws, with a TLS
// loopback server playing the measurement host. Every step and every request the host receives
// (uploads and configuration downloads) goes into a transcript (UploadTranscriptTestSupport.h).
//
// Steps run to completion: after each one every queue is idle and the host has answered. Time
// passes only through advance() (nothing may fall due meanwhile) and upload() (to the upload the
// engine has planned), so that every time in the transcript is the same on every run.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "engine/base/EngineTestSupport.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "engine/frontdoor/UploadTranscriptTestSupport.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/host/TRWApp.h"
#include "platform/security/Random.h"
#include "platform/ui/UIApplication.h"
#include "platform/utilities/WDLAppEnvironmentUtil.h"
#include "testkit/LoopbackServer.h"
#include "testkit/ManualClock.h"

namespace engine::testing {

inline constexpr char kScriptedAppID[] = "1:1001:ios:abc";
inline constexpr char kScriptedHost[] = "upload.measurement.test";
// 2024-03-01 09:00:00 UTC: on the hour, so that hour-rounded times read plainly.
inline constexpr double kScriptedStart = 1709283600;

// Draws for sampling: a fixed sequence (splitmix64 from a seed), so that a run keeps and drops
// the same events every time. The source is copied for every draw: the state is shared.
class SeededDraws {
  public:
    explicit SeededDraws(std::uint64_t seed)
        : state_(std::make_shared<std::atomic<std::uint64_t>>(seed)) {}
    std::uint32_t operator()(std::uint32_t bound) const {
        if (bound < 2) return 0;
        constexpr std::uint64_t kStep = 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state_->fetch_add(kStep) + kStep;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<std::uint32_t>(z % bound);
    }

  private:
    std::shared_ptr<std::atomic<std::uint64_t>> state_;
};

// Text of a parameter dictionary for the script lines: keys in order, strings quoted.
inline std::string dictionaryText(const platform::Dictionary& dictionary) {
    std::string text = "{";
    for (const auto& [key, value] : dictionary) {
        if (text.size() > 1) text += ", ";
        text += key + ": " +
                (value.isString() ? "\"" + *value.getString() + "\"" : value.description());
    }
    return text + "}";
}

// The app's delegate as far as the engine sees it: launching configures the host.
class ConfiguringDelegate : public platform::UIApplicationDelegate {
  public:
    bool application(platform::UIApplication&, const platform::Dictionary&) override {
        platform::TRWOptions options;
        options.nexoryAppID = kScriptedAppID;
        platform::TRWApp::configure(options);
        return true;
    }
};

class ScriptedAppRun : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        ASSERT_TRUE(server_.isRunning());
        platform::setRandomUniformSource(SeededDraws(42));
        platform::WDLAppEnvironmentUtil::setDeviceModel("Tessaline1,1");
        useLoopbackHost(server_, kScriptedHost);
        useMainBundle(dataRoot() / "bundle", {{"CFBundleIdentifier", "com.example.tessaline"},
                                              {"CFBundleShortVersionString", "2.4"},
                                              {"CFBundleVersion", "2.4.1"},
                                              {kKLVUploadHostInfoPlistKey, kScriptedHost},
                                              {kKLVConfigHostInfoPlistKey, kScriptedHost}});
        server_.answer("POST", "/a", {204, {}, "", 0, false});
        // The installation's day starts at midnight UTC (the offset is otherwise drawn anew).
        KLVPersistedConfig::sharedInstance()->setDouble(
            0, KLVPersistedConfigKey(kKLVMidnightOffsetKeyName));
    }

    void TearDown() override {
        service_.reset();
        EngineTest::TearDown();
    }

    // A configuration of this app with these settings and uploads a minute apart (not an hour),
    // so that a run need not cross the hourly engagement reports and configuration refreshes.
    static KLVPBMeasurementConfig config(SettingList settings, std::int64_t version = 1) {
        settings.insert(settings.begin(), {"measurement.upload.interval", "60000"});
        return makeConfig(kScriptedAppID, settings, version);
    }

    // Every configuration download from now on gets this configuration; a description puts the
    // change into the transcript.
    void serveConfig(const KLVPBMeasurementConfig& config, const std::string& description = {}) {
        if (!description.empty()) note("the host serves " + description);
        const auto bytes = config.protoBuffer();
        ASSERT_TRUE(bytes);
        server_.answerFromNowOn("GET", configPath(),
                                {200, {}, std::string(bytes->begin(), bytes->end()), 0, false});
    }
    static std::string configPath() { return std::string("/config/app/") + kScriptedAppID; }

    // The app launches and, as its delegate does while launching, configures the host (which
    // starts the engine); then it becomes active.
    //
    // The host's installation ID comes from a queue of its own and would race with the start's
    // first writes; that queue is held until the start has written its events, so the ID always
    // arrives just after them.
    void launch(const KLVPBMeasurementConfig& first) {
        serveConfig(first);
        holdExperimentFetch();
        platform::runUntilIdle();
        auto& installationQueue = platform::globalQueue(platform::QualityOfService::Utility);
        std::promise<void> started;
        installationQueue.async([held = started.get_future().share()] { held.wait(); });
        platform::UIApplication::shared().launch(std::make_shared<ConfiguringDelegate>());
        KLVAnalytics::waitForQueues();
        service_ = KLVMeasurement::sharedInstance();
        if (service_) settle();
        started.set_value();
        testkit::drain(installationQueue);
        ASSERT_TRUE(service_);
        settle();
        note("launch, configure, become active");
    }

    // Everything queued so far has been handled, the host's answers included.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            platform::runUntilIdle();
            KLVAnalytics::waitForQueues();
            service_->scheduler()->workerQueue()->sync([] {});
        }
        waitForNetworkIdle(*service_);
        platform::runUntilIdle();
        KLVAnalytics::waitForQueues();
        service_->scheduler()->workerQueue()->sync([] {});
        collect();
    }

    std::string clockText() const {
        return transcript_.millisText(
            static_cast<std::int64_t>(platform::Clock::current().now() * 1000));
    }

    void note(const std::string& line) { transcript_.note("[" + clockText() + "] " + line); }

    std::optional<double> plannedUpload() {
        std::optional<platform::Date> due;
        service_->scheduler()->workerQueue()->sync(
            [&] { due = service_->alarm()->scheduledTimestamp(); });
        if (!due) return std::nullopt;
        return due->secondsSince1970;
    }

    // Time passes with nothing planned in it: an upload falling due meanwhile would run while
    // the clock goes on moving (upload() lets it run first).
    void advance(double seconds) {
        note("clock advances " + std::to_string(static_cast<std::int64_t>(seconds)) + " s");
        const auto due = plannedUpload();
        ASSERT_FALSE(due && *due <= platform::Clock::current().now() + seconds)
            << "an upload falls due at "
            << transcript_.millisText(static_cast<std::int64_t>(*due * 1000))
            << " while the clock advances";
        clock_.advance(seconds);
        settle();
    }

    void logEvent(const std::string& name, const platform::Dictionary& parameters = {}) {
        note("logEventWithName " + name + " " + dictionaryText(parameters));
        TRWAnalytics::logEventWithName(name, parameters);
        settle();
    }
    void setConsent(const platform::Dictionary& consent) {
        note("setConsent " + dictionaryText(consent));
        TRWAnalytics::setConsent(consent);
        settle();
    }
    void setUserProperty(const platform::Object& value, const std::string& name) {
        note("setUserPropertyString " + name + " " + value.description());
        TRWAnalytics::setUserPropertyString(value, name);
        settle();
    }
    void setUserID(const platform::Object& userID) {
        note("setUserID " + userID.description());
        TRWAnalytics::setUserID(userID);
        settle();
    }
    void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters) {
        note("setDefaultEventParameters " + (parameters ? dictionaryText(*parameters) : "nil"));
        TRWAnalytics::setDefaultEventParameters(parameters);
        settle();
    }
    void resetAnalyticsData() {
        note("resetAnalyticsData");
        TRWAnalytics::resetAnalyticsData();
        settle();
    }
    void setSessionTimeoutInterval(double seconds) {
        note("setSessionTimeoutInterval " + std::to_string(static_cast<int>(seconds)));
        TRWAnalytics::setSessionTimeoutInterval(seconds);
        settle();
    }
    void resignActive() {
        note("app resigns active");
        platform::UIApplication::shared().resignActive();
        settle();
    }
    void enterBackground() {
        note("app enters the background");
        platform::UIApplication::shared().enterBackground();
        settle();
    }
    void becomeActive() {
        note("app becomes active");
        platform::UIApplication::shared().becomeActive();
        settle();
    }
    // The user leaves the app (what it stored goes out at once) and comes back a day later.
    void awayForADay() {
        resignActive();
        enterBackground();
        advance(86400);
        becomeActive();
    }

    // Lets the clock run to the upload the engine has planned; the host answers it and whatever
    // it chained.
    void upload() {
        const auto due = plannedUpload();
        ASSERT_TRUE(due) << "no upload is planned at " << clockText();
        const double wait = *due - platform::Clock::current().now();
        note("upload (planned in " + std::to_string(static_cast<std::int64_t>(std::ceil(wait))) +
             " s)");
        clock_.advance(wait > 0 ? wait : 0);
        settle();
    }

    // What the measurement host received: uploads and configuration downloads (the
    // experiments component's fetches have a run of their own).
    void collect() {
        for (const auto& request : server_.takeRequests()) {
            if (request.path == "/a" || request.path == configPath())
                transcript_.addRequest(request);
        }
    }

    testkit::ScopedManualClock clock_{kScriptedStart};
    testkit::LoopbackServer server_{{{kScriptedHost}}};
    std::shared_ptr<KLVMeasurement> service_;
    UploadTranscript transcript_{kScriptedStart};
};

}  // namespace engine::testing
