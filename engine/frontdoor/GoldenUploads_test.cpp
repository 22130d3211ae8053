// Scripted runs of the engine as the app drives it (the public interface, the app's life cycle),
// on a manual clock with seeded draws, uploading to a loopback measurement host. Every request
// the host receives is written down as a canonical text (UploadTranscriptTestSupport.h) and
// compared with the expected file of the run in golden/, whose header says what each part of the
// run shows. Any change to what the engine uploads shows as a difference of these files; an
// intended one rewrites them (TESSALINE_UPDATE_GOLDEN=1, see README).

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/frontdoor/ScriptedRunTestSupport.h"
#include "engine/frontdoor/UploadTranscriptTestSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/script/ScriptNotation.h"
#include "engine/settings/SettingsTestSupport.h"

#ifndef TESSALINE_GOLDEN_DIR
#error "TESSALINE_GOLDEN_DIR names the folder of the expected files"
#endif

namespace engine {
// Named, so that the helpers here do not meet those of the other sources compiled with this one.
namespace golden_uploads {
namespace {

using platform::Dictionary;
using platform::Object;

class GoldenUploadTest : public testing::ScriptedAppRun {
  protected:
    // Compares the run with golden/<name>.txt.
    void expectGolden(const std::string& name) {
        // A run that went wrong on the way says so above; its transcript proves nothing.
        if (HasFailure()) return;
        collect();
        testing::expectMatchesGoldenFile(
            std::filesystem::path(TESSALINE_GOLDEN_DIR) / (name + ".txt"), transcript_.text());
    }
};

// --- Configurations ---------------------------------------------------------------------------

// Consent defaults of a DMA-region configuration: ad user data and ad personalisation denied
// until the user decides, two core platform services.
KLVPBConsentConfig dmaConsentConfig() {
    const auto entry = [](std::int32_t type, std::int32_t status) {
        KLVPBConsentDefaultEntry made;
        NANOSetInt32(made, KLVPBConsentDefaultEntry::type, type);
        NANOSetInt32(made, KLVPBConsentDefaultEntry::status, status);
        return made;
    };
    const auto service = [](const char* name) {
        KLVPBCorePlatformServiceEntry made;
        NANOSetString(made, KLVPBCorePlatformServiceEntry::name, name);
        return made;
    };
    constexpr std::int32_t kAdUserData = 3;
    constexpr std::int32_t kAdPersonalization = 4;
    constexpr std::int32_t kDenied = 2;
    KLVPBConsentConfig consent;
    NANOSetArray(consent, KLVPBConsentConfig::defaults,
                 std::vector{entry(kAdUserData, kDenied), entry(kAdPersonalization, kDenied)});
    NANOSetArray(consent, KLVPBConsentConfig::core_platform_services,
                 std::vector{service("cps_b"), service("cps_a")});
    NANOSetBool(consent, KLVPBConsentConfig::dma_region, true);
    return consent;
}

KLVPBDataControl dataControl(const char* name) {
    KLVPBDataControl made;
    NANOSetString(made, KLVPBDataControl::name, name);
    return made;
}

// A rule program that renames the event named `from` to `to`.
KLVPBProgram renamingProgram(const char* from, const char* to) {
    const std::string rule =
        std::string("(object \"type\" \"edit\" \"from\" \"") + from + "\" \"to\" \"" + to + "\")";
    return testing::makeProgram(testing::kEditingRulesProgram, {{"rename", rule.c_str()}});
}

KLVPBNumberFilter greaterThan(const char* value) {
    KLVPBNumberFilter made;
    NANOSetInt32(made, KLVPBNumberFilter::comparison_type, 2);
    NANOSetString(made, KLVPBNumberFilter::comparison_value, value);
    return made;
}

// Audience 7: filter 0, a "purchase_made" event whose "value" is above 10; filter 1, the user
// property "level" equal to "gold".
KLVPBAudience purchaserAudience() {
    KLVPBFilter valueFilter;
    NANOSetString(valueFilter, KLVPBFilter::param_name, "value");
    NANOSetMessage(valueFilter, KLVPBFilter::number_filter, greaterThan("10"));
    KLVPBEventFilter purchase;
    NANOSetInt32(purchase, KLVPBEventFilter::filter_id, 0);
    NANOSetString(purchase, KLVPBEventFilter::event_name, "purchase_made");
    NANOSetArray(purchase, KLVPBEventFilter::filters, std::vector{valueFilter});

    KLVPBStringFilter gold;
    NANOSetInt32(gold, KLVPBStringFilter::match_type, 5);
    NANOSetString(gold, KLVPBStringFilter::expression, "gold");
    KLVPBFilter levelFilter;
    NANOSetMessage(levelFilter, KLVPBFilter::string_filter, gold);
    KLVPBPropertyFilter level;
    NANOSetInt32(level, KLVPBPropertyFilter::filter_id, 1);
    NANOSetString(level, KLVPBPropertyFilter::property_name, "level");
    NANOSetMessage(level, KLVPBPropertyFilter::filter, levelFilter);

    KLVPBAudience audience;
    NANOSetInt32(audience, KLVPBAudience::audience_id, 7);
    NANOSetArray(audience, KLVPBAudience::event_filters, std::vector{purchase});
    NANOSetArray(audience, KLVPBAudience::property_filters, std::vector{level});
    return audience;
}

Dictionary consent(std::initializer_list<std::pair<const char*, const char*>> entries) {
    Dictionary made;
    for (const auto& [type, status] : entries)
        made.emplace(type, Object(status));
    return made;
}

Object integer(std::int64_t value) {
    return Object(value);
}

// --- Runs -------------------------------------------------------------------------------------

TEST_F(GoldenUploadTest, AdPersonalizationConsentSetsNonPersonalizedAds) {
    launch(config({}));
    upload();
    setConsent(consent({{"ad_personalization", "denied"}}));
    logEvent("a1");
    upload();
    setConsent(consent({{"ad_personalization", "granted"}}));
    logEvent("a2");
    upload();
    expectGolden("ad_personalization_consent");
}

TEST_F(GoldenUploadTest, AnalyticsStorageDeniedAroundWritesAndUploads) {
    launch(config({}));
    upload();
    logEvent("a1");
    setConsent(consent({{"analytics_storage", "denied"}}));
    logEvent("a1");
    advance(10);
    logEvent("a1");
    setConsent(consent({{"analytics_storage", "granted"}}));
    upload();
    logEvent("a1");
    upload();
    expectGolden("analytics_storage_consent");
}

TEST_F(GoldenUploadTest, DmaConsentDefaultsSignalsAndUpload) {
    auto dma = config({});
    NANOSetMessage(dma, KLVPBMeasurementConfig::consent_config, dmaConsentConfig());
    launch(dma);
    upload();
    setConsent(consent({{"ad_storage", "granted"},
                        {"analytics_storage", "granted"},
                        {"ad_user_data", "granted"}}));
    logEvent("a1");
    setConsent(consent({{"ad_storage", "denied"}}));
    logEvent("a2");
    upload();
    expectGolden("dma_consent");
}

TEST_F(GoldenUploadTest, UserPropertiesAndUserIDChangedBetweenWriteAndUpload) {
    launch(config({{"measurement.session_stitching_token_enabled", "1"}}));
    upload();
    logEvent("a1");
    setUserProperty(Object("gold"), "level");
    setUserID(Object("user-1"));
    logEvent("a2");
    setUserProperty(Object(), "level");
    setUserID(Object());
    logEvent("a3");
    upload();
    expectGolden("user_properties_and_user_id");
}

TEST_F(GoldenUploadTest, DefaultEventParametersAndReset) {
    launch(config({}));
    upload();
    setDefaultEventParameters(Dictionary{{"campaign", Object("spring")}, {"level", integer(1)}});
    logEvent("a1", {{"level", integer(5)}});
    logEvent("a2");
    upload();
    resetAnalyticsData();
    logEvent("a3");
    upload();
    expectGolden("default_parameters_and_reset");
}

TEST_F(GoldenUploadTest, EventEditingProgramInstalledAfterEventsWereStored) {
    launch(config({{"measurement.config.cache_time", "60000"}}));
    upload();
    logEvent("a1");
    auto editing = config({{"measurement.config.cache_time", "60000"}}, 2);
    NANOSetArray(editing, KLVPBMeasurementConfig::dynamic_event_editing,
                 std::vector{renamingProgram("a1", "b1")});
    serveConfig(editing, "configuration 2, whose program renames a1 to b1");
    upload();
    logEvent("a1");
    upload();
    expectGolden("event_editing_installed_later");
}

TEST_F(GoldenUploadTest, NewConfigurationBetweenWriteAndUpload) {
    launch(config({{"measurement.config.cache_time", "60000"}}));
    upload();
    logEvent("a1");
    logEvent("a2");
    auto next = config({{"measurement.config.cache_time", "60000"}}, 2);
    NANOSetArray(next, KLVPBMeasurementConfig::event_config,
                 std::vector{testing::makeEventConfig("a2", true)});
    NANOSetArray(next, KLVPBMeasurementConfig::data_controls,
                 std::vector{dataControl("app_instance_id"), dataControl("device_model")});
    serveConfig(next, "configuration 2: a2 blocked, app instance ID and device model redacted");
    upload();
    expectGolden("new_configuration_between_write_and_upload");
}

TEST_F(GoldenUploadTest, AudienceResults) {
    auto withAudience = config({});
    NANOSetArray(withAudience, KLVPBMeasurementConfig::audiences, std::vector{purchaserAudience()});
    launch(withAudience);
    upload();
    setUserProperty(Object("gold"), "level");
    logEvent("purchase_made", {{"value", integer(5)}});
    upload();
    logEvent("purchase_made", {{"value", integer(25)}});
    upload();
    logEvent("other");
    upload();
    setConsent(consent({{"analytics_storage", "denied"}}));
    logEvent("purchase_made", {{"value", integer(50)}});
    upload();
    expectGolden("audiences");
}

TEST_F(GoldenUploadTest, Sampling) {
    auto sampled = config({{"measurement.event_sampling_enabled", "1"}});
    NANOSetArray(sampled, KLVPBMeasurementConfig::event_config,
                 std::vector{testing::makeEventConfig("tick", std::nullopt, std::nullopt, 3)});
    launch(sampled);
    upload();
    for (std::int64_t i = 1; i <= 6; ++i)
        logEvent("tick", {{"i", integer(i)}});
    upload();
    awayForADay();
    logEvent("tick", {{"i", integer(7)}});
    upload();
    expectGolden("sampling");
}

TEST_F(GoldenUploadTest, DailyPublicEventLimitInTheMiddleOfABurst) {
    launch(config({{"measurement.upload.max_public_events_per_day", "5"}}));
    upload();
    for (std::int64_t i = 1; i <= 7; ++i)
        logEvent("burst", {{"i", integer(i)}});
    upload();
    awayForADay();
    logEvent("burst", {{"i", integer(8)}});
    upload();
    expectGolden("daily_limit_mid_burst");
}

TEST_F(GoldenUploadTest, SessionTimeout) {
    launch(config({}));
    upload();
    setSessionTimeoutInterval(60);
    logEvent("a1");
    advance(30);
    resignActive();
    enterBackground();
    advance(61);
    becomeActive();
    logEvent("a2");
    advance(10);
    resignActive();
    enterBackground();
    advance(61);
    logEvent("a3", {{"extend_session", integer(1)}});
    logEvent("a4");
    upload();
    expectGolden("session_timeout");
}

}  // namespace
}  // namespace golden_uploads
}  // namespace engine
