#pragma once

// Bundle and event-message helpers shared by bundling, sampling and the upload: pure functions of
// the messages they are given, with no service state.

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/messages/KLVPBMessages.h"

namespace engine {

// True when both bundles carry the same consent: signals, diagnostics and core platform services
// (both absent counts as equal), the DMA region flag and the "_npa" user attribute's integer.
bool KLVBundlesHaveSameConsent(const KLVPBMeasurementBundle* a, const KLVPBMeasurementBundle* b);

// A bundle holding only what KLVBundlesHaveSameConsent compares of `bundle`: what an upload
// keeps of its batch's first bundle to hold the others against.
KLVPBMeasurementBundle KLVConsentOfBundle(const KLVPBMeasurementBundle& bundle);

// Appends the bundle to an encoded MeasurementBatch as one more element of its `bundles`; false
// when the bundle cannot be encoded.
bool KLVAppendBundleToBatch(platform::Data& batch, const KLVPBMeasurementBundle& bundle);

// True when an event of the bundle is the first open ("_f").
bool KLVBundleContainsFirstOpen(const KLVPBMeasurementBundle& bundle);

// True when a parameter of that name is among `params` (logged, 23156, as it means the caller
// will not add it again).
bool KLVEventParamsContainName(const std::vector<KLVPBEventParam>& params, std::string_view name);

// Appends an integer parameter unless one of that name is there already.
void KLVAddIntegerParameter(KLVPBEvent& event, std::string_view name, std::int64_t value);

// "_sr": the sampling rate a kept event was sampled with.
void KLVAddSamplingRateParameter(KLVPBEvent& event, std::int32_t rate);

// The day number of `timestamp` (seconds) in the account's time zone, as sampling counts days.
std::int32_t KLVSamplingDayNumber(double timestamp, std::int32_t timeZoneOffsetMinutes);

}  // namespace engine
