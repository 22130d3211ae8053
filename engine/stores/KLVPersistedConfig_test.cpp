#include "engine/stores/KLVPersistedConfig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "engine/base/EngineTestSupport.h"
#include "engine/stores/KLVFileLocations.h"
#include "engine/stores/KLVUserDefaults.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "testkit/ManualClock.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using platform::Object;

class KLVPersistedConfigTest : public testkit::TempHomeTest {
  protected:
    static std::shared_ptr<KLVPersistedConfig> open() {
        return KLVPersistedConfig::initWithSuiteName(kKLVPersistedConfigName);
    }
    static fs::path filePath() { return KLVMeasurementPlistPath(kKLVPersistedConfigName); }
    static Object onDisk() { return platform::readPropertyListFile(filePath()).value_or(Object()); }

    testkit::ScopedManualClock clock_;
    LogCapture log_;
};

TEST_F(KLVPersistedConfigTest, MissingOrWronglyTypedValuesReadNeutral) {
    auto config = open();
    config->setString("12", KLVPersistedConfigKey("session_number"));
    config->setInt64(5, KLVPersistedConfigKey("app_instance_id"));
    config->setDouble(std::nan(""), KLVPersistedConfigKey("search_ad_number_of_retries"));
    EXPECT_EQ(config->sessionNumber(), 0);
    EXPECT_EQ(config->appInstanceID(), std::nullopt);
    EXPECT_EQ(config->searchAdRetryCount(), 0);
    EXPECT_EQ(config->int64ForKey(""), 0);
    EXPECT_FALSE(KLVPersistedConfig::initWithSuiteName(""));
}

TEST_F(KLVPersistedConfigTest, SetterRules) {
    auto config = open();
    config->setSearchAdCampaignValue("yes");
    EXPECT_TRUE(config->searchAdCampaignValue().isNull());

    config->setAppInstanceID("ABC");
    config->setAppInstanceID(std::nullopt);
    EXPECT_EQ(config->appInstanceID(), std::nullopt);

    config->setInt64(5, KLVPersistedConfigKey("set_last_advertising_id_reset"));
    EXPECT_TRUE(config->shouldSetLastAdvertisingIDResetUserProperty());

    config->setDefaultEventParameters(platform::Dictionary{{"bad", Object::array({nullptr})}});
    EXPECT_EQ(config->defaultEventParameters(), std::nullopt);
    EXPECT_EQ(log_.count(27002), 1u);
}

TEST_F(KLVPersistedConfigTest, ChangeReachesTheFileAfterOneSecondOrAtSynchronize) {
    auto config = open();
    config->setSessionNumber(4);
    clock_.advance(0.9);
    EXPECT_TRUE(onDisk().isNull());
    clock_.advance(0.1);
    EXPECT_EQ(onDisk()[KLVPersistedConfigKey("session_number")], Object(4));

    config->setSessionNumber(5);
    config->synchronizeToDisk();
    EXPECT_EQ(onDisk()[KLVPersistedConfigKey("session_number")], Object(5));
    EXPECT_EQ(clock_->pendingTimerCount(), 0u);
}

TEST_F(KLVPersistedConfigTest, BackgroundSynchronizeWritesOffTheCallerAndCancelsTheDelayedWrite) {
    auto config = open();
    config->setSessionNumber(6);
    EXPECT_GT(clock_->pendingTimerCount(), 0u);
    platform::Semaphore written(0);
    config->synchronizeToDiskInBackground([&] { written.signal(); });
    written.wait();
    EXPECT_EQ(onDisk()[KLVPersistedConfigKey("session_number")], Object(6));
    EXPECT_EQ(clock_->pendingTimerCount(), 0u);
    // A store already gone writes nothing and still reports back.
    std::weak_ptr<KLVPersistedConfig> weak = config;
    platform::Semaphore done(0);
    config->synchronizeToDiskInBackground([&] { done.signal(); });
    config.reset();
    done.wait();
    EXPECT_TRUE(weak.expired());
}

TEST_F(KLVPersistedConfigTest, MeasurementSwitchIsOnDiskAtOnce) {
    auto config = open();
    config->setMeasurementEnabledState(2);
    EXPECT_EQ(config->measurementEnabledState(), 2);
    const fs::path standard =
        platform::preferencesDirectory() / (platform::UserDefaults::standardSuiteName() + ".plist");
    EXPECT_EQ(platform::readPropertyListFile(standard).value_or(
                  Object())[KLVPersistedConfigKey("measurement_enabled_state")],
              Object(2));
    EXPECT_TRUE(onDisk().isNull());  // not in the persisted configuration's own file

    config->clearValues();
    EXPECT_EQ(config->measurementEnabledState(), 2);
}

TEST_F(KLVPersistedConfigTest, MidnightOffsetIsDrawnOnceAndSurvivesReloads) {
    double first = 0;
    {
        auto config = open();
        first = config->midnightOffset();
        EXPECT_GE(first, 0.0);
        EXPECT_LT(first, 86400.0);
        // Whole milliseconds, divided by 1000: times 1000 it is whole again only up to rounding
        // (about one draw in sixty, e.g. 1.001 * 1000, is a hair off).
        EXPECT_NEAR(first * 1000, std::round(first * 1000), 1e-6);
        EXPECT_EQ(config->midnightOffset(), first);
    }
    EXPECT_EQ(open()->midnightOffset(), first);
}

TEST_F(KLVPersistedConfigTest, WithoutAStoreTheMidnightOffsetStaysForTheRun) {
    std::ofstream(platform::applicationSupportDirectory() / "Nexory") << "blocks the directory";
    auto config = open();
    ASSERT_TRUE(config);
    const double offset = config->midnightOffset();
    EXPECT_EQ(config->midnightOffset(), offset);
    config->setSessionNumber(3);  // dropped
    EXPECT_EQ(config->sessionNumber(), 0);
}

}  // namespace
}  // namespace engine
