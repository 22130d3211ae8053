#pragma once

// Consent and identifier fields of an upload bundle: the stored events' metadata gets them when
// it is built, and queued bundles get them again before upload.

#include <optional>
#include <string>
#include <string_view>

#include "engine/identity/KLVIdentity.h"
#include "engine/messages/KLVPBMessages.h"
#include "engine/settings/KLVRemoteConfig.h"

namespace engine {

// Character 3 of the signals is analytics storage ('0', 'D' or 'd' deny it); signals shorter
// than 4 characters grant both storages.
bool KLVIsAnalyticsStorageDeniedInSignals(std::string_view signals);
bool KLVIsAdStorageDeniedInSignals(std::string_view signals);

// The consent signals, the tracking status and the identifiers they allow. `overwrite` replaces
// signals and identifiers already in the bundle.
void KLVApplyConsentSignalsToBundle(KLVPBMeasurementBundle& bundle, const std::string& signals,
                                    bool gateIDFAOnATTMAS, KLVIdentity& identity, bool overwrite);
void KLVApplyConsentSignalsToBundle(KLVPBMeasurementBundle& bundle, const std::string& signals,
                                    bool gateIDFAOnATTMAS, const KLVIdentity::Snapshot& identity,
                                    bool overwrite);

// Diagnostics, the DMA region, the core platform services and, when given, the "_npa" property.
void KLVApplyDMAConsentToBundle(KLVPBMeasurementBundle& bundle, const std::string& diagnostics,
                                bool isAdUserDataDenied,
                                const std::optional<KLVPBUserAttribute>& npaUserAttribute,
                                const KLVRemoteConfig& remoteConfig, bool overwrite);

}  // namespace engine
