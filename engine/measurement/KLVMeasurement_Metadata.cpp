// The metadata of stored raw events: a bundle without events describing the app, the device,
// the identifiers, consent and user properties when the event was written. Equal metadata
// encodes to equal bytes and so is stored once under its fingerprint.

#include <algorithm>
#include <vector>

#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/environment/KLVEnvironmentInfo.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVRawEventMetadata.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"

namespace engine {

using Bundle = KLVPBMeasurementBundle;

namespace {

constexpr std::uint64_t kStatusAuthorized = 3;
constexpr std::uint64_t kStatusUnknown = 6;

bool deniedAt(std::string_view signals, std::size_t index) {
    if (signals.size() < 4) return false;
    const char c = signals[index];
    return c == '0' || c == 'D' || c == 'd';
}

void setStringUnlessPresent(Bundle& bundle, std::int32_t field, const std::string& value) {
    if (!NANOHasField(bundle, field)) NANOSetString(bundle, field, value);
}

}  // namespace

bool KLVIsAnalyticsStorageDeniedInSignals(std::string_view signals) {
    return deniedAt(signals, 3);
}

bool KLVIsAdStorageDeniedInSignals(std::string_view signals) {
    return deniedAt(signals, 2);
}

void KLVApplyConsentSignalsToBundle(Bundle& bundle, const std::string& signals,
                                    bool gateIDFAOnATTMAS, KLVIdentity& identity, bool overwrite) {
    KLVApplyConsentSignalsToBundle(bundle, signals, gateIDFAOnATTMAS, identity.snapshot(),
                                   overwrite);
}

void KLVApplyConsentSignalsToBundle(Bundle& bundle, const std::string& signals,
                                    bool gateIDFAOnATTMAS, const KLVIdentity::Snapshot& identity,
                                    bool overwrite) {
    bool adDenied = false;
    bool analyticsDenied = false;
    if (signals.size() < 4) {
        if (signals.empty()) NANOClearField(bundle, Bundle::consent_signals);
    } else if (overwrite || !NANOHasField(bundle, Bundle::consent_signals)) {
        NANOSetString(bundle, Bundle::consent_signals, signals);
        adDenied = KLVIsAdStorageDeniedInSignals(signals);
        analyticsDenied = KLVIsAnalyticsStorageDeniedInSignals(signals);
    } else {
        const std::string existing =
            NANOGetString(bundle, Bundle::consent_signals).value_or(std::string());
        adDenied = KLVIsAdStorageDeniedInSignals(existing);
        analyticsDenied = KLVIsAnalyticsStorageDeniedInSignals(existing);
    }

    bool gateActive = false;
    if (KLVDefaultIdentitySupport::iOS14OrAbove()) {
        if (identity.appleConsentStatus != kStatusUnknown) {
            NANOSetInt32(bundle, Bundle::tracking_authorization_status,
                         static_cast<std::int32_t>(identity.appleConsentStatus));
        }
        gateActive = gateIDFAOnATTMAS && identity.appleConsentStatus != kStatusAuthorized;
    }

    const bool mayUseAdvertisingID = identity.hasLimitedAdTracking &&
                                     identity.resettableDeviceID.has_value() && !adDenied &&
                                     !gateActive;
    if (mayUseAdvertisingID) {
        setStringUnlessPresent(bundle, Bundle::resettable_device_id, *identity.resettableDeviceID);
        NANOClearField(bundle, Bundle::vendor_device_id);
    } else if (analyticsDenied || !identity.identifierForVendor) {
        NANOClearField(bundle, Bundle::resettable_device_id);
        NANOClearField(bundle, Bundle::vendor_device_id);
    } else {
        setStringUnlessPresent(bundle, Bundle::vendor_device_id, *identity.identifierForVendor);
        NANOClearField(bundle, Bundle::resettable_device_id);
    }
    if (!analyticsDenied && identity.appInstanceID && !identity.appInstanceID->empty()) {
        setStringUnlessPresent(bundle, Bundle::app_instance_id, *identity.appInstanceID);
    }
    if (adDenied) NANOClearField(bundle, Bundle::resettable_device_id);
    if (analyticsDenied) {
        NANOClearField(bundle, Bundle::vendor_device_id);
        NANOClearField(bundle, Bundle::app_instance_id);
        NANOClearField(bundle, Bundle::session_stitching_token);
        NANOClearField(bundle, Bundle::audience_evaluation_results);
    }
    if (identity.hasLimitedAdTracking) {
        NANOSetBool(bundle, Bundle::limited_ad_tracking, identity.limitedAdTracking);
    }
}

void KLVApplyDMAConsentToBundle(Bundle& bundle, const std::string& diagnostics,
                                bool isAdUserDataDenied,
                                const std::optional<KLVPBUserAttribute>& npaUserAttribute,
                                const KLVRemoteConfig& remoteConfig, bool overwrite) {
    if (overwrite || !NANOHasField(bundle, Bundle::consent_diagnostics)) {
        NANOSetString(bundle, Bundle::consent_diagnostics, diagnostics);
    }
    if (overwrite || !NANOHasField(bundle, Bundle::dma_region)) {
        NANOSetBool(bundle, Bundle::dma_region, remoteConfig.isDMARegion());
    }
    if (overwrite || !NANOHasField(bundle, Bundle::core_platform_services)) {
        // A std::set is already in ascending order.
        const auto services = remoteConfig.corePlatformServices();
        if (isAdUserDataDenied || services.empty()) {
            NANOSetString(bundle, Bundle::core_platform_services, "-");
        } else if (!remoteConfig.isDMARegion()) {
            NANOClearField(bundle, Bundle::core_platform_services);
        } else if (NANOGetBool(bundle, Bundle::dma_region)) {
            std::string joined;
            for (const auto& service : services)
                joined += service;
            NANOSetString(bundle, Bundle::core_platform_services, joined);
        }
    }
    if (!npaUserAttribute) return;
    auto attributes = NANOGetArray<KLVPBUserAttribute>(bundle, Bundle::user_attributes)
                          .value_or(std::vector<KLVPBUserAttribute>{});
    const auto existing = std::find_if(attributes.begin(), attributes.end(), [](const auto& a) {
        return NANOGetString(a, KLVPBUserAttribute::name) == std::optional<std::string>("_npa");
    });
    if (existing == attributes.end()) {
        attributes.push_back(*npaUserAttribute);
    } else if (overwrite) {
        *existing = *npaUserAttribute;
    } else {
        return;
    }
    NANOSetArray(bundle, Bundle::user_attributes, attributes);
}

KLVPBMeasurementBundle KLVMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<KLVUserAttribute>& userAttributes, std::optional<double>* tokenExpiration) {
    Bundle bundle;
    NANOSetString(bundle, Bundle::platform, "ios");
    NANOSetInt32(bundle, Bundle::protocol_version, 1);
    KLVIdentity& id = *identity();
    const auto snapshot =
        id.snapshotWithSessionNumber(persistedConfig_->sessionNumber(), isSessionExpired(),
                                     hasUserPropertyUserIDOnWorkerQueue());
    NANOSetString(bundle, Bundle::app_id, id.appID());
    if (!id.isFromAppStore()) NANOSetString(bundle, Bundle::install_source, "manual_install");
    if (id.appVersion()) NANOSetString(bundle, Bundle::app_version, *id.appVersion());
    if (snapshot.appIDFromZKT && !snapshot.appIDFromZKT->empty()) {
        NANOSetString(bundle, Bundle::zkt_app_id, *snapshot.appIDFromZKT);
    } else if (snapshot.appIDFromVintu && !snapshot.appIDFromVintu->empty()) {
        NANOSetString(bundle, Bundle::vintu_app_id, *snapshot.appIDFromVintu);
    }
    NANOSetInt64(bundle, Bundle::library_version, KLVIdentity::brackenfoldLibraryVersion());
    if (const auto installationID = id.tarnwellInstallationID()) {
        NANOSetString(bundle, Bundle::installation_id, *installationID);
    }
    if (tokenExpiration) *tokenExpiration = snapshot.sessionStitchingTokenExpiration;
    const auto& token = snapshot.sessionStitchingToken;
    if (token && !token->empty()) NANOSetString(bundle, Bundle::session_stitching_token, *token);
    if (id.appVersionMajor())
        NANOSetInt32(bundle, Bundle::app_version_major, *id.appVersionMajor());
    if (id.appVersionMinor())
        NANOSetInt32(bundle, Bundle::app_version_minor, *id.appVersionMinor());
    if (id.appVersionRelease()) {
        NANOSetInt32(bundle, Bundle::app_version_release, *id.appVersionRelease());
    }
    const auto config = remoteConfigInstance();
    KLVApplyConsentSignalsToBundle(bundle, KLVConsentSettingsUtil::consentSignals(),
                                   config->gateIDFAOnATTMASEnabled(), snapshot, true);
    const bool dma = config->DMAConsentEnabled();
    if (dma) {
        KLVApplyDMAConsentToBundle(bundle, KLVConsentSettingsUtil::consentDiagnostics(),
                                   KLVConsentSettingsUtil::isAdUserDataDenied(), std::nullopt,
                                   *config, true);
    }
    auto& environment = KLVEnvironmentInfo::sharedInstance();
    NANOSetString(bundle, Bundle::device_model, environment.deviceModel());
    NANOSetString(bundle, Bundle::os_version, environment.deviceOSVersion());
    NANOSetInt32(bundle, Bundle::time_zone_offset_minutes, environment.timeZoneOffsetMinutes());
    if (const auto language = environment.userDefaultLanguage()) {
        NANOSetString(bundle, Bundle::user_default_language, *language);
    }
    if (!userAttributes.empty()) {
        std::vector<KLVPBUserAttribute> protos;
        protos.reserve(userAttributes.size() + 1);
        bool hasNPA = false;
        for (const auto& attribute : userAttributes) {
            hasNPA = hasNPA || attribute.name() == "_npa";
            protos.push_back(attribute.protoUserAttribute());
        }
        if (dma && !hasNPA) {
            if (const auto npa = database()->userAttributeWithName("_npa")) {
                protos.push_back(npa->protoUserAttribute());
            }
        }
        NANOSetArray(bundle, Bundle::user_attributes, protos);
    }
    return bundle;
}

}  // namespace engine
