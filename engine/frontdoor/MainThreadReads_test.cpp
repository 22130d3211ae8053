// What the main thread asks of the engine is answered from values the engine's queues keep
// current, never by waiting for those queues: a queue kept busy (here: held) delays no answer.
// A change the caller has just made is still seen at once.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>

#include "engine/base/EngineTestSupport.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Semaphore.h"

namespace engine {
namespace {

constexpr auto kGuard = std::chrono::seconds(30);  // only reached when a call waits

class MainThreadReadsTest : public EngineTest {
  protected:
    // Keeps `queue` busy until release() (or the end of the test).
    void hold(platform::DispatchQueue& queue) {
        auto started = std::make_shared<platform::Semaphore>();
        queue.async([started, release = release_] {
            started->signal();
            release->wait();
        });
        started->wait();
        ++held_;
    }
    void release() {
        for (; held_ > 0; --held_)
            release_->signal();
    }
    void TearDown() override {
        release();
        EngineTest::TearDown();
    }

    std::shared_ptr<platform::Semaphore> release_ = std::make_shared<platform::Semaphore>();
    int held_ = 0;
};

TEST_F(MainThreadReadsTest, TheAppInstanceIDIsAnsweredWhileTheQueuesAreBusy) {
    const auto identity = KLVIdentity::sharedInstance();
    ASSERT_TRUE(identity);
    const auto stored = KLVPersistedConfig::sharedInstance()->appInstanceID();
    ASSERT_TRUE(stored);
    // The identity queue refreshes for every stored event, the consent queue answers the
    // worker's reads.
    hold(identity->queue());
    hold(KLVConsentSettingsUtil::serialQueue());

    auto answer = std::async(std::launch::async, [] { return TRWAnalytics::appInstanceID(); });
    const auto status = answer.wait_for(kGuard);
    release();
    ASSERT_EQ(status, std::future_status::ready) << "it waited for a queue";
    EXPECT_EQ(answer.get(), stored);
}

TEST_F(MainThreadReadsTest, AChangeJustMadeIsSeenAtOnce) {
    const auto identity = KLVIdentity::sharedInstance();
    ASSERT_TRUE(identity);
    // Queued behind a busy queue, then asked for: the answer waits for the change.
    hold(identity->queue());
    identity->setAppInstanceID("SETNOW");
    auto answer = std::async(std::launch::async,
                             [identity] { return identity->appInstanceIDWithoutWaiting(); });
    release();
    ASSERT_EQ(answer.wait_for(kGuard), std::future_status::ready);
    EXPECT_EQ(answer.get(), "SETNOW");

    KLVConsentSettingsUtil::setConsentSettings(
        platform::Dictionary{{"analytics_storage", "denied"}});
    EXPECT_TRUE(KLVConsentSettingsUtil::appliedAnalyticsStorageDenied());
    EXPECT_EQ(TRWAnalytics::appInstanceID(), std::nullopt);
    KLVConsentSettingsUtil::setConsentSettings(
        platform::Dictionary{{"analytics_storage", "granted"}});
    EXPECT_FALSE(KLVConsentSettingsUtil::appliedAnalyticsStorageDenied());
    EXPECT_EQ(TRWAnalytics::appInstanceID(), "SETNOW");
}

}  // namespace
}  // namespace engine
