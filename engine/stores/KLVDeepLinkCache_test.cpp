#include "engine/stores/KLVDeepLinkCache.h"

#include <gtest/gtest.h>

#include <limits>

#include "engine/stores/KLVUserDefaults.h"
#include "testkit/ManualClock.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

struct Settings {
    double attributionCacheTTLInterval() const { return ttl; }
    double ttl = 5;
};

class KLVDeepLinkCacheTest : public testkit::TempHomeTest {
  protected:
    testkit::ScopedManualClock clock_;
};

TEST_F(KLVDeepLinkCacheTest, ExpiresAfterItsTimeToLiveEitherWay) {
    auto& defaults = KLVUserDefaults::sharedUserDefaults();
    EXPECT_FALSE(KLVIsStoredDeepLinkExpired(defaults, 5));  // nothing stored
    KLVStoreDeepLink(defaults, "tessaline://open?x=1");
    EXPECT_EQ(defaults.stringForKey(kKLVDeepLinkKey), "tessaline://open?x=1");
    EXPECT_EQ(defaults.doubleForKey(kKLVDeepLinkTimestampKey), clock_->now());
    clock_.advance(5);
    EXPECT_FALSE(KLVIsStoredDeepLinkExpired(defaults, 5));
    EXPECT_FALSE(KLVClearExpiredStoredDeepLink(Settings{}));
    clock_.advance(5);
    EXPECT_TRUE(KLVIsStoredDeepLinkExpired(defaults, 5));
    clock_->setNow(clock_->now() - 20);  // the device's time moved back: stored time lies ahead
    EXPECT_TRUE(KLVIsStoredDeepLinkExpired(defaults, 5));
    EXPECT_TRUE(KLVClearExpiredStoredDeepLink(Settings{}));
    EXPECT_TRUE(defaults.objectForKey(kKLVDeepLinkKey).isNull());
    EXPECT_TRUE(defaults.objectForKey(kKLVDeepLinkTimestampKey).isNull());
}

TEST(KLVStartOfPreviousHourMillisTest, TruncatesThenStepsBackAnHour) {
    EXPECT_EQ(KLVStartOfPreviousHourMillis(1'700'000'000'000), 1'699'995'600'000);
    EXPECT_EQ(KLVStartOfPreviousHourMillis(0), -3'600'000);
    EXPECT_EQ(KLVStartOfPreviousHourMillis(-1), -3'600'000);
    EXPECT_EQ(KLVStartOfPreviousHourMillis(std::numeric_limits<std::int64_t>::min()),
              std::numeric_limits<std::int64_t>::min());
}

}  // namespace
}  // namespace engine
