// What the start decides from stored state: the start-up consent, whether stored data belong to
// other app IDs, and which app IDs are kept.

#include "engine/identity/KLVIdentifiers.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVAnalyticsStore.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"

namespace engine {

namespace {

bool isSet(const std::optional<std::string>& text) {
    return text && !text->empty();
}

bool isEmpty(const std::optional<platform::Dictionary>& settings) {
    return !settings || settings->empty();
}

}  // namespace

void KLVMeasurement::setProspectiveConsentSettings() {
    const std::int64_t current = KLVConsentSettingsUtil::consentSource();
    const auto thirdParty = KLVAnalyticsStore::consentSettings3P();
    const auto firstPartyStart = KLVAnalyticsStore::consentSettings1PStart();
    const platform::Dictionary plist = KLVConsentSettingsUtil::consentSettingsFromPlist();
    const auto tcf = KLVAnalyticsStore::consentSettingsTCF();

    std::optional<platform::Dictionary> chosen;
    std::int64_t source = kKLVConsentSourcePublicAPI;
    if (!isEmpty(tcf) &&
        KLVConsentSettingsUtil::isConsentSourceHigherPriority(kKLVConsentSourceTCF) &&
        (isEmpty(thirdParty) || current == kKLVConsentSourceTCF)) {
        chosen = tcf;
        source = kKLVConsentSourceTCF;
    } else if (!plist.empty() &&
               KLVConsentSettingsUtil::isConsentSourceHigherPriority(kKLVConsentSourceInfoPlist)) {
        chosen = plist;
        source = kKLVConsentSourceInfoPlist;
    } else if (current == kKLVConsentSourceStartOptions ||
               current == kKLVConsentSourceInternalAPI) {
        // The public interface is always present in this process.
        KLVAnalyticsStore::clearConsent();
    } else if (!isEmpty(firstPartyStart) && KLVConsentSettingsUtil::isConsentSourceHigherPriority(
                                                kKLVConsentSourceStartOptions)) {
        chosen = firstPartyStart;
        source = kKLVConsentSourceStartOptions;
    } else {
        chosen = thirdParty;
    }
    if (isEmpty(chosen) || !KLVConsentSettingsUtil::isConsentSourceHigherPriority(source)) return;
    KLVConsentSettingsUtil::setConsentSettings(*chosen);
    KLVConsentSettingsUtil::setConsentSource(source);
    KLVAnalyticsStore::persistConsentSettings(*chosen, source);
}

bool KLVMeasurement::shouldWipeDataWithAppID(
    const std::optional<std::string>& appID, const std::optional<std::string>& appIDFromZKT,
    const std::optional<std::string>& appIDFromVintu,
    const std::optional<std::string>& persistedAppIDFromZKT,
    const std::optional<std::string>& persistedAppIDFromVintu) {
    const auto& A = appID;
    const auto& Z = appIDFromZKT;
    const auto& V = appIDFromVintu;
    const auto& P = persistedAppIDFromZKT;
    const auto& Q = persistedAppIDFromVintu;
    const std::int64_t retries = KLVAnalyticsStore::resetRetryCount();
    if (retries >= 1 && retries <= 9) return true;
    if (isSet(P) && isSet(Z)) return *P != *Z;
    if (!isSet(P) && isSet(Q) && !isSet(V) && isSet(Z)) return true;
    if (!isSet(P) && isSet(Q) && isSet(V) && isSet(Z)) return *Q != *V;
    if (isSet(P) && !isSet(Z) && isSet(V) && !isSet(Q) && isSet(A)) return true;
    if (!isSet(Z) && isSet(Q) && isSet(A)) return *A != *Q;
    return false;
}

void KLVMeasurement::updatePersistedAppIDFromZKTAndVintu() {
    const auto identity = this->identity();
    if (!persistedConfig_ || !identity) return;
    if (const auto zkt = identity->appIDFromZKT(); zkt != persistedConfig_->appIDFromZKT()) {
        persistedConfig_->setAppIDFromZKT(zkt);
    }
    if (const auto vintu = identity->appIDFromVintu();
        vintu != persistedConfig_->appIDFromVintu()) {
        persistedConfig_->setAppIDFromVintu(vintu);
    }
    const std::string origin = KLVIdentifiers::sharedInstance().origin();
    if (origin == "qd") {
        persistedConfig_->setAppIDFromZKT(appID_);
    } else if (origin == "vu") {
        persistedConfig_->setAppIDFromVintu(appID_);
    }
}

}  // namespace engine
