#include "engine/measurement/KLVMeasurement.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "engine/settings/KLVRemoteConfig.h"

namespace engine {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class KLVMeasurementTest : public EngineTest {};

TEST_F(KLVMeasurementTest, ClassFunctionsAreTheLowerLayersOwn) {
    EXPECT_EQ(&KLVMeasurement::monitor(), &KLVMeasurementBase::monitor());
    EXPECT_EQ(KLVMeasurement::remoteConfig(), KLVRemoteConfig::defaultInstance());
    EXPECT_FALSE(KLVMeasurement::hasSharedInstance());
}

TEST_F(KLVMeasurementTest, EmptyAppIDCreatesNothingForGood) {
    KLVMeasurement::initializeSharedInstanceWithAppID("", true, false, std::nullopt);
    KLVMeasurement::initializeSharedInstanceWithAppID("1:1:ios:1", true, false, std::nullopt);
    EXPECT_FALSE(KLVMeasurement::hasSharedInstance());
    EXPECT_EQ(KLVMeasurement::sharedInstance(), nullptr);
    EXPECT_EQ(KLVMeasurement::remoteConfig(), KLVRemoteConfig::defaultInstance());
    EXPECT_THAT(logLines(), IsEmpty());
}

TEST_F(KLVMeasurementTest, CreatedOnceWithItsValues) {
    KLVMeasurement::initializeSharedInstanceWithAppID("1:1:ios:1", false, true,
                                                      std::vector<std::string>{"_cmp"});
    KLVMeasurement::initializeSharedInstanceWithAppID("1:2:ios:2", true, false, std::nullopt);
    ASSERT_TRUE(KLVMeasurement::hasSharedInstance());
    const auto service = KLVMeasurement::sharedInstance();
    ASSERT_TRUE(service);
    EXPECT_EQ(service->appID(), "1:1:ios:1");
    EXPECT_FALSE(service->isAnalyticsCollectionEnabled());
    EXPECT_TRUE(service->isAnalyticsCollectionDeactivated());
    EXPECT_THAT(*service->safelistedEvents(), ElementsAre("_cmp"));
    // No settings before the service's start: the defaults answer.
    EXPECT_EQ(KLVMeasurement::remoteConfig(), KLVRemoteConfig::defaultInstance());
}

}  // namespace
}  // namespace engine
