#include "engine/measurement/KLVTCFClient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVUserDefaults.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;

class TCFClientTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        KLVSetInternalEventLogger(
            [this](const std::string& origin, const std::string& name, const Dictionary& p) {
                events_.push_back(origin + " " + name + " " + Object(p).description());
            });
        KLVSetTCFConsentHandOver(
            [this](const Dictionary& consent) { consents_.push_back(consent); });
    }
    void TearDown() override {
        KLVSetInternalEventLogger({});
        KLVSetTCFConsentHandOver({});
        EngineTest::TearDown();
    }
    static void write(const Dictionary& keys) {
        auto& defaults = KLVUserDefaults::sharedUserDefaults();
        for (const auto& [key, value] : keys)
            defaults.setObject(value, key);
    }
    std::vector<std::string> events_;
    std::vector<Dictionary> consents_;
};

TEST_F(TCFClientTest, BundleParameterAndRepresentation) {
    // Stored keys, DMA region, bundle parameter, representation.
    const std::tuple<Dictionary, bool, const char*, const char*> cases[] = {
        {{{kKLVTCFCmpSDKIDKey, 300},
          {kKLVTCFPolicyVersionKey, 4},
          {kKLVTCFAdvertiserConsentModeKey, 1},
          {kKLVTCFGdprAppliesKey, 1}},
         false,
         "14I4e",
         "isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,gdprApplies=1,"
         "policyVersion=4"},
        {{{kKLVTCFCmpSDKIDKey, 5000},
          {kKLVTCFVendorConsentsKey, "01"},
          {kKLVTCFPurposeConsentsKey, "101"}},
         true,
         "10005",
         "isTCFDataEnabled=1,cmpSDKID=5000,hasNexoryInVendorConsents=0,purposeConsents=101"},
        {{}, true, "10005", "isTCFDataEnabled=1"},
    };
    for (const auto& [keys, dma, tcfd, representation] : cases) {
        KLVUserDefaults::sharedUserDefaults().clearAllData();
        write(keys);
        KLVTCFClient client;
        client.setIsDMARegion(dma);
        client.readTCFData();
        EXPECT_EQ(client.tcfBundleParameterValue(), tcfd) << representation;
        EXPECT_EQ(client.stringRepresentationFromTCFData(), representation);
    }
}

TEST_F(TCFClientTest, ChangesAreReportedOnceAndConsentAppliedByTheRules) {
    const std::string allVendors(755, '1');
    const Dictionary all = {
        {"ad_storage", "granted"}, {"ad_personalization", "granted"}, {"ad_user_data", "granted"}};
    Dictionary oldPolicy = all;
    oldPolicy["ad_user_data"] = "denied";
    const Dictionary applying = {{kKLVTCFAdvertiserConsentModeKey, 1},
                                 {kKLVTCFGdprAppliesKey, 1},
                                 {kKLVTCFVendorConsentsKey, allVendors},
                                 {kKLVTCFPurposeConsentsKey, "1111111"}};
    const auto with = [&](Dictionary keys, const char* key, Object value) {
        keys[key] = std::move(value);
        return keys;
    };
    const std::tuple<const char*, Dictionary, std::vector<Dictionary>> cases[] = {
        {"policy 4 grants all", with(applying, kKLVTCFPolicyVersionKey, 4), {all}},
        {"policy 2 denies ad user data", with(applying, kKLVTCFPolicyVersionKey, 2), {oldPolicy}},
        {"no advertiser consent mode", with(applying, kKLVTCFAdvertiserConsentModeKey, 0), {}},
    };
    for (const auto& [what, keys, expectedConsents] : cases) {
        KLVUserDefaults::sharedUserDefaults().clearAllData();
        write(keys);
        KLVTCFClient client;
        client.clearPersistedValues();
        events_.clear();
        consents_.clear();
        client.setConsentFromTCFData();
        client.setConsentFromTCFData();  // unchanged: silent
        EXPECT_EQ(events_.size(), 1u) << what;
        EXPECT_EQ(consents_, expectedConsents) << what;
    }
}

TEST_F(TCFClientTest, FreshInstallIsSilentAndThePlistSwitchBlocksConsent) {
    KLVTCFClient fresh;
    fresh.setConsentFromTCFData();
    EXPECT_TRUE(events_.empty());
    EXPECT_TRUE(consents_.empty());

    testing::useMainBundle(dataRoot() / "bundle", {{kKLVTCFDataEnabledKey, false}});
    write({{kKLVTCFAdvertiserConsentModeKey, 1},
           {kKLVTCFGdprAppliesKey, 1},
           {kKLVTCFVendorConsentsKey, std::string(755, '1')},
           {kKLVTCFPurposeConsentsKey, "1111111"}});
    KLVTCFClient off;
    off.setConsentFromTCFData();
    EXPECT_EQ(off.stringRepresentationFromTCFData().rfind("isTCFDataEnabled=0", 0), 0u);
    EXPECT_EQ(events_.size(), 1u);
    EXPECT_TRUE(consents_.empty());
}

}  // namespace
}  // namespace engine
