#include "engine/environment/KLVDefaultIdentitySupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/base/EngineTestSupport.h"
#include "platform/dispatch/Semaphore.h"

namespace engine {
namespace {

// A provider whose advertising identifier arrives only when the test lets it.
class SlowProvider : public KLVIdentitySupport {
  public:
    bool hasAppDataConsentStatus() override { return true; }
    std::int64_t appDataConsentStatus() override { return 2; }
    bool hasLimitedAdTracking() override { return true; }
    bool limitedAdTracking() override { return false; }
    std::optional<std::string> resettableDeviceID() override {
        release.wait();
        return "AAAAAAAA-0000-0000-0000-000000000001";
    }

    platform::Semaphore release;
};

class KLVDefaultIdentitySupportTest : public EngineTest {};

TEST_F(KLVDefaultIdentitySupportTest, WithoutAProvider) {
    KLVDefaultIdentitySupport support(nullptr);
    EXPECT_FALSE(support.hasAppDataConsentStatus());
    EXPECT_EQ(support.appDataConsentStatus(), -1);
    EXPECT_FALSE(support.hasLimitedAdTracking());
    EXPECT_TRUE(support.limitedAdTracking());
    EXPECT_EQ(support.resettableDeviceID(), std::nullopt);

    EXPECT_EQ(KLVDefaultIdentitySupport::sharedInstance()->appDataConsentStatus(), -1);
    EXPECT_THAT(logLines(), ::testing::Contains(::testing::HasSubstr(
                                "[I-ACS044003] NexoryBrackenfoldIdentitySupport dependency is not "
                                "currently linked. IDFA will not be accessible.")));
}

TEST_F(KLVDefaultIdentitySupportTest, ALateAnswerIsNotWaitedFor) {
    const auto provider = std::make_shared<SlowProvider>();
    KLVDefaultIdentitySupport support(provider, 0);
    EXPECT_EQ(support.resettableDeviceID(), std::nullopt);
    EXPECT_TRUE(support.limitedAdTracking());
    provider->release.signal();
    provider->release.signal();
    provider->release.signal();

    // The late answer is kept for a later call.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::optional<std::string> answer;
    while (!answer && std::chrono::steady_clock::now() < deadline) {
        answer = support.resettableDeviceID();
        std::this_thread::yield();
    }
    EXPECT_EQ(answer, "AAAAAAAA-0000-0000-0000-000000000001");
    EXPECT_FALSE(support.limitedAdTracking());
    for (int i = 0; i < 8; ++i)
        provider->release.signal();  // let any queued request finish
}

TEST_F(KLVDefaultIdentitySupportTest, SharedInstanceUsesTheRegisteredProvider) {
    const auto provider = std::make_shared<SlowProvider>();
    KLVDefaultIdentitySupport::setPlatformIdentitySupport(provider);
    EXPECT_EQ(KLVDefaultIdentitySupport::sharedInstance()->appDataConsentStatus(), 2);
    EXPECT_TRUE(KLVDefaultIdentitySupport::sharedInstance()->hasLimitedAdTracking());
}

}  // namespace
}  // namespace engine
