#include "engine/environment/KLVDefaultIdentitySupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
    EXPECT_EQ(support.appDataConsentStatus(), -1);
    EXPECT_TRUE(support.limitedAdTracking());
    EXPECT_EQ(support.resettableDeviceID(), std::nullopt);

    EXPECT_EQ(KLVDefaultIdentitySupport::sharedInstance()->appDataConsentStatus(), -1);
    EXPECT_THAT(logLines(), ::testing::Contains(::testing::HasSubstr(
                                "[I-ACS044003] NexoryBrackenfoldIdentitySupport dependency is not "
                                "currently linked. IDFA will not be accessible.")));
}

// A provider that has not answered yet is not waited for (the answer is kept for a later call, but
// when it lands is up to the scheduler, so that is left untested).
TEST_F(KLVDefaultIdentitySupportTest, ALateAnswerIsNotWaitedFor) {
    const auto provider = std::make_shared<SlowProvider>();
    KLVDefaultIdentitySupport support(provider, 0);
    EXPECT_EQ(support.resettableDeviceID(), std::nullopt);
    EXPECT_TRUE(support.limitedAdTracking());
    provider->release.signal();  // lets the one request in flight finish before destruction
}

}  // namespace
}  // namespace engine
