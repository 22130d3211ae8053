// Applies arbitrary bytes as a downloaded configuration, the way the running service takes one:
// in one transaction it is parsed, checked against the app ID, stored, spread into the settings
// and the rule program, and its audiences are stored. Then the service handles two events and a
// user property under it and bundles them, which runs the program, the per-event settings and the
// audience filters. Nothing may crash, report to a sanitizer or trap: a configuration of another
// app is never applied, and every setting reads as its default or within its bounds.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/events/KLVUserAttribute.h"
#include "engine/events/KLVValue.h"
#include "engine/measurement/fuzz/FuzzService.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVRemoteConfig.h"

namespace {

using engine::KLVMeasurement;

// Whether the configuration carries the on-device conversion's own settings: those are cached as
// numbers, which the getters answer as they are, without the bounds test.
bool carriesPsmSetting = false;

void checkWithinBounds(std::string_view key, double value, double defaultValue, double minimum,
                       double maximum) {
    if (carriesPsmSetting &&
        (key == "measurement.psm_prefix_email" || key == "measurement.psm_prefix_phone" ||
         key == "measurement.psm_signin_delay")) {
        return;
    }
    if (value != defaultValue && (value < minimum || value > maximum)) __builtin_trap();
}

// A row of the settings table: Switch rows and rows with rules of their own are not checked.
#define KLV_FUZZ_CHECK_NUMBER(key, value, def, min, max) \
    checkWithinBounds(key, static_cast<double>(value), def, min, max)
#define KLV_FUZZ_CHECK_Interval KLV_FUZZ_CHECK_NUMBER
#define KLV_FUZZ_CHECK_Int KLV_FUZZ_CHECK_NUMBER
#define KLV_FUZZ_CHECK_Int64 KLV_FUZZ_CHECK_NUMBER
#define KLV_FUZZ_CHECK_IntervalInt KLV_FUZZ_CHECK_NUMBER
#define KLV_FUZZ_CHECK_Switch(key, value, def, min, max) (void)(value)
#define KLV_FUZZ_RULE_Plain(check, key, value, def, min, max) check(key, value, def, min, max)
#define KLV_FUZZ_RULE_Own(check, key, value, def, min, max) (void)(value)
#define KLV_FUZZ_CHECK_SETTING(getter, key, kind, def, min, max, rule) \
    KLV_FUZZ_RULE_##rule(KLV_FUZZ_CHECK_##kind, key, settings.getter(), def, min, max);

void checkSettings(const engine::KLVRemoteConfig& settings) {
    KLV_REMOTE_CONFIG_SETTINGS(KLV_FUZZ_CHECK_SETTING)
    if (settings.samplingRateForEvent("level_up") < 1) __builtin_trap();
    (void)settings.uploadURL();
    (void)settings.consentDefaults();
    (void)settings.regionalDefaults();
    (void)settings.corePlatformServices();
}

// What a user of the app does: two events and a user property, then the bundling that reads them.
void handleEvents(KLVMeasurement& service) {
    const double now = platform::Clock::current().now();
    service.logEventOnWorkerQueueWithOrigin(
        "app", true, "level_up", {{"value", 1.5}, {"count", std::int64_t{2}}, {"s", "x"}}, now,
        true, false, false, nullptr, {});
    service.logEventOnWorkerQueueWithOrigin("app", true, "purchase",
                                            {{"value", 9.99}, {"currency", "EUR"}}, now + 1, true,
                                            false, false, nullptr, {});
    if (const auto property = engine::KLVUserAttribute::initWithOrigin(
            "app", "level", engine::KLVValue::initWithString("7"), now)) {
        service.setUserAttributeOnWorkerQueue(*property);
    }
    service.bundleRawEvents();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& fixture = engine::fuzzing::FuzzService::shared();
    const platform::Data bytes(data, data + size);
    const auto decoded =
        engine::KLVPBMeasurementConfig::initWithBuffer(std::span<const std::uint8_t>(data, size));
    carriesPsmSetting =
        decoded && NANOHasField(*decoded, engine::KLVPBMeasurementConfig::psm_setting);
    const bool ofThisApp =
        decoded && NANOGetString(*decoded, engine::KLVPBMeasurementConfig::app_id) ==
                       std::string_view(engine::fuzzing::kAppID);
    fixture.onWorker([&](KLVMeasurement& service) {
        // Each input starts from no configuration and no audiences.
        const auto settings = service.remoteConfigInstance();
        settings->reset();
        if (!service.database()->performTransaction(
                [&] { return service.audienceUpdateAudiences({}); })) {
            __builtin_trap();
        }

        const bool applied = service.database()->performTransaction(
            [&] { return service.storeFetchedConfiguration(bytes); });
        if (applied && !ofThisApp) __builtin_trap();
        checkSettings(*settings);
        handleEvents(service);
        fixture.clearStoredRows();
    });
    return 0;
}
