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

void checkWithinBounds(double value, double defaultValue, double minimum, double maximum) {
    if (value != defaultValue && (value < minimum || value > maximum)) __builtin_trap();
}

// A row of the settings table: Switch rows and rows with rules of their own are not checked.
#define KLV_FUZZ_CHECK_Interval(value, def, min, max) checkWithinBounds(value, def, min, max)
#define KLV_FUZZ_CHECK_Int(value, def, min, max) checkWithinBounds(value, def, min, max)
#define KLV_FUZZ_CHECK_Int64(value, def, min, max) \
    checkWithinBounds(static_cast<double>(value), def, min, max)
#define KLV_FUZZ_CHECK_IntervalInt(value, def, min, max) checkWithinBounds(value, def, min, max)
#define KLV_FUZZ_CHECK_Switch(value, def, min, max) (void)(value)
#define KLV_FUZZ_RULE_Plain(check, value, def, min, max) check(value, def, min, max)
#define KLV_FUZZ_RULE_Own(check, value, def, min, max) (void)(value)
#define KLV_FUZZ_CHECK_SETTING(getter, key, kind, def, min, max, rule) \
    KLV_FUZZ_RULE_##rule(KLV_FUZZ_CHECK_##kind, settings.getter(), def, min, max);

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
    const bool ofThisApp =
        decoded && NANOGetString(*decoded, engine::KLVPBMeasurementConfig::app_id) ==
                       std::string_view(engine::fuzzing::kAppID);
    fixture.onWorker([&](KLVMeasurement& service) {
        // Each input starts from no configuration and no audiences.
        const auto settings = service.remoteConfigInstance();
        settings->reset();
        service.database()->performTransaction([&] { return service.audienceUpdateAudiences({}); });

        const bool applied = service.database()->performTransaction(
            [&] { return service.storeFetchedConfiguration(bytes); });
        if (applied && !ofThisApp) __builtin_trap();
        checkSettings(*settings);
        handleEvents(service);
        fixture.clearStoredRows();
    });
    return 0;
}
