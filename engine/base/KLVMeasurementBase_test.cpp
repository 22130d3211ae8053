#include "engine/base/KLVMeasurementBase.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "engine/base/EngineTestSupport.h"

namespace engine {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A stand-in service with what the lower layers may ask of it.
class FakeService : public KLVMeasurementBase {
  public:
    bool isEnabled() const override { return true; }
    std::shared_ptr<KLVRemoteConfig> remoteConfigInstance() const override { return nullptr; }

    static void create(std::shared_ptr<KLVMeasurementBase> service) {
        initializeSharedInstanceOnce([&] { return service; });
    }
    static void createWith(const std::function<std::shared_ptr<KLVMeasurementBase>()>& make) {
        initializeSharedInstanceOnce(make);
    }
};

constexpr char kNotCreatedLine[] =
    "com.nexory.tarnwell.analytics warning <Brackenfold>[I-ACS023147] Nexory Analytics for "
    "Tarnwell has not been created. Please, configure Tarnwell by calling [TRWApp configure]";

class KLVMeasurementBaseTest : public EngineTest {};

TEST_F(KLVMeasurementBaseTest, BeforeCreation) {
    EXPECT_EQ(KLVMeasurementBase::currentInstance(), nullptr);
    EXPECT_THAT(logLines(), IsEmpty());
    EXPECT_EQ(KLVMeasurementBase::sharedInstance(), nullptr);
    EXPECT_THAT(logLines(), ElementsAre(kNotCreatedLine));
}

// The service is made outside every lock: its construction may ask for the service (and so for
// the settings) without deadlocking, and a nested creation returns instead of waiting for itself.
TEST_F(KLVMeasurementBaseTest, CreationMayAskForTheServiceAndNestsWithoutDeadlock) {
    const auto service = std::make_shared<FakeService>();
    bool nestedSawNothing = false;
    FakeService::createWith([&]() -> std::shared_ptr<KLVMeasurementBase> {
        FakeService::create(std::make_shared<FakeService>());
        nestedSawNothing = KLVMeasurementBase::currentInstance() == nullptr;
        return service;
    });
    EXPECT_TRUE(nestedSawNothing);
    EXPECT_EQ(KLVMeasurementBase::currentInstance(), service);
    EXPECT_THAT(logLines(), IsEmpty());
}

// A second creator waits for the first and then sees its service, never a half-made state.
TEST_F(KLVMeasurementBaseTest, ConcurrentCreatorsAgreeOnOneService) {
    std::vector<std::thread> threads;
    std::vector<std::shared_ptr<KLVMeasurementBase>> seen(8);
    std::atomic<int> made{0};
    for (auto& slot : seen) {
        threads.emplace_back([&slot, &made] {
            FakeService::createWith([&made] {
                ++made;
                return std::make_shared<FakeService>();
            });
            slot = KLVMeasurementBase::currentInstance();
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(made.load(), 1);
    for (const auto& service : seen)
        EXPECT_EQ(service, KLVMeasurementBase::currentInstance());
}

TEST_F(KLVMeasurementBaseTest, AFailedCreationIsNeverRetried) {
    FakeService::create(nullptr);
    FakeService::create(std::make_shared<FakeService>());
    EXPECT_FALSE(KLVMeasurementBase::hasSharedInstance());
    EXPECT_EQ(KLVMeasurementBase::sharedInstance(), nullptr);
    // The creation was attempted: no hint about configuring the host.
    EXPECT_THAT(logLines(), IsEmpty());
}

}  // namespace
}  // namespace engine
