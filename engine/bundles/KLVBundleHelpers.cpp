#include "engine/bundles/KLVBundleHelpers.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
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

KLVPBMeasurementBundle KLVConsentOfBundle(const KLVPBMeasurementBundle& bundle) {
    KLVPBMeasurementBundle consent;
    using B = KLVPBMeasurementBundle;
    for (const std::int32_t index :
         {std::int32_t(B::consent_signals), std::int32_t(B::consent_diagnostics),
          std::int32_t(B::core_platform_services), std::int32_t(B::dma_region),
          std::int32_t(B::user_attributes)}) {
        consent.messageInfo().field(index) = bundle.messageInfo().field(index);
    }
    return consent;
}

bool KLVAppendBundleToBatch(platform::Data& batch, const KLVPBMeasurementBundle& bundle) {
    const auto bytes = bundle.protoBuffer();
    if (!bytes) return false;
    // `bundles` is field 1 of MeasurementBatch, length-delimited.
    constexpr std::uint8_t key = 1 << 3 | 2;
    batch.push_back(key);
    for (std::uint64_t length = bytes->size();; length >>= 7) {
        if (length < 0x80) {
            batch.push_back(static_cast<std::uint8_t>(length));
            break;
        }
        batch.push_back(static_cast<std::uint8_t>((length & 0x7F) | 0x80));
    }
    batch.insert(batch.end(), bytes->begin(), bytes->end());
    return true;
}

bool KLVBundleContainsFirstOpen(const KLVPBMeasurementBundle& bundle) {
    // Read in place: a bundle holds up to a thousand events, and copying them all to find one
    // name is most of an upload's work.
    const MessageList* events =
        nano_detail::messageArrayForGet(bundle, KLVPBMeasurementBundle::events);
    if (!events) return false;
    for (const MessageInfo& event : *events) {
        const std::string* name = event.field(KLVPBEvent::name).string();
        if (name && *name == "_f") return true;
    }
    return false;
}

bool KLVEventParamsContainName(const std::vector<KLVPBEventParam>& params, std::string_view name) {
    for (const KLVPBEventParam& param : params) {
        if (NANOGetString(param, KLVPBEventParam::name) == name) {
            monitor().logWithLevel(kKLVLogWarningMonitored, kParameterExistsCode,
                                   "Event parameter already exists. Parameter name",
                                   std::string(name));
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
