#include "engine/upload/KLVBundleHelpers.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMeasurementBase.h"
#include "engine/messages/NANOAccessors.h"

namespace engine {
namespace {

constexpr std::int64_t kParameterExistsCode = 23156;

std::optional<std::int64_t> npaValue(const KLVPBMeasurementBundle& bundle) {
    const auto attributes =
        NANOGetArray<KLVPBUserAttribute>(bundle, KLVPBMeasurementBundle::user_attributes);
    if (!attributes) return std::nullopt;
    for (const KLVPBUserAttribute& attribute : *attributes) {
        if (NANOGetString(attribute, KLVPBUserAttribute::name) == "_npa")
            return NANOGetInt64(attribute, KLVPBUserAttribute::int_value);
    }
    return std::nullopt;
}

// An empty string counts as absent, as everywhere for bundle strings.
std::string stringField(const KLVPBMeasurementBundle& bundle, std::int32_t index) {
    return NANOGetString(bundle, index).value_or(std::string());
}

}  // namespace

bool KLVBundlesHaveSameConsent(const KLVPBMeasurementBundle* a, const KLVPBMeasurementBundle* b) {
    if (!a || !b) return false;
    for (std::int32_t index : {std::int32_t(KLVPBMeasurementBundle::consent_signals),
                               std::int32_t(KLVPBMeasurementBundle::consent_diagnostics),
                               std::int32_t(KLVPBMeasurementBundle::core_platform_services)}) {
        if (stringField(*a, index) != stringField(*b, index)) return false;
    }
    if (NANOGetBool(*a, KLVPBMeasurementBundle::dma_region) !=
        NANOGetBool(*b, KLVPBMeasurementBundle::dma_region))
        return false;
    return npaValue(*a) == npaValue(*b);
}

bool KLVBundleContainsFirstOpen(const KLVPBMeasurementBundle& bundle) {
    const auto events = NANOGetArray<KLVPBEvent>(bundle, KLVPBMeasurementBundle::events);
    if (!events) return false;
    for (const KLVPBEvent& event : *events) {
        if (NANOGetString(event, KLVPBEvent::name) == "_f") return true;
    }
    return false;
}

bool KLVEventParamsContainName(const std::vector<KLVPBEventParam>& params, std::string_view name) {
    for (const KLVPBEventParam& param : params) {
        if (NANOGetString(param, KLVPBEventParam::name) == name) {
            KLVMeasurementBase::monitor().logWithLevel(
                kKLVLogWarningMonitored, kParameterExistsCode,
                "Event parameter already exists. Parameter name", std::string(name));
            return true;
        }
    }
    return false;
}

void KLVAddIntegerParameter(KLVPBEvent& event, std::string_view name, std::int64_t value) {
    auto params = NANOGetArray<KLVPBEventParam>(event, KLVPBEvent::params)
                      .value_or(std::vector<KLVPBEventParam>());
    if (KLVEventParamsContainName(params, name)) return;
    KLVPBEventParam param;
    NANOSetString(param, KLVPBEventParam::name, name);
    NANOSetInt64(param, KLVPBEventParam::int_value, value);
    params.push_back(std::move(param));
    NANOSetArray(event, KLVPBEvent::params, params);
}

void KLVAddSamplingRateParameter(KLVPBEvent& event, std::int32_t rate) {
    KLVAddIntegerParameter(event, "_sr", rate);
}

std::int32_t KLVSamplingDayNumber(double timestamp, std::int32_t timeZoneOffsetMinutes) {
    const double days =
        std::trunc((timestamp + static_cast<double>(timeZoneOffsetMinutes) * 60.0) / 86400.0);
    // Times far outside any calendar clamp instead of overflowing the conversion.
    if (!(days > std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    if (!(days < std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(days);
}

}  // namespace engine
