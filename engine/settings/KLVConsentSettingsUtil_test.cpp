#include "engine/settings/KLVConsentSettingsUtil.h"

#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;
using Util = KLVConsentSettingsUtil;

class KLVConsentSettingsUtilTest : public EngineTest {};

TEST_F(KLVConsentSettingsUtilTest, NothingSet) {
    EXPECT_EQ(Util::consentSignals(), "G1--");
    EXPECT_EQ(Util::consentDiagnostics(), "19999");
    EXPECT_EQ(Util::description(), "ad_storage is granted. analytics_storage is granted.");
    EXPECT_FALSE(Util::isAdUserDataDenied());
    EXPECT_EQ(Util::adPersonalization(), std::nullopt);
    EXPECT_EQ(Util::consentSource(), 100);
}

TEST_F(KLVConsentSettingsUtilTest, StoredValuesCompareLowerCasedStringsOnly) {
    const struct {
        Object adStorage;
        Object analyticsStorage;
        const char* signals;
        bool adDenied;
        bool analyticsDenied;
    } cases[] = {
        {"DENIED", "Granted", "G101", true, false},
        {"granted", "denied", "G110", false, true},
        {0, false, "G1--", false, false},
        {"eu_consent_policy", "maybe", "G1--", false, false},
    };
    for (const auto& c : cases) {
        Util::setConsentSettings(
            Dictionary{{"ad_storage", c.adStorage}, {"analytics_storage", c.analyticsStorage}});
        EXPECT_EQ(Util::consentSignals(), c.signals);
        EXPECT_EQ(Util::isAdStorageDenied(), c.adDenied);
        EXPECT_EQ(Util::isAnalyticsStorageDenied(), c.analyticsDenied);
    }
}

TEST_F(KLVConsentSettingsUtilTest, SourcePriority) {
    const struct {
        std::int64_t current;
        std::int64_t candidate;
        bool higher;
        bool equal;
    } cases[] = {
        {10, 5, true, true},
        {10, 40, false, false},
        {100, 40, true, false},
        {30, 20, true, false},
    };
    for (const auto& c : cases) {
        Util::setConsentSource(c.current);
        EXPECT_EQ(Util::isConsentSourceHigherPriority(c.candidate), c.higher)
            << c.current << " " << c.candidate;
        EXPECT_EQ(Util::isConsentSourceEqualPriority(c.candidate), c.equal)
            << c.current << " " << c.candidate;
    }
}

TEST_F(KLVConsentSettingsUtilTest, VersionAndClearedSettings) {
    Util::setVersion(3);
    EXPECT_EQ(Util::version(), 1);
    Util::setVersion(2);
    EXPECT_EQ(Util::version(), 2);
    Util::setVersion(0);
    EXPECT_EQ(Util::version(), 2);

    Util::updateSettings(Dictionary{{"ad_storage", "denied"}}, 30);
    EXPECT_EQ(Util::consentSource(), 30);
    Util::setConsentSettings(std::nullopt);
    EXPECT_EQ(Util::consentSource(), 100);
}

TEST_F(KLVConsentSettingsUtilTest, DiagnosticCodeOfEachSource) {
    const struct {
        std::int64_t source;
        const char* diagnostics;
    } cases[] = {{5, "17999"}, {10, "15999"}, {20, "13999"}, {40, "14999"}, {77, "10999"}};
    for (const auto& c : cases) {
        Util::clearAllSettings();
        Util::updateSettings(Dictionary{{"ad_storage", "granted"}}, c.source);
        EXPECT_EQ(Util::consentDiagnostics(), c.diagnostics) << c.source;
    }
}

TEST_F(KLVConsentSettingsUtilTest, DelegatedAdUserData) {
    Util::setDelegatedSettings(Dictionary{{"ad_user_data", "ad_storage"}});
    Util::updateSettings(Dictionary{{"ad_storage", "denied"}}, 10);
    EXPECT_TRUE(Util::isAdUserDataDenied());
    EXPECT_EQ(Util::consentDiagnostics(), "15929");

    // Its own value wins over the delegation.
    Util::updateSettings(Dictionary{{"ad_user_data", "granted"}});
    EXPECT_FALSE(Util::isAdUserDataDenied());
    EXPECT_TRUE(Util::didAdUserDataConsentChange(true));
    EXPECT_FALSE(Util::didAdUserDataConsentChange(false));
}

TEST_F(KLVConsentSettingsUtilTest, DefaultsApplyToUnsetTypes) {
    Util::setDefaultSettings(Dictionary{
        {"ad_storage", "denied"}, {"ad_user_data", "denied"}, {"ad_personalization", "granted"}});
    // Defaults never make storage denied; they do decide ad user data and personalisation.
    EXPECT_FALSE(Util::isAdStorageDenied());
    EXPECT_TRUE(Util::isAdUserDataDenied());
    EXPECT_EQ(Util::adPersonalization(), 1);
    // Storage types with only a default stay "not set" (9); the others show the default (1).
    EXPECT_EQ(Util::consentDiagnostics(), "19911");

    Util::updateSettings(Dictionary{{"ad_personalization", "denied"}}, 40);
    EXPECT_EQ(Util::adPersonalization(), 0);
    EXPECT_EQ(Util::consentDiagnostics(), "19914");
    Util::unsetAdPersonalization();
    EXPECT_EQ(Util::adPersonalization(), 1);
    EXPECT_EQ(Util::consentSettings(), Dictionary{});
}

TEST_F(KLVConsentSettingsUtilTest, InfoPlistValues) {
    const Dictionary info{
        {kKLVInfoPlistDefaultAllowAdStorage, true},
        {kKLVInfoPlistDefaultAllowAnalyticsStorage, "eu_consent_policy"},
        {kKLVInfoPlistDefaultAllowAdUserData, "EU_Consent_Policy"},
        {kKLVInfoPlistDefaultAllowAdPersonalizationSignals, "NO"},
        {"UNRELATED", "YES"},
    };
    EXPECT_EQ(Util::consentSettingsFromInfoDictionary(info),
              (Dictionary{{"ad_storage", "granted"},
                          {"analytics_storage", "denied"},
                          {"ad_user_data", "eu_consent_policy"},
                          {"ad_personalization", "denied"}}));

    const struct {
        Object value;
        std::optional<const char*> converted;
    } conversions[] = {
        {" +001", "granted"},
        {"-0", "denied"},
        {"9lives", "granted"},
        {platform::Date{1}, {}},
    };
    for (const auto& c : conversions) {
        const auto settings = Util::consentSettingsFromInfoDictionary(
            Dictionary{{kKLVInfoPlistDefaultAllowAdStorage, c.value}});
        if (c.converted) {
            EXPECT_EQ(settings, (Dictionary{{"ad_storage", *c.converted}}))
                << c.value.description();
        } else {
            EXPECT_TRUE(settings.empty()) << c.value.description();
        }
    }

    // A Boolean under the personalisation key is the personalised-ads switch, not consent.
    EXPECT_TRUE(Util::consentSettingsFromInfoDictionary(
                    Dictionary{{kKLVInfoPlistDefaultAllowAdPersonalizationSignals, false}})
                    .empty());
}

TEST_F(KLVConsentSettingsUtilTest, EUConsentPolicyResolvesToRegionalDefault) {
    Util::setConsentSettings(Dictionary{{"ad_user_data", "eu_consent_policy"},
                                        {"ad_personalization", "eu_consent_policy"},
                                        {"analytics_storage", "eu_consent_policy"}});
    Util::setConsentSource(20);
    EXPECT_TRUE(Util::isAdUserDataDenied());
    EXPECT_EQ(Util::adPersonalization(), 0);
    EXPECT_FALSE(Util::isAnalyticsStorageDenied());
    EXPECT_EQ(Util::consentDiagnostics(), "19388");

    Util::setRegionalDefaults(Dictionary{{"ad_user_data", "granted"}});
    EXPECT_FALSE(Util::isAdUserDataDenied());
    EXPECT_EQ(Util::adPersonalization(), 0);
    EXPECT_EQ(Util::description(),
              "ad_storage is granted. analytics_storage is eu_consent_policy. ad_user_data is "
              "granted (eu_consent_policy). ad_personalization is denied (eu_consent_policy).");
}

}  // namespace
}  // namespace engine
