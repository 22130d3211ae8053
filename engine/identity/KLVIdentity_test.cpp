#include "engine/identity/KLVIdentity.h"

#include <gtest/gtest.h>

#include <limits>
#include <regex>
#include <thread>

#include "engine/base/EngineTestSupport.h"
#include "engine/base/KLVStringAdditions.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/security/VendorIdentifier.h"

namespace engine {
namespace {

using platform::Dictionary;
using testing::FakeMeasurementService;
using testing::FakeProvider;

class KLVIdentityTest : public EngineTest {
  protected:
    std::shared_ptr<KLVIdentity> makeIdentity() {
        return KLVIdentity::initWithPersistedConfig(
            KLVPersistedConfig::sharedInstance(),
            std::make_shared<KLVDefaultIdentitySupport>(provider_, 30.0));
    }

    void setAdvertisingID(std::optional<std::string> identifier) {
        provider_->locked([&] { provider_->advertisingID = std::move(identifier); });
    }

    // Makes the next read refresh (the identifiers stand for "measurement.ad_id_cache_time").
    void letCacheLapse() { clock_.advance(1); }

    static void setConsent(const Dictionary& settings) {
        KLVConsentSettingsUtil::setConsentSettings(settings);
    }

    static std::optional<std::string> persistedAppInstanceID() {
        return KLVPersistedConfig::sharedInstance()->appInstanceID();
    }
    static std::optional<std::string> persistedHash() {
        return KLVPersistedConfig::sharedInstance()->hashedResettableDeviceID();
    }

    testkit::ScopedManualClock clock_;
    std::shared_ptr<FakeProvider> provider_ = std::make_shared<FakeProvider>();
};

TEST_F(KLVIdentityTest, AppInstanceIDIsCreatedOnceAndPersists) {
    const auto identity = makeIdentity();
    const auto created = persistedAppInstanceID();
    ASSERT_TRUE(created);
    EXPECT_TRUE(std::regex_match(*created, std::regex("[0-9A-F]{32}")));
    EXPECT_EQ(identity->appInstanceID(), created);

    EXPECT_EQ(makeIdentity()->appInstanceID(), created);
}

TEST_F(KLVIdentityTest, NoAppInstanceIDWhileAnalyticsStorageIsDenied) {
    setConsent({{"analytics_storage", "denied"}});
    const auto identity = makeIdentity();
    EXPECT_EQ(persistedAppInstanceID(), std::nullopt);
    letCacheLapse();
    identity->updateIdentifiersAndWait();
    EXPECT_EQ(identity->appInstanceID(), std::nullopt);
    EXPECT_EQ(persistedAppInstanceID(), std::nullopt);
    EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(1, false, false), std::nullopt);

    // Granted again: the next refresh creates one.
    setConsent({{"analytics_storage", "granted"}});
    EXPECT_TRUE(identity->appInstanceID());
    EXPECT_TRUE(persistedAppInstanceID());
}

TEST_F(KLVIdentityTest, AdvertisingIdentifierChangesTheAppInstanceIDOnlyWhenReplaced) {
    const auto identity = makeIdentity();
    const auto first = persistedAppInstanceID();

    setAdvertisingID("AAAAAAAA-0000-0000-0000-000000000001");
    identity->updateIdentifiersAndWait();
    EXPECT_EQ(persistedHash(), klv_MD5String("AAAAAAAA-0000-0000-0000-000000000001"));
    EXPECT_EQ(identity->hashedResettableDeviceID(), persistedHash());
    EXPECT_EQ(persistedAppInstanceID(), first);
    EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());

    letCacheLapse();
    setAdvertisingID("BBBBBBBB-0000-0000-0000-000000000002");
    identity->updateIdentifiersAndWait();
    const auto second = persistedAppInstanceID();
    EXPECT_NE(second, first);
    EXPECT_EQ(persistedHash(), klv_MD5String("BBBBBBBB-0000-0000-0000-000000000002"));
    EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());

    letCacheLapse();
    identity->updateIdentifiersAndWait();
    EXPECT_EQ(persistedAppInstanceID(), second);
}

TEST_F(KLVIdentityTest, AllZeroIdentifierCountsAsNone) {
    const auto identity = makeIdentity();
    setAdvertisingID("AAAAAAAA-0000-0000-0000-000000000001");
    identity->updateIdentifiersAndWait();
    letCacheLapse();
    setAdvertisingID(kKLVZeroAdvertisingIdentifier);
    EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
    EXPECT_TRUE(identity->limitedAdTracking());
    EXPECT_EQ(persistedHash(), klv_MD5String("AAAAAAAA-0000-0000-0000-000000000001"));
}

TEST_F(KLVIdentityTest, GateKeepsTheIdentifierUnreadUnlessAuthorised) {
    const auto storage = std::make_shared<testing::FakeRemoteConfigStorage>();  // held weakly
    const auto settings = KLVRemoteConfig::initWithAppID("1:1:ios:a", storage, nullptr);
    ASSERT_TRUE(settings->updateMeasurementConfig(
        testing::makeConfig("1:1:ios:a", {{"measurement.attmas_gate", "1"}})));
    FakeMeasurementService::install(std::make_shared<FakeMeasurementService>(settings));

    const auto identity = makeIdentity();
    setAdvertisingID("AAAAAAAA-0000-0000-0000-000000000001");
    identity->updateIdentifiersAndWait();
    EXPECT_EQ(identity->appleConsentStatus(), kKLVTrackingAuthorized);

    letCacheLapse();
    provider_->locked([&] { provider_->status = 2; });
    setAdvertisingID("BBBBBBBB-0000-0000-0000-000000000002");
    const int readsBefore = provider_->locked([&] { return provider_->reads; });
    identity->updateIdentifiersAndWait();
    EXPECT_EQ(identity->appleConsentStatus(), kKLVTrackingDenied);
    // Not read again, and the one read earlier stays in memory.
    EXPECT_EQ(identity->resettableDeviceID(), "AAAAAAAA-0000-0000-0000-000000000001");
    // Only the limited-ad-tracking check asked the provider.
    EXPECT_EQ(provider_->locked([&] { return provider_->reads; }), readsBefore + 1);
}

TEST_F(KLVIdentityTest, AdStorageDeniedKeepsNoIdentifierAndNoHash) {
    const auto identity = makeIdentity();
    setAdvertisingID("AAAAAAAA-0000-0000-0000-000000000001");
    identity->updateIdentifiersAndWait();
    ASSERT_TRUE(identity->resettableDeviceID());

    setConsent({{"ad_storage", "denied"}});
    letCacheLapse();
    setAdvertisingID("BBBBBBBB-0000-0000-0000-000000000002");
    EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
    EXPECT_EQ(identity->hashedResettableDeviceID(), std::nullopt);
    EXPECT_EQ(persistedHash(), klv_MD5String("AAAAAAAA-0000-0000-0000-000000000001"));
}

TEST_F(KLVIdentityTest, TrackingCodes) {
    const struct {
        bool hasAdService;
        bool hasStatus;
        std::int64_t status;
        std::uint64_t code;
    } cases[] = {
        {false, true, 3, 6}, {true, false, 3, 5}, {true, true, 4, 5},
        {true, true, 0, 4},  {true, true, 2, 2},  {true, true, 3, 3},
    };
    const auto identity = makeIdentity();
    for (const auto& c : cases) {
        provider_->locked([&] {
            provider_->hasAdService = c.hasAdService;
            provider_->hasStatus = c.hasStatus;
            provider_->status = c.status;
        });
        letCacheLapse();
        EXPECT_EQ(identity->appleConsentStatus(), c.code) << c.status;
    }

    const auto withoutProvider = KLVIdentity::initWithPersistedConfig(
        KLVPersistedConfig::sharedInstance(), std::make_shared<KLVDefaultIdentitySupport>(nullptr));
    EXPECT_EQ(withoutProvider->appleConsentStatus(), kKLVTrackingNoAdvertisingService);
    EXPECT_EQ(withoutProvider->resettableDeviceID(), std::nullopt);
}

TEST_F(KLVIdentityTest, NumericFieldsOfVersions) {
    const struct {
        const char* version;
        std::vector<std::int32_t> fields;
    } cases[] = {
        {"10.4.1.7", {10, 4, 1, 7}},
        {"1.2b..3", {1, 2, 3}},
        {"a.7", {0, 7}},
        {"99999999999", {std::numeric_limits<std::int32_t>::max()}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLVIdentity::numericFieldsFromAppVersionNumeric(c.version), c.fields)
            << c.version;
    }
}

TEST_F(KLVIdentityTest, VendorIdentifierWithoutTheMainThread) {
    const auto identity = makeIdentity();
    // Asked from a thread other than the main one while nobody runs the main queue.
    std::optional<std::string> fromThread;
    std::thread([&] { fromThread = identity->identifierForVendor(); }).join();
    ASSERT_TRUE(fromThread);
    EXPECT_EQ(fromThread, platform::identifierForVendor());
    EXPECT_EQ(identity->identifierForVendor(), fromThread);

    setConsent({{"analytics_storage", "denied"}});
    EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
    setConsent({});
    setAdvertisingID("AAAAAAAA-0000-0000-0000-000000000001");
    identity->updateIdentifiersAndWait();
    EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
}

TEST_F(KLVIdentityTest, SessionStitchingToken) {
    const auto identity = makeIdentity();
    const auto t5 = identity->sessionStitchingTokenWithSessionNumber(5, false, false);
    ASSERT_TRUE(t5);
    EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(5, false, false), t5);
    // 6 expired, then 7 not expired: the token carries over.
    const auto t6expired = identity->sessionStitchingTokenWithSessionNumber(6, true, false);
    EXPECT_NE(t6expired, t5);
    EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(7, false, false), t6expired);

    // Without a user ID it lapses after a day; with one it does not.
    clock_.advance(86400);
    const auto lapsed = identity->sessionStitchingTokenWithSessionNumber(7, false, false);
    EXPECT_NE(lapsed, t6expired);
    const auto withUser = identity->sessionStitchingTokenWithSessionNumber(8, false, true);
    clock_.advance(2 * 86400);
    EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(8, false, true), withUser);
}

}  // namespace
}  // namespace engine
