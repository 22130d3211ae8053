// Consent set through the front door: validated, ranked by source, merged, persisted.

#include "engine/base/KLVLogLevel.h"
#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/settings/KLVConsentSettingsUtil.h"

namespace engine {

void KLVAnalytics::setConsent(const platform::Dictionary& consent) {
    setConsent(consent, kKLVConsentSettings1PKey);
}

void KLVAnalytics::setConsent(const platform::Dictionary& consent, const std::string& key) {
    auto& monitor = engine::monitor();
    if (KLVConsentSettingsUtil::appliedConsentSource() == kKLVConsentSourceNone) {
        KLVAnalyticsStore::loadPersistedConsentSettings();
    }
    platform::Dictionary settings = KLVConsentSettingsUtil::consentSettingsFromDictionary(consent);
    for (auto it = settings.begin(); it != settings.end();) {
        const auto* status = it->second.getString();
        if (status && (*status == "granted" || *status == "denied")) {
            ++it;
            continue;
        }
        monitor.logWithLevel(kKLVLogWarning, 25042,
                             "Valid consent values are 'granted' and 'denied'. Ignoring invalid "
                             "consent setting",
                             it->second);
        it = settings.erase(it);
    }
    if (settings.empty()) {
        monitor.logWithLevel(kKLVLogWarning, 25041, "Discarding empty consent settings");
        return;
    }
    const std::int64_t source = key == kKLVConsentSettingsTCFKey  ? kKLVConsentSourceTCF
                                : key == kKLVConsentSettings3PKey ? kKLVConsentSourcePublicAPI
                                                                  : kKLVConsentSourceInternalAPI;
    // The priority check, the merge and what follows from it in one visit to the consent queue,
    // which the worker's reads keep busy: the main thread makes this call.
    const bool describe = key == kKLVConsentSettings3PKey;
    // Asked before the settings move into the merge.
    const bool setsAdPersonalization = settings.contains(kKLVConsentTypeAdPersonalization);
    const auto update =
        KLVConsentSettingsUtil::updateSettingsFromSource(std::move(settings), source, describe);
    if (!update.accepted) {
        monitor.logWithLevel(kKLVLogWarning, 25043, "Ignoring lower priority consent settings");
        return;
    }
    KLVAnalyticsStore::persistConsentSettings(update.consentSettings, source);
    if (describe) monitor.logWithLevel(kKLVLogVerbose, 25055, update.description);
    const auto remoteConfig = KLVMeasurementService::remoteConfig();
    if (remoteConfig->dcuEventFeatureEnabled() && !remoteConfig->consentDefaults().empty() &&
        update.adUserDataChanged) {
        logInternalEventWithOrigin("auto", "_dcu", {{"_r", platform::Object(std::int64_t{1})}});
    }
    if (remoteConfig->DMAConsentEnabled() && setsAdPersonalization) {
        if (const auto adPersonalization = KLVConsentSettingsUtil::adPersonalization()) {
            setUserPropertyString(platform::Object(*adPersonalization != 0 ? "YES" : "NO"),
                                  "allow_personalized_ads");
        }
    }
}

}  // namespace engine
