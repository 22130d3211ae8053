#include "engine/bundles/KLVBundleHelpers.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/messages/NANOAccessors.h"

namespace engine {
namespace {

KLVPBUserAttribute attribute(const char* name, std::int64_t value) {
    KLVPBUserAttribute out;
    NANOSetString(out, KLVPBUserAttribute::name, name);
    NANOSetInt64(out, KLVPBUserAttribute::int_value, value);
    return out;
}

KLVPBMeasurementBundle consentBundle() {
    KLVPBMeasurementBundle bundle;
    NANOSetString(bundle, KLVPBMeasurementBundle::consent_signals, "G111");
    NANOSetString(bundle, KLVPBMeasurementBundle::consent_diagnostics, "19");
    NANOSetBool(bundle, KLVPBMeasurementBundle::dma_region, true);
    NANOSetArray(bundle, KLVPBMeasurementBundle::user_attributes,
                 std::vector<KLVPBUserAttribute>{attribute("_lte", 5), attribute("_npa", 0)});
    return bundle;
}

TEST(KLVBundleHelpersTest, SameConsentComparesEveryConsentField) {
    using B = KLVPBMeasurementBundle;
    const struct {
        const char* what;
        std::function<void(B&)> edit;
        bool same;
    } cases[] = {
        {"unchanged", [](auto&) {}, true},
        {"empty services equal absent ones",
         [](auto& b) { NANOSetString(b, B::core_platform_services, ""); }, true},
        {"signals", [](auto& b) { NANOSetString(b, B::consent_signals, "G100"); }, false},
        {"diagnostics", [](auto& b) { NANOSetString(b, B::consent_diagnostics, "20"); }, false},
        {"services", [](auto& b) { NANOSetString(b, B::core_platform_services, "x"); }, false},
        {"region", [](auto& b) { NANOSetBool(b, B::dma_region, false); }, false},
        {"npa absent", [](auto& b) { NANOClearField(b, B::user_attributes); }, false},
    };
    const KLVPBMeasurementBundle base = consentBundle();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KLVPBMeasurementBundle other = consentBundle();
        c.edit(other);
        EXPECT_EQ(KLVBundlesHaveSameConsent(&base, &other), c.same);
        EXPECT_EQ(KLVBundlesHaveSameConsent(&other, &base), c.same);
        // What an upload keeps of a batch's first bundle compares the same.
        NANOSetString(other, B::app_id, "not compared");
        const KLVPBMeasurementBundle kept = KLVConsentOfBundle(other);
        EXPECT_EQ(KLVBundlesHaveSameConsent(&base, &kept), c.same);
        EXPECT_FALSE(NANOHasField(kept, B::app_id));
    }
    EXPECT_FALSE(KLVBundlesHaveSameConsent(&base, nullptr));
}

TEST(KLVBundleHelpersTest, BundlesAppendedToABatchEncodeAsTheBatch) {
    std::vector<KLVPBMeasurementBundle> bundles(3, consentBundle());
    NANOSetString(bundles[1], KLVPBMeasurementBundle::monitoring_data, std::string(200, 'm'));
    bundles[2] = KLVPBMeasurementBundle{};  // encodes to nothing, still one element
    platform::Data appended;
    for (const auto& bundle : bundles)
        ASSERT_TRUE(KLVAppendBundleToBatch(appended, bundle));
    KLVPBMeasurementBatch batch;
    NANOSetArray(batch, KLVPBMeasurementBatch::bundles, bundles);
    EXPECT_EQ(appended, batch.protoBuffer());
}

TEST(KLVBundleHelpersTest, FirstOpenIsFoundAmongTheEvents) {
    KLVPBMeasurementBundle bundle;
    std::vector<KLVPBEvent> events(2);
    NANOSetString(events[0], KLVPBEvent::name, "_s");
    NANOSetString(events[1], KLVPBEvent::name, "_fx");
    NANOSetArray(bundle, KLVPBMeasurementBundle::events, events);
    EXPECT_FALSE(KLVBundleContainsFirstOpen(bundle));
    NANOSetString(events[1], KLVPBEvent::name, "_f");
    NANOSetArray(bundle, KLVPBMeasurementBundle::events, events);
    EXPECT_TRUE(KLVBundleContainsFirstOpen(bundle));
}

TEST(KLVBundleHelpersTest, SamplingRateIsAddedOnce) {
    KLVPBEvent event;
    KLVAddSamplingRateParameter(event, 10);
    KLVAddSamplingRateParameter(event, 20);
    KLVAddIntegerParameter(event, "_efs", 1);
    std::vector<std::pair<std::optional<std::string>, std::optional<std::int64_t>>> got;
    const auto params = NANOGetArray<KLVPBEventParam>(event, KLVPBEvent::params);
    for (const auto& p : params.value())
        got.emplace_back(NANOGetString(p, KLVPBEventParam::name),
                         NANOGetInt64(p, KLVPBEventParam::int_value));
    EXPECT_EQ(got, (decltype(got){{"_sr", 10}, {"_efs", 1}}));
}

TEST(KLVBundleHelpersTest, DayNumbersFollowTheAccountTimeZone) {
    // Timestamp, offset in minutes, day.
    const std::tuple<double, std::int32_t, std::int32_t> cases[] = {
        {0, 0, 0},
        {86400, 0, 1},
        {86399, 1, 1},        // one minute east: already the next day
        {86400 + 59, -1, 0},  // one minute west: still the day before
        {1'700'000'000, 0, 19675},
        {1e300, 0, 2147483647},  // clamped, not undefined
    };
    for (const auto& [timestamp, offsetMinutes, day] : cases)
        EXPECT_EQ(KLVSamplingDayNumber(timestamp, offsetMinutes), day) << timestamp;
}

}  // namespace
}  // namespace engine
