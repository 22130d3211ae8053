#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/UIApplication.h"

namespace engine {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Counts the upload and configuration steps the notifications lead to.
class AppStateMeasurement : public RecordingMeasurement {
  public:
    using RecordingMeasurement::RecordingMeasurement;
    void fetchRemoteConfig() override { ++configFetches; }
    void fetchSKANCV() override { ++conversionFetches; }
    void uploadData() override { ++uploads; }
    std::atomic<int> configFetches{0}, conversionFetches{0}, uploads{0};
};

class AppStateTest : public EngineTest {
  protected:
    void post(const char* name) {
        platform::NotificationCenter::defaultCenter().postNotificationName(name);
        service_->drain();
    }
    std::shared_ptr<AppStateMeasurement> service_;
};

TEST_F(AppStateTest, BackgroundTaskIsHeldOnceAndEndedInTheForeground) {
    ASSERT_TRUE(service_ = RecordingMeasurement::install<AppStateMeasurement>());
    auto& app = platform::UIApplication::shared();
    allowDebugLines();

    post(platform::UIApplicationWillEnterForegroundNotification);
    EXPECT_EQ(logCount(23142), 0u);  // nothing held yet

    post(platform::UIApplicationWillResignActiveNotification);
    const auto first = service_->backgroundUpdateTask();
    EXPECT_NE(first, kKLVInvalidBackgroundTask);
    post(platform::UIApplicationWillResignActiveNotification);
    EXPECT_NE(service_->backgroundUpdateTask(), first);
    EXPECT_EQ(logCount(23142), 1u);
    EXPECT_THAT(logLine(23142), HasSubstr(std::to_string(first)));
    EXPECT_THAT(app.runningBackgroundTaskNames(),
                ElementsAre("KLVAnalyticsMeasurementBackgroundTask"));
    EXPECT_EQ(service_->uploads.load(), 2);

    post(platform::UIApplicationWillEnterForegroundNotification);
    EXPECT_EQ(service_->backgroundUpdateTask(), kKLVInvalidBackgroundTask);
    EXPECT_THAT(app.runningBackgroundTaskNames(), IsEmpty());

    // Expiry ends a held task too.
    post(platform::UIApplicationWillResignActiveNotification);
    app.expireBackgroundTasks();
    platform::runUntilIdle();
    EXPECT_EQ(service_->backgroundUpdateTask(), kKLVInvalidBackgroundTask);
    EXPECT_THAT(app.runningBackgroundTaskNames(), IsEmpty());
}

TEST_F(AppStateTest, BecomingActiveAsksOnlyForAConversionValueAndNetworkWarningsAreMonitored) {
    ASSERT_TRUE(service_ = RecordingMeasurement::install<AppStateMeasurement>());
    post(platform::UIApplicationDidBecomeActiveNotification);
    EXPECT_EQ(service_->conversionFetches.load(), 1);
    EXPECT_EQ(service_->configFetches.load(), 0);

    // Errors and warnings of the network component also reach the health record.
    healthRecord();
    service_->WDLNetwork_logWithLevel(4, 99002, "monitored", {});
    EXPECT_THAT(healthRecord(), HasSubstr("monitored"));
}

}  // namespace
}  // namespace engine
