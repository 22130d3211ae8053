#pragma once

// The engine as the app starts it (the host app configured, the measurement service running),
// its measurement and configuration host played by a TLS loopback server that serves one
// configuration and takes every upload with 204, each answer held for a set real time.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/base/EngineTestSupport.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/settings/SettingsTestSupport.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/host/TRWApp.h"
#include "platform/ui/UIApplication.h"
#include "testkit/LoopbackServer.h"

namespace engine {

class LoopbackServiceFixture : public EngineTest {
  protected:
    static constexpr char kAppID[] = "1:1001:ios:abc";
    static constexpr char kHost[] = "upload.measurement.test";

    // Before the start (under the caller's clock): the served settings and how long the server
    // holds each answer. The experiments fetch is held off.
    void startService(const testing::SettingList& settings, double answerDelaySeconds) {
        ASSERT_TRUE(server_.isRunning());
        useLoopbackMeasurementHost(server_, kHost, dataRoot() / "bundle");
        const auto bytes = testing::makeConfig(kAppID, settings).protoBuffer();
        ASSERT_TRUE(bytes);
        server_.answer(
            "GET", std::string("/config/app/") + kAppID,
            {200, {}, std::string(bytes->begin(), bytes->end()), answerDelaySeconds, false});
        server_.answer("POST", "/a", {204, {}, "", answerDelaySeconds, false});
        holdExperimentFetch();
        platform::TRWOptions options;
        options.nexoryAppID = kAppID;
        platform::TRWApp::configure(options);
        KLVAnalytics::waitForQueues();
        service_ = KLVMeasurement::sharedInstance();
        ASSERT_TRUE(service_);
        drain();
        ASSERT_TRUE(service_->database());
    }

    // The same once the app has launched, with this thread as the main thread.
    void launchAppAndStartService(const testing::SettingList& settings, double answerDelaySeconds) {
        platform::runUntilIdle();
        platform::UIApplication::shared().launch(nullptr);
        startService(settings, answerDelaySeconds);
    }

    // Every event logged so far has reached the worker queue and been handled there.
    void drain() {
        KLVAnalytics::waitForQueues();
        service_->scheduler()->workerQueue()->sync([] {});
    }

    testkit::LoopbackServer server_{{{kHost}}};
    std::shared_ptr<KLVMeasurement> service_;
};

}  // namespace engine
