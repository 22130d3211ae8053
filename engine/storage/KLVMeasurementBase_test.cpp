#include "engine/storage/KLVMeasurementBase.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "engine/storage/EngineTestSupport.h"
#include "engine/storage/KLVRemoteConfig.h"

namespace engine {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A stand-in service with what the lower layers may ask of it.
class FakeService : public KLVMeasurementBase {
  public:
    explicit FakeService(std::shared_ptr<KLVRemoteConfig> settings)
        : settings_(std::move(settings)) {}

    bool isEnabled() const override { return true; }
    std::shared_ptr<KLVRemoteConfig> remoteConfigInstance() const override { return settings_; }

    static void create(std::shared_ptr<KLVMeasurementBase> service) {
        initializeSharedInstanceOnce([&] { return service; });
    }

  private:
    std::shared_ptr<KLVRemoteConfig> settings_;
};

constexpr char kNotCreatedLine[] =
    "com.nexory.tarnwell.analytics warning <Brackenfold>[I-ACS023147] Nexory Analytics for "
    "Tarnwell has not been created. Please, configure Tarnwell by calling [TRWApp configure]";

class KLVMeasurementBaseTest : public EngineTest {};

TEST_F(KLVMeasurementBaseTest, OneMonitorForTheProcess) {
    std::vector<KLVMonitor*> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) {
        threads.emplace_back([&slot] { slot = &KLVMeasurementBase::monitor(); });
    }
    for (auto& thread : threads)
        thread.join();
    for (auto* monitor : seen)
        EXPECT_EQ(monitor, &KLVMeasurementBase::monitor());
    EXPECT_EQ(KLVMeasurementBase::monitor().logLevel(), 6);
}

TEST_F(KLVMeasurementBaseTest, BeforeCreation) {
    EXPECT_FALSE(KLVMeasurementBase::hasSharedInstance());
    EXPECT_EQ(KLVMeasurementBase::remoteConfig(), KLVRemoteConfig::defaultInstance());
    EXPECT_EQ(KLVMeasurementBase::sharedInstance(), nullptr);
    EXPECT_THAT(logLines(), ElementsAre(kNotCreatedLine));
}

TEST_F(KLVMeasurementBaseTest, CreatedOnceWithItsSettings) {
    const auto settings = std::make_shared<KLVRemoteConfig>();
    const auto service = std::make_shared<FakeService>(settings);
    FakeService::create(service);
    FakeService::create(std::make_shared<FakeService>(nullptr));
    EXPECT_TRUE(KLVMeasurementBase::hasSharedInstance());
    EXPECT_EQ(KLVMeasurementBase::sharedInstance(), service);
    EXPECT_EQ(KLVMeasurementBase::remoteConfig(), settings);
    EXPECT_THAT(logLines(), IsEmpty());
}

TEST_F(KLVMeasurementBaseTest, ServiceWithoutSettingsYetAnswersTheDefaults) {
    FakeService::create(std::make_shared<FakeService>(nullptr));
    EXPECT_EQ(KLVMeasurementBase::remoteConfig(), KLVRemoteConfig::defaultInstance());
}

TEST_F(KLVMeasurementBaseTest, AFailedCreationIsNeverRetried) {
    FakeService::create(nullptr);
    FakeService::create(std::make_shared<FakeService>(nullptr));
    EXPECT_FALSE(KLVMeasurementBase::hasSharedInstance());
    EXPECT_EQ(KLVMeasurementBase::sharedInstance(), nullptr);
    // The creation was attempted: no hint about configuring the host.
    EXPECT_THAT(logLines(), IsEmpty());
}

}  // namespace
}  // namespace engine
