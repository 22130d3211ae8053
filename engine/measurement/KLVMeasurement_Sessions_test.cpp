#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/measurement/KLVSessionReporter.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/UIApplication.h"

namespace engine {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A recording service (its start reports no first open, so no session has begun) on a real
// database under the manual clock.
class SessionServiceTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        service_ = RecordingMeasurement::install();
        ASSERT_TRUE(service_ && service_->database());
    }
    template <typename F>
    void onWorker(F f) {
        service_->scheduler()->workerQueue()->sync([&] { f(*service_); });
    }
    // The stored "_s" events as "sid/sno/aib" (aib -1 when absent).
    std::vector<std::string> sessionStarts() {
        std::vector<std::string> out;
        for (const auto& raw : storedRawEvents(*service_)) {
            if (raw.rawEvent().name() != "_s") continue;
            const auto& p = raw.rawEvent().parameters();
            const auto aib = p.find("_aib");
            out.push_back(std::to_string(p.at("_sid").int64Value()) + "/" +
                          std::to_string(p.at("_sno").int64Value()) + "/" +
                          std::to_string(aib == p.end() ? -1 : aib->second.int64Value()));
        }
        return out;
    }
    std::string sid() { return std::to_string(static_cast<std::int64_t>(clock_->now())); }

    testkit::ScopedManualClock clock_;
    std::shared_ptr<RecordingMeasurement> service_;
};

TEST_F(SessionServiceTest, WorkerQueueStartsASessionOnlyOnceExpired) {
    const auto reporter = service_->sessionReporter();
    ASSERT_TRUE(reporter);
    EXPECT_TRUE(reporter->isReportingEnabled());
    const double now = clock_->now();
    onWorker([&](KLVMeasurement& s) { s.reportSessionStartOnWorkerQueueWithTimestamp(now, true); });
    EXPECT_THAT(service_->calls(), ElementsAre("set auto _sid=" + sid(), "set auto _sno=1"));
    EXPECT_THAT(sessionStarts(), ElementsAre(sid() + "/1/1"));

    // Open: nothing. A timeout of 0 through the public call expires it.
    clock_.advance(10);
    onWorker(
        [&](KLVMeasurement& s) { s.reportSessionStartOnWorkerQueueWithTimestamp(now, false); });
    EXPECT_EQ(sessionStarts().size(), 1u);
    EXPECT_FALSE(service_->isSessionExpired());
    service_->setSessionTimeoutInterval(0);
    service_->drain();
    EXPECT_TRUE(service_->isSessionExpired());

    service_->setEnabled(false);
    service_->drain();
    EXPECT_FALSE(reporter->isReportingEnabled());
}

TEST_F(SessionServiceTest, FirstSceneStartsTheSessionOfAPrewarmedLaunch) {
    onWorker([](KLVMeasurement& s) { s.reportSessionStartWhenSceneWillConnectOnWorkerQueue(); });
    EXPECT_THAT(sessionStarts(), IsEmpty());
    for (int i = 0; i < 2; ++i) {
        platform::NotificationCenter::defaultCenter().postNotificationName(
            platform::UISceneWillConnectNotification);
    }
    service_->drain();
    EXPECT_THAT(sessionStarts(),
                ElementsAre(std::to_string(static_cast<std::int64_t>(service_->initTimestamp())) +
                            "/1/-1"));
}

TEST_F(SessionServiceTest, BackfillTakesTheLifetimeCountOfSessionStarts) {
    const auto persisted = KLVPersistedConfig::sharedInstance();
    onWorker([](KLVMeasurement& s) {
        ASSERT_TRUE(s.database()->updateEventAggregates(
            *KLVEventAggregates::initWithName("_s", 5, 0, 0, 1.0)));
    });
    persisted->setSessionNumber(3);
    onWorker([](KLVMeasurement& s) { s.backfillSessionNumber(); });
    EXPECT_EQ(persisted->sessionNumber(), 3);
    persisted->setSessionNumber(0);
    onWorker([](KLVMeasurement& s) { s.backfillSessionNumber(); });
    EXPECT_EQ(persisted->sessionNumber(), 5);
}

TEST_F(SessionServiceTest, WipeGivesAFreshReporterThatFollowsTheService) {
    const auto before = service_->sessionReporter();
    onWorker([](KLVMeasurement& s) { ASSERT_TRUE(s.wipeoutAnalyticsDataAndResetComponents()); });
    const auto after = service_->sessionReporter();
    ASSERT_TRUE(after);
    EXPECT_NE(after, before);
    EXPECT_TRUE(after->isReportingEnabled());
}

TEST_F(SessionServiceTest, RegionalDefaultsFollowTheirSwitch) {
    KLVConsentSettingsUtil::setRegionalDefaults(platform::Dictionary{{"ad_storage", "denied"}});
    onWorker([](KLVMeasurement& s) {
        ASSERT_TRUE(s.remoteConfigInstance()->updateMeasurementConfig(
            testing::makeConfig(s.appID(), {{"measurement.regional_defaults_enabled", "0"}})));
        s.updateConsentSettingsUtilWithRemoteConfig();
    });
    EXPECT_EQ(KLVConsentSettingsUtil::regionalDefaults(), std::nullopt);
}

}  // namespace
}  // namespace engine
