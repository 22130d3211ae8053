#include "engine/measurement/KLVTCFClient.h"

#include <mutex>

#include "engine/base/KLVInternalNames.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/stores/KLVUserDefaults.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NoDestructor.h"

namespace engine {

namespace {

constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
constexpr std::size_t kNexoryVendorIndex = 754;

bool isBitEnabled(const std::optional<std::string>& bits, std::size_t index) {
    return bits && index < bits->size() && (*bits)[index] == '1';
}

bool isYes(const platform::Object& value) {
    return value.isNumber() && value.numberAsInteger().value_or(0) != 0;
}

std::int64_t integerOf(const platform::Object& value) {
    return value.numberAsInteger().value_or(0);
}

struct HandOverSlot {
    std::mutex mutex;
    std::shared_ptr<const KLVTCFConsentHandOver> handOver;
};

HandOverSlot& handOverSlot() {
    static platform::NoDestructor<HandOverSlot> slot;
    return slot.get();
}

}  // namespace

void KLVSetTCFConsentHandOver(KLVTCFConsentHandOver handOver) {
    auto installed =
        handOver ? std::make_shared<const KLVTCFConsentHandOver>(std::move(handOver)) : nullptr;
    std::lock_guard lock(handOverSlot().mutex);
    handOverSlot().handOver = std::move(installed);
}

// ---- KLVTCFData -------------------------------------------------------------------------------

KLVTCFData::KLVTCFData()
    : userDefaults_(KLVUserDefaults::sharedUserDefaults()),
      isTCFDataEnabled_(readTCFDataEnabledStateFromPlist()) {}

bool KLVTCFData::readTCFDataEnabledStateFromPlist() {
    const auto& info = platform::Bundle::mainBundle().infoDictionary();
    const auto found = info.find(kKLVTCFDataEnabledKey);
    if (found == info.end()) return true;
    return isYes(found->second);
}

void KLVTCFData::readFromUserDefaults() {
    isAdvertiserConsentModeEnabled_ = userDefaults_.numberForKey(kKLVTCFAdvertiserConsentModeKey);
    vendorConsents_ = userDefaults_.stringForKey(kKLVTCFVendorConsentsKey);
    cmpSDKID_ = userDefaults_.numberForKey(kKLVTCFCmpSDKIDKey);
    gdprApplies_ = userDefaults_.numberForKey(kKLVTCFGdprAppliesKey);
    policyVersion_ = userDefaults_.numberForKey(kKLVTCFPolicyVersionKey);
    purposeConsents_ = userDefaults_.stringForKey(kKLVTCFPurposeConsentsKey);
}

bool KLVTCFData::hasNexoryInVendorConsents() const {
    return isBitEnabled(vendorConsents_, kNexoryVendorIndex);
}

bool KLVTCFData::isAdStoragePurposeGranted() const {
    return isBitEnabled(purposeConsents_, 0);
}

bool KLVTCFData::isAdPersonalizationPurposeGranted() const {
    return isBitEnabled(purposeConsents_, 2) && isBitEnabled(purposeConsents_, 3);
}

bool KLVTCFData::canAccessAdUserDataPurpose() const {
    return policyVersion_.isNumber() && integerOf(policyVersion_) >= 4;
}

bool KLVTCFData::isAdUserDataPurposeGranted() const {
    return canAccessAdUserDataPurpose() && isBitEnabled(purposeConsents_, 0) &&
           isBitEnabled(purposeConsents_, 6);
}

// ---- KLVTCFClient -----------------------------------------------------------------------------

KLVTCFClient::KLVTCFClient()
    : userDefaults_(KLVUserDefaults::initWithSuiteName(kKLVTCFSuiteName)) {}

KLVTCFClient::~KLVTCFClient() = default;

void KLVTCFClient::readTCFData() {
    tcfData_.readFromUserDefaults();
}

bool KLVTCFClient::shouldApplyTCFData() const {
    return tcfData_.isTCFDataEnabled() && isYes(tcfData_.isAdvertiserConsentModeEnabled()) &&
           tcfData_.hasNexoryInVendorConsents() && isYes(tcfData_.gdprApplies());
}

const char* KLVTCFClient::consentStatusFromEnabled(bool enabled) {
    return enabled ? "granted" : "denied";
}

void KLVTCFClient::setConsentFromTCFData() {
    readTCFData();
    if (persistedValuesEqualCurrentData()) return;
    logTCFChangedEvent();
    storeCurrentData();
    if (!shouldApplyTCFData()) return;
    const platform::Dictionary consent = {
        {"ad_storage", consentStatusFromEnabled(tcfData_.isAdStoragePurposeGranted())},
        {"ad_personalization",
         consentStatusFromEnabled(tcfData_.isAdPersonalizationPurposeGranted())},
        {"ad_user_data", consentStatusFromEnabled(tcfData_.isAdUserDataPurposeGranted())},
    };
    std::shared_ptr<const KLVTCFConsentHandOver> handOver;
    {
        std::lock_guard lock(handOverSlot().mutex);
        handOver = handOverSlot().handOver;
    }
    if (handOver) (*handOver)(consent);
}

void KLVTCFClient::logTCFChangedEvent() const {
    KLVLogInternalEvent(kKLVAutoOrigin, "_tcf", {{"_tcfd", tcfBundleParameterValue()}});
}

void KLVTCFClient::storeCurrentData() {
    auto& defaults = *userDefaults_;
    defaults.setBool(tcfData_.isTCFDataEnabled(), kKLVTCFDataEnabledKey);
    const auto storeObject = [&](const platform::Object& value, const char* key) {
        if (value.isNull()) {
            defaults.removeObjectForKey(key);
        } else {
            defaults.setObject(value, key);
        }
    };
    const auto storeString = [&](const std::optional<std::string>& value, const char* key) {
        storeObject(value ? platform::Object(*value) : platform::Object(), key);
    };
    storeObject(tcfData_.isAdvertiserConsentModeEnabled(), kKLVTCFAdvertiserConsentModeKey);
    storeString(tcfData_.vendorConsents(), kKLVTCFVendorConsentsKey);
    storeObject(tcfData_.cmpSDKID(), kKLVTCFCmpSDKIDKey);
    storeObject(tcfData_.gdprApplies(), kKLVTCFGdprAppliesKey);
    storeObject(tcfData_.policyVersion(), kKLVTCFPolicyVersionKey);
    storeString(tcfData_.purposeConsents(), kKLVTCFPurposeConsentsKey);
    defaults.setObject(platform::Object(stringRepresentationFromTCFData()),
                       kKLVTCFStringRepresentationKey);
}

std::string KLVTCFClient::stringRepresentationFromTCFData() const {
    const auto& d = tcfData_;
    std::string out = "isTCFDataEnabled=" + std::to_string(d.isTCFDataEnabled() ? 1 : 0);
    const auto add = [&](const char* name, const std::string& value) {
        out += std::string(",") + name + "=" + value;
    };
    if (d.isAdvertiserConsentModeEnabled().isNumber()) {
        add("isAdvertiserConsentModeEnabled",
            std::to_string(isYes(d.isAdvertiserConsentModeEnabled()) ? 1 : 0));
    }
    if (d.cmpSDKID().isNumber()) add("cmpSDKID", std::to_string(integerOf(d.cmpSDKID())));
    if (d.vendorConsents()) {
        add("hasNexoryInVendorConsents", std::to_string(d.hasNexoryInVendorConsents() ? 1 : 0));
    }
    if (d.gdprApplies().isNumber()) {
        add("gdprApplies", std::to_string(isYes(d.gdprApplies()) ? 1 : 0));
    }
    if (d.policyVersion().isNumber()) {
        add("policyVersion", std::to_string(integerOf(d.policyVersion())));
    }
    if (d.purposeConsents()) add("purposeConsents", *d.purposeConsents());
    return out;
}

bool KLVTCFClient::persistedValuesEqualCurrentData() const {
    const auto stored = userDefaults_->stringForKey(kKLVTCFStringRepresentationKey);
    const std::string current = stringRepresentationFromTCFData();
    if (!stored) return current == "isTCFDataEnabled=1";
    return *stored == current;
}

std::string KLVTCFClient::tcfBundleParameterValue() const {
    const auto& d = tcfData_;
    std::string out = "1";
    const std::int64_t cmp = integerOf(d.cmpSDKID());
    if (cmp >= 0 && cmp < 4096) {
        out += kAlphabet[(cmp >> 6) & 63];
        out += kAlphabet[cmp & 63];
    } else {
        out += "00";
    }
    const std::int64_t policy = integerOf(d.policyVersion());
    out += policy >= 0 && policy < 64 ? kAlphabet[policy] : '0';
    const int flags = 8 * isYes(d.isAdvertiserConsentModeEnabled()) + 4 * d.isTCFDataEnabled() +
                      2 * isYes(d.gdprApplies()) + (isDMARegion_ ? 1 : 0);
    out += kAlphabet[flags];
    return out;
}

void KLVTCFClient::clearPersistedValues() {
    userDefaults_->clearAllData();
}

}  // namespace engine
