#pragma once

// The front door's own persisted flags: the user-defaults suite "KLVAnalyticsSuiteName" with the
// reset bookkeeping, the deferred collection switch and the consent settings by source, and the
// engine's load timestamp. The front door writes them; the measurement service reads them while
// it starts and resets, which is why they live here, below both.
//
// Every accessor is a plain read or write on the calling thread.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

namespace engine {

inline constexpr char kKLVAnalyticsSuiteName[] = "KLVAnalyticsSuiteName";
inline constexpr char kKLVResetRetryCountKey[] = "reset_retry_count";
inline constexpr char kKLVNeedFirstOpenAfterResetKey[] = "need_first_open_after_reset";
inline constexpr char kKLVAppInstanceIDAfterResetKey[] = "app_instance_id_after_reset";
inline constexpr char kKLVDeferredAnalyticsCollectionKey[] = "deferred_analytics_collection";
inline constexpr char kKLVConsentSettings1PKey[] = "consent_settings";
inline constexpr char kKLVConsentSettings3PKey[] = "consent_settings_3p";
inline constexpr char kKLVConsentSettingsTCFKey[] = "consent_settings_tcf";
inline constexpr char kKLVConsentSettingsOnStartKey[] = "consent_settings_on_start";
inline constexpr char kKLVConsentSourceKey[] = "consent_source";
inline constexpr char kKLVDeferredConsentResetKey[] = "deferred_consent_reset";

class KLVAnalyticsStore {
  public:
    static std::int64_t resetRetryCount();
    // A count below 1 removes the key.
    static void setResetRetryCount(std::int64_t count);

    static bool needFirstOpenAfterReset();
    static void setNeedFirstOpenAfterReset(bool need);
    static void removeNeedFirstOpenAfterReset();

    static std::optional<std::string> appInstanceIDAfterReset();
    // Nothing removes the key.
    static void setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID);

    static platform::Object deferredAnalyticsCollection();
    static void setDeferredAnalyticsCollection(const platform::Object& value);

    static std::optional<platform::Dictionary> consentSettings1P();
    static std::optional<platform::Dictionary> consentSettings3P();
    static std::optional<platform::Dictionary> consentSettingsTCF();
    static std::optional<platform::Dictionary> consentSettings1PStart();
    static void setConsentSettings1PStart(const platform::Dictionary& settings);
    static void removeStartUpConsentSettings();
    // The stored source, 100 when there is none.
    static std::int64_t persistedConsentSource();
    static platform::Object deferredResetOnDeniedConsent();
    static void removeDeferredResetOnDeniedConsent();

    // Stores the settings under the key of their source (5: TCF, below 21: the public call,
    // else first party) and the source itself.
    static void persistConsentSettings(const platform::Dictionary& settings, std::int64_t source);
    // Hands the stored settings of the best source to the consent settings: TCF, then the public
    // call, then first party, each with the smaller of the stored source and its own.
    static void loadPersistedConsentSettings();
    // Removes every stored consent key, then clears the consent settings.
    static void clearConsent();

    // When the engine was loaded (or last reset), seconds since 1970. Any thread.
    static double loadTimestamp();
    static void setLoadTimestamp(double timestamp);
};

}  // namespace engine
