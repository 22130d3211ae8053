#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/SettingsTestSupport.h"

namespace engine {
namespace {

constexpr char kAdvertisingID[] = "6D92078A-8246-4BA4-AE5B-76104861E7DC";

// The tracking gate as the whole metadata record of a stored event sees it: the identity's
// answers under a platform that has an advertising identifier, the gate from the settings.
class MetadataGateTest : public LiveServiceTest {
  protected:
    void SetUp() override {
        LiveServiceTest::SetUp();
        provider_->advertisingID = kAdvertisingID;
        KLVDefaultIdentitySupport::setPlatformIdentitySupport(provider_);
        waitForAdvertisingIdentifier(kAdvertisingID);
        startService();
    }
    void TearDown() override {
        KLVDefaultIdentitySupport::setPlatformIdentitySupport(nullptr);
        LiveServiceTest::TearDown();
    }

    std::shared_ptr<testing::FakeProvider> provider_ = std::make_shared<testing::FakeProvider>();
};

TEST_F(MetadataGateTest, GateKeepsTheAdvertisingIDUnlessTrackingIsAuthorized) {
    using B = KLVPBMeasurementBundle;
    struct Case {
        const char* gate;
        std::int64_t status;
        bool advertisingID;
    };
    const Case cases[] = {
        {"1", 2, false},  // denied behind the gate: not used
        {"1", 3, true},   // authorised: the gate stays open
        {"0", 2, true},   // no gate
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.gate) + " " + std::to_string(c.status));
        provider_->locked([&] { provider_->status = c.status; });
        clock_.advance(1);  // past the identity's cache
        service_->identity()->updateIdentifiersAndWait();
        configure({{"measurement.attmas_gate", c.gate}});
        std::optional<KLVPBMeasurementBundle> record;
        onWorker(
            [&](KLVMeasurement& s) { record = s.createRawEventMetadataWithUserAttributes({}); });
        ASSERT_TRUE(record);
        EXPECT_EQ(NANOGetString(*record, B::resettable_device_id),
                  c.advertisingID ? std::optional<std::string>(kAdvertisingID) : std::nullopt);
        EXPECT_EQ(NANOGetInt32(*record, B::tracking_authorization_status), c.status);
        EXPECT_TRUE(NANOGetArray<KLVPBUserAttribute>(*record, B::user_attributes)
                        .value_or(std::vector<KLVPBUserAttribute>{})
                        .empty());
        EXPECT_TRUE(NANOHasField(*record, B::app_instance_id));
    }
}

}  // namespace
}  // namespace engine
