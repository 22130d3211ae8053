#pragma once

// The values a consent-management platform wrote under the "IABTCF_" keys of the app's user
// defaults, and what they mean for the engine's consent types.

#include <optional>
#include <string>

#include "platform/foundation/Object.h"

namespace engine {

class KLVUserDefaults;

class KLVTCFData {
  public:
    // Reads the Info.plist switch once; the TCF keys wait for readFromUserDefaults().
    KLVTCFData();

    void readFromUserDefaults();
    static bool readTCFDataEnabledStateFromPlist();

    bool isTCFDataEnabled() const { return isTCFDataEnabled_; }
    const platform::Object& isAdvertiserConsentModeEnabled() const {
        return isAdvertiserConsentModeEnabled_;
    }
    const std::optional<std::string>& vendorConsents() const { return vendorConsents_; }
    const platform::Object& cmpSDKID() const { return cmpSDKID_; }
    const platform::Object& gdprApplies() const { return gdprApplies_; }
    const platform::Object& policyVersion() const { return policyVersion_; }
    const std::optional<std::string>& purposeConsents() const { return purposeConsents_; }

    bool hasNexoryInVendorConsents() const;
    bool isAdStoragePurposeGranted() const;
    bool isAdPersonalizationPurposeGranted() const;
    bool canAccessAdUserDataPurpose() const;
    bool isAdUserDataPurposeGranted() const;

  private:
    KLVUserDefaults& userDefaults_;
    bool isTCFDataEnabled_;
    platform::Object isAdvertiserConsentModeEnabled_;
    std::optional<std::string> vendorConsents_;
    platform::Object cmpSDKID_;
    platform::Object gdprApplies_;
    platform::Object policyVersion_;
    std::optional<std::string> purposeConsents_;
};

// The "IABTCF_" keys.
inline constexpr char kKLVTCFAdvertiserConsentModeKey[] = "IABTCF_EnableAdvertiserConsentMode";
inline constexpr char kKLVTCFVendorConsentsKey[] = "IABTCF_VendorConsents";
inline constexpr char kKLVTCFCmpSDKIDKey[] = "IABTCF_CmpSdkID";
inline constexpr char kKLVTCFGdprAppliesKey[] = "IABTCF_gdprApplies";
inline constexpr char kKLVTCFPolicyVersionKey[] = "IABTCF_PolicyVersion";
inline constexpr char kKLVTCFPurposeConsentsKey[] = "IABTCF_PurposeConsents";
inline constexpr char kKLVTCFDataEnabledKey[] = "NEXORY_ANALYTICS_TCF_DATA_ENABLED";

}  // namespace engine
