#include "engine/identity/KLVIdentifiers.h"

#include <gtest/gtest.h>

#include <charconv>

#include "engine/base/EngineTestSupport.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "engine/settings/SettingsTestSupport.h"

namespace engine {
namespace {

using testing::FakeMeasurementService;

std::int64_t number(const std::string& text) {
    std::int64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

class KLVIdentifiersTest : public EngineTest {
  protected:
    void useServicePlist(const platform::Dictionary& values) {
        const auto folder = dataRoot() / "bundle";
        testing::useMainBundle(folder, {});
        platform::writePropertyListFile(folder / "NexoryService-Info.plist", values,
                                        platform::PropertyListFormat::XML);
    }
};

TEST_F(KLVIdentifiersTest, AppIDsOfTheSharedIdentity) {
    useServicePlist({{"NEXORY_APP_ID", "1:plist"}, {"VINTU_APP_ID", "v:plist"}});
    auto& identifiers = KLVIdentifiers::sharedInstance();
    EXPECT_EQ(identifiers.nexoryAppID(), "1:plist");
    EXPECT_EQ(identifiers.analyticsAppID(), "1:plist");
    EXPECT_EQ(identifiers.appInstanceID(), KLVPersistedConfig::sharedInstance()->appInstanceID());
}

TEST_F(KLVIdentifiersTest, VintuAppIDStandsInForAnEmptyNexoryAppID) {
    useServicePlist({{"NEXORY_APP_ID", ""}, {"VINTU_APP_ID", "v:plist"}});
    auto& identifiers = KLVIdentifiers::sharedInstance();
    EXPECT_EQ(identifiers.nexoryAppID(), std::nullopt);
    EXPECT_EQ(identifiers.analyticsAppID(), "v:plist");
}

TEST_F(KLVIdentifiersTest, NothingWithoutAppIDs) {
    auto& identifiers = KLVIdentifiers::sharedInstance();
    EXPECT_EQ(identifiers.nexoryAppID(), std::nullopt);
    EXPECT_EQ(identifiers.analyticsAppID(), std::nullopt);
}

TEST_F(KLVIdentifiersTest, TheServiceIdentityComesFirst) {
    useServicePlist({{"NEXORY_APP_ID", "1:plist"}});
    const auto identity = KLVIdentity::initWithPersistedConfig(
        KLVPersistedConfig::sharedInstance(), std::make_shared<KLVDefaultIdentitySupport>(nullptr));
    identity->setAppIDFromZKT("1:service");
    FakeMeasurementService::install(
        std::make_shared<FakeMeasurementService>(std::make_shared<KLVRemoteConfig>(), identity));
    EXPECT_EQ(KLVIdentifiers::sharedInstance().nexoryAppID(), "1:service");
}

TEST_F(KLVIdentifiersTest, AdEventIDsCountUp) {
    auto& identifiers = KLVIdentifiers::sharedInstance();
    const auto first = number(identifiers.adEventID());
    const auto second = number(identifiers.adEventID());
    EXPECT_EQ(static_cast<std::uint64_t>(second), static_cast<std::uint64_t>(first) + 1);
    EXPECT_EQ(identifiers.libraryVersion(), "110100");
}

TEST_F(KLVIdentifiersTest, Origin) {
    auto& identifiers = KLVIdentifiers::sharedInstance();
    EXPECT_EQ(identifiers.origin(), "");
    identifiers.setOrigin("qd");
    identifiers.setOrigin("");
    EXPECT_EQ(identifiers.origin(), "qd");
}

}  // namespace
}  // namespace engine
