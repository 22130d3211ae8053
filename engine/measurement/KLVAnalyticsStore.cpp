#include "engine/measurement/KLVAnalyticsStore.h"

#include <mutex>

#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/SharedInstance.h"

namespace engine {

namespace {

struct Suite {
    KLVUserDefaults defaults{std::string(kKLVAnalyticsSuiteName)};
};

KLVUserDefaults& store() {
    return platform::SharedInstance<Suite>::get().defaults;
}

struct LoadTime {
    std::mutex mutex;
    std::optional<double> timestamp;
};

LoadTime& loadTime() {
    return platform::SharedInstance<LoadTime>::get();
}

std::optional<std::string> stringForKey(std::string_view key) {
    const platform::Object value = store().objectForKey(key);
    if (!value.isString()) return std::nullopt;
    return value.asString();
}

}  // namespace

std::int64_t KLVAnalyticsStore::resetRetryCount() {
    return store().integerForKey(kKLVResetRetryCountKey);
}

void KLVAnalyticsStore::setResetRetryCount(std::int64_t count) {
    if (count < 1) {
        store().removeObjectForKey(kKLVResetRetryCountKey);
    } else {
        store().setInteger(count, kKLVResetRetryCountKey);
    }
}

bool KLVAnalyticsStore::needFirstOpenAfterReset() {
    return store().boolForKey(kKLVNeedFirstOpenAfterResetKey);
}

void KLVAnalyticsStore::setNeedFirstOpenAfterReset(bool need) {
    store().setObject(platform::Object(need), kKLVNeedFirstOpenAfterResetKey);
}

void KLVAnalyticsStore::removeNeedFirstOpenAfterReset() {
    store().removeObjectForKey(kKLVNeedFirstOpenAfterResetKey);
}

std::optional<std::string> KLVAnalyticsStore::appInstanceIDAfterReset() {
    return stringForKey(kKLVAppInstanceIDAfterResetKey);
}

void KLVAnalyticsStore::setAppInstanceIDAfterReset(
    const std::optional<std::string>& appInstanceID) {
    if (appInstanceID) {
        store().setObject(platform::Object(*appInstanceID), kKLVAppInstanceIDAfterResetKey);
    } else {
        store().removeObjectForKey(kKLVAppInstanceIDAfterResetKey);
    }
}

platform::Object KLVAnalyticsStore::deferredAnalyticsCollection() {
    return store().objectForKey(kKLVDeferredAnalyticsCollectionKey);
}

void KLVAnalyticsStore::setDeferredAnalyticsCollection(const platform::Object& value) {
    if (value.isNull()) {
        store().removeObjectForKey(kKLVDeferredAnalyticsCollectionKey);
    } else {
        store().setObject(value, kKLVDeferredAnalyticsCollectionKey);
    }
}

std::optional<platform::Dictionary> KLVAnalyticsStore::consentSettings1P() {
    return store().dictionaryForKey(kKLVConsentSettings1PKey);
}

std::optional<platform::Dictionary> KLVAnalyticsStore::consentSettings3P() {
    return store().dictionaryForKey(kKLVConsentSettings3PKey);
}

std::optional<platform::Dictionary> KLVAnalyticsStore::consentSettingsTCF() {
    return store().dictionaryForKey(kKLVConsentSettingsTCFKey);
}

std::optional<platform::Dictionary> KLVAnalyticsStore::consentSettings1PStart() {
    return store().dictionaryForKey(kKLVConsentSettingsOnStartKey);
}

void KLVAnalyticsStore::setConsentSettings1PStart(const platform::Dictionary& settings) {
    store().setObject(platform::Object(settings), kKLVConsentSettingsOnStartKey);
}

void KLVAnalyticsStore::removeStartUpConsentSettings() {
    store().removeObjectForKey(kKLVConsentSettingsOnStartKey);
}

std::int64_t KLVAnalyticsStore::persistedConsentSource() {
    const platform::Object value = store().objectForKey(kKLVConsentSourceKey);
    if (!value.isNumber()) return kKLVConsentSourceNone;
    return store().integerForKey(kKLVConsentSourceKey);
}

platform::Object KLVAnalyticsStore::deferredResetOnDeniedConsent() {
    return store().objectForKey(kKLVDeferredConsentResetKey);
}

void KLVAnalyticsStore::removeDeferredResetOnDeniedConsent() {
    store().removeObjectForKey(kKLVDeferredConsentResetKey);
}

void KLVAnalyticsStore::persistConsentSettings(const platform::Dictionary& settings,
                                               std::int64_t source) {
    const char* key = source == kKLVConsentSourceTCF ? kKLVConsentSettingsTCFKey
                      : source < 21                  ? kKLVConsentSettings3PKey
                                                     : kKLVConsentSettings1PKey;
    store().setObject(platform::Object(settings), key);
    store().setInteger(source, kKLVConsentSourceKey);
}

void KLVAnalyticsStore::loadPersistedConsentSettings() {
    const std::int64_t persisted = persistedConsentSource();
    if (persisted == kKLVConsentSourceNone) return;
    struct Candidate {
        std::optional<platform::Dictionary> settings;
        std::int64_t source;
    };
    const Candidate candidates[] = {{consentSettingsTCF(), kKLVConsentSourceTCF},
                                    {consentSettings3P(), kKLVConsentSourceInfoPlist},
                                    {consentSettings1P(), kKLVConsentSourceStartOptions}};
    for (const auto& candidate : candidates) {
        if (!candidate.settings) continue;
        KLVConsentSettingsUtil::setConsentSettings(*candidate.settings);
        KLVConsentSettingsUtil::setConsentSource(std::min(persisted, candidate.source));
        return;
    }
    KLVConsentSettingsUtil::setConsentSource(persisted);
}

void KLVAnalyticsStore::clearConsent() {
    for (const char* key :
         {kKLVConsentSourceKey, kKLVConsentSettings3PKey, kKLVConsentSettings1PKey,
          kKLVConsentSettingsOnStartKey, kKLVDeferredConsentResetKey, kKLVConsentSettingsTCFKey}) {
        store().removeObjectForKey(key);
    }
    KLVConsentSettingsUtil::clearAllSettings();
}

double KLVAnalyticsStore::loadTimestamp() {
    auto& slot = loadTime();
    std::lock_guard lock(slot.mutex);
    if (!slot.timestamp) slot.timestamp = platform::Clock::current().now();
    return *slot.timestamp;
}

void KLVAnalyticsStore::setLoadTimestamp(double timestamp) {
    auto& slot = loadTime();
    std::lock_guard lock(slot.mutex);
    slot.timestamp = timestamp;
}

}  // namespace engine
