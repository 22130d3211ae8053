#pragma once

// The engine's one record of the user's consent, for the whole process: the value of each of the
// four consent types, the source that set them, the configuration's defaults, delegations and
// regional defaults, and a per-type diagnostic code that travels to the server. It decides nothing
// itself; components ask it whether ad storage, analytics storage or ad user data are denied and
// what ad personalisation resolves to, and read the compact signal and diagnostic strings.
//
// Values are strings: "granted", "denied" and, for "ad_user_data" and "ad_personalization" only,
// "eu_consent_policy" (take the regional default). They compare lower-cased; a stored object that
// is not a string counts as neither granted nor denied.
//
// All state lives on the serial queue "KLVConsentSettingsUtilQueue". Getters wait for it (so a
// getter called after a setter on the same thread sees the setter's effect); setters are queued.
// Dictionaries go in and come out as copies.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Object.h"

namespace engine {

// The consent types, in the order in which the engine walks them (signals, diagnostics).
inline constexpr char kKLVConsentTypeAdStorage[] = "ad_storage";
inline constexpr char kKLVConsentTypeAnalyticsStorage[] = "analytics_storage";
inline constexpr char kKLVConsentTypeAdUserData[] = "ad_user_data";
inline constexpr char kKLVConsentTypeAdPersonalization[] = "ad_personalization";
inline constexpr std::array<std::string_view, 4> kKLVConsentTypes = {
    kKLVConsentTypeAdStorage, kKLVConsentTypeAnalyticsStorage, kKLVConsentTypeAdUserData,
    kKLVConsentTypeAdPersonalization};

inline constexpr char kKLVConsentGranted[] = "granted";
inline constexpr char kKLVConsentDenied[] = "denied";
inline constexpr char kKLVConsentEUConsentPolicy[] = "eu_consent_policy";

// Who set the consent; a smaller number wins, and 5 and 10 count as equal.
inline constexpr std::int64_t kKLVConsentSourceTCF = 5;
inline constexpr std::int64_t kKLVConsentSourcePublicAPI = 10;
inline constexpr std::int64_t kKLVConsentSourceInfoPlist = 20;
inline constexpr std::int64_t kKLVConsentSourceInternalAPI = 30;
inline constexpr std::int64_t kKLVConsentSourceStartOptions = 40;
inline constexpr std::int64_t kKLVConsentSourceNone = 100;

// Per-type diagnostic codes.
inline constexpr std::int64_t kKLVConsentDiagnosticNone = 0;
inline constexpr std::int64_t kKLVConsentDiagnosticConfigDefault = 1;
inline constexpr std::int64_t kKLVConsentDiagnosticDelegated = 2;
inline constexpr std::int64_t kKLVConsentDiagnosticInfoPlist = 3;
inline constexpr std::int64_t kKLVConsentDiagnosticStartOptions = 4;
inline constexpr std::int64_t kKLVConsentDiagnosticConsentCall = 5;
inline constexpr std::int64_t kKLVConsentDiagnosticTCF = 7;
inline constexpr std::int64_t kKLVConsentDiagnosticEUConsentPolicy = 8;
inline constexpr std::int64_t kKLVConsentDiagnosticNotSet = 9;

// Info.plist keys of the app's consent defaults.
inline constexpr char kKLVInfoPlistDefaultAllowAdStorage[] =
    "NEXORY_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE";
inline constexpr char kKLVInfoPlistDefaultAllowAnalyticsStorage[] =
    "NEXORY_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE";
inline constexpr char kKLVInfoPlistDefaultAllowAdUserData[] =
    "NEXORY_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA";
inline constexpr char kKLVInfoPlistDefaultAllowAdPersonalizationSignals[] =
    "NEXORY_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";

// The configuration's consent type enum (1 to 4) as its key; nullopt for any other number.
std::optional<std::string> KLVConsentTypeName(std::int64_t type);
// The configuration's consent status enum: 1 "granted", 2 "denied"; nullopt otherwise.
std::optional<std::string> KLVConsentStatusString(std::int64_t status);

class KLVConsentSettingsUtil {
  public:
    static platform::DispatchQueue& serialQueue();

    static std::optional<platform::Dictionary> consentSettings();
    static std::optional<platform::Dictionary> defaultSettings();
    static std::optional<platform::Dictionary> delegatedSettings();
    static std::optional<platform::Dictionary> regionalDefaults();
    static std::int64_t consentSource();
    // The same, read without waiting for the consent queue while no change is queued.
    static std::int64_t appliedConsentSource();
    // 1 or 2.
    static std::int64_t version();
    // Grows whenever a change of the consent state is queued (before it runs), again once any
    // change has been applied (whichever setter made it, updateSettingsFromSource() included), and
    // when the state is made anew: a reader that kept what it read while this stayed the same may
    // use it again without a visit to the consent queue. Any thread.
    static std::uint64_t changeCount();

    // Stores the source and refreshes the diagnostic codes from it.
    static void setConsentSource(std::int64_t source);
    // Only 1 and 2 are stored; anything else is ignored.
    static void setVersion(std::int64_t version);
    // Nothing also returns the source to 100 and refreshes the diagnostic codes.
    static void setConsentSettings(std::optional<platform::Dictionary> settings);
    static void setDefaultSettings(std::optional<platform::Dictionary> settings);
    static void setDelegatedSettings(std::optional<platform::Dictionary> settings);
    static void setRegionalDefaults(std::optional<platform::Dictionary> settings);
    // Merges the entries into the consent settings (a new entry replaces an old one of its type);
    // source and diagnostic codes stay.
    static void updateSettings(platform::Dictionary settings);
    // Merges, stores the source, and gives every consent type among the entries the diagnostic
    // code of that source.
    static void updateSettings(platform::Dictionary settings, std::int64_t consentSource);

    // What updateSettingsFromSource() did.
    struct SourceUpdate {
        // False when the source has a lower priority than the stored one: nothing changed.
        bool accepted = false;
        // The consent settings after the merge.
        platform::Dictionary consentSettings;
        // isAdUserDataDenied() changed with the merge.
        bool adUserDataChanged = false;
        // description() after the merge, when asked for.
        std::string description;
    };
    // The public interface's consent change in one visit to the consent queue (the main thread
    // makes it): refuses a source of lower priority than the stored one (as
    // isConsentSourceHigherPriority), else merges as updateSettings with a source.
    static SourceUpdate updateSettingsFromSource(platform::Dictionary settings,
                                                 std::int64_t consentSource, bool describe);

    // The consent settings' own value is "denied"; defaults and delegations are not consulted.
    static bool isAdStorageDenied();
    static bool isAnalyticsStorageDenied();
    // The same, read without waiting for the consent queue while no change is queued: for the
    // main thread, which must not wait behind the worker's reads.
    static bool appliedAnalyticsStorageDenied();
    // Own value (the policy marker resolved), else the delegated type's value, else the default.
    static bool isAdUserDataDenied();
    // 0 when ad personalisation resolves to denied, 1 when granted, nullopt otherwise.
    static std::optional<std::int64_t> adPersonalization();
    // YES when isAdUserDataDenied() now differs from `previousIsAdUserDataDenied`.
    static bool didAdUserDataConsentChange(bool previousIsAdUserDataDenied);

    // Only the four consent types of `dictionary`, values unchanged.
    static platform::Dictionary consentSettingsFromDictionary(
        const platform::Dictionary& dictionary);
    // The app's consent defaults from the main bundle's Info.plist.
    static platform::Dictionary consentSettingsFromPlist();
    // The consent defaults of one Info.plist dictionary (consentSettingsFromPlist()'s rule).
    static platform::Dictionary consentSettingsFromInfoDictionary(const platform::Dictionary& info);

    // The candidate has equal priority with the current source, or the current source is not
    // smaller than it.
    static bool isConsentSourceHigherPriority(std::int64_t candidate);
    // Equal to the current source, or one of the two is 5 and the other 10.
    static bool isConsentSourceEqualPriority(std::int64_t candidate);

    // "G1" and one character each for ad storage and analytics storage: "1" granted, "0" denied,
    // "-" otherwise ("G110", "G1--").
    static std::string consentSignals();
    // "1" and the diagnostic code of each type in order ("19999" with nothing set).
    static std::string consentDiagnostics();
    // "ad_storage is granted. analytics_storage is denied." and the two others when set.
    static std::string description();

    // Queued: stores the diagnostic code of one type.
    static void setDiagnosticSource(std::int64_t code, std::string_view consentType);
    // Queued: removes "ad_personalization" from the consent settings and zeroes its code.
    static void unsetAdPersonalization();
    // Queued: source 100, no settings, defaults, delegations or regional defaults, codes zeroed.
    static void clearAllSettings();
};

}  // namespace engine
