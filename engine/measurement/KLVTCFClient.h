#pragma once

// Turns the TCF keys into the engine's consent: reports every change with "_tcf", remembers
// what it last saw in a suite of its own, and, when the consent-management platform asks for
// it, hands "ad_storage", "ad_personalization" and "ad_user_data" to the front door as consent
// of the TCF source. Worker queue only.

#include <functional>
#include <memory>
#include <string>

#include "engine/measurement/KLVTCFData.h"
#include "platform/foundation/Object.h"

namespace engine {

inline constexpr char kKLVTCFSuiteName[] = "com.nexory.zkt.measurement.tcf.userdefaults";
inline constexpr char kKLVTCFStringRepresentationKey[] = "tcf_StringRepresentation";

// Where TCF consent goes (the front door's consent call under the TCF key); installed by it.
using KLVTCFConsentHandOver = std::function<void(const platform::Dictionary& consent)>;
void KLVSetTCFConsentHandOver(KLVTCFConsentHandOver handOver);

class KLVTCFClient {
  public:
    KLVTCFClient();
    ~KLVTCFClient();

    void readTCFData();
    bool shouldApplyTCFData() const;
    void setConsentFromTCFData();
    void logTCFChangedEvent() const;
    void storeCurrentData();
    std::string stringRepresentationFromTCFData() const;
    static const char* consentStatusFromEnabled(bool enabled);
    bool persistedValuesEqualCurrentData() const;
    // "_tcfd": the format version, the CMP SDK ID, the policy version and the flags, in five
    // characters.
    std::string tcfBundleParameterValue() const;
    void clearPersistedValues();

    const KLVTCFData& tcfData() const { return tcfData_; }
    bool isDMARegion() const { return isDMARegion_; }
    void setIsDMARegion(bool isDMARegion) { isDMARegion_ = isDMARegion; }

  private:
    KLVTCFData tcfData_;
    std::unique_ptr<KLVUserDefaults> userDefaults_;
    bool isDMARegion_ = true;
};

}  // namespace engine
