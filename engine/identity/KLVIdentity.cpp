#include "engine/identity/KLVIdentity.h"

#include "engine/base/KLVLibraryVersion.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "engine/base/KLVAEU.h"
#include "engine/base/KLVMonitor.h"
#include "engine/base/KLVStringAdditions.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/environment/KLVInfoPlistFileUtil.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/security/UUID.h"
#include "platform/security/VendorIdentifier.h"

namespace engine {

namespace {

constexpr std::size_t kDiversionKeyLength = 5;
constexpr double kSessionStitchingTokenLifetime = 86400;

// The shared identity, made once.
struct SharedIdentity {
    std::shared_ptr<KLVIdentity> instance = [] {
        auto identity = KLVIdentity::initWithPersistedConfig(KLVPersistedConfig::sharedInstance());
        if (!identity)
            monitor().logWithLevel(kKLVLogErrorSilent, 20003, "Identity's shared instance is nil");
        return identity;
    }();
};

// The app IDs may be set once per process each.
struct AppIDOnce {
    std::once_flag zkt;
    std::once_flag vintu;
};

std::optional<std::string> stringValue(const platform::Object& object) {
    if (const auto* text = object.getString()) return *text;
    return std::nullopt;
}

// Digits of a version field as a 32-bit number, saturating as the phone's intValue does.
std::int32_t int32FromDigits(std::string_view digits) {
    if (digits.empty()) return 0;
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec == std::errc::result_out_of_range) return std::numeric_limits<std::int32_t>::max();
    return value;
}

}  // namespace

// --- Creation ------------------------------------------------------------------------------

std::shared_ptr<KLVIdentity> KLVIdentity::sharedInstance() {
    return platform::SharedInstance<SharedIdentity>::get().instance;
}

std::shared_ptr<KLVIdentity> KLVIdentity::initWithPersistedConfig(
    std::shared_ptr<KLVPersistedConfig> persistedConfig,
    std::shared_ptr<KLVDefaultIdentitySupport> identitySupport) {
    if (!persistedConfig) {
        monitor().logWithLevel(
            kKLVLogErrorSilent, 20004,
            "Unable to create measurement identity, missing a valid persisted config instance");
        return nullptr;
    }
    if (!identitySupport) identitySupport = KLVDefaultIdentitySupport::sharedInstance();
    return std::make_shared<KLVIdentity>(Key{}, std::move(persistedConfig),
                                         std::move(identitySupport));
}

KLVIdentity::KLVIdentity(Key, std::shared_ptr<KLVPersistedConfig> persistedConfig,
                         std::shared_ptr<KLVDefaultIdentitySupport> identitySupport)
    : persistedConfig_(std::move(persistedConfig)),
      identitySupport_(std::move(identitySupport)),
      lastRefreshTimestamp_(std::numeric_limits<double>::quiet_NaN()),
      queue_(std::make_unique<platform::SerialQueue>(kKLVIdentityQueueLabel)) {
    readServiceInfoPlist();
    readBundleInfo();
    createAppInstanceIDIfAllowed();
}

KLVIdentity::~KLVIdentity() = default;

void KLVIdentity::readServiceInfoPlist() {
    const auto service = KLVInfoPlistFileUtil::dictionaryFromNexoryServiceInfoPlist();
    if (service && !service->empty()) {
        const platform::Object plist(*service);
        appIDFromZKT_ = stringValue(plist[kKLVServiceInfoPlistAppIDKey]);
        appIDFromVintu_ = stringValue(plist[kKLVServiceInfoPlistVintuAppIDKey]);
    }
    // The public interface is part of every build of this process.
    if (!appIDFromZKT_ || appIDFromZKT_->empty()) {
        monitor().logWithLevel(kKLVLogError, 20006,
                               "Nexory App ID from NexoryService-Info.plist is empty. Please, "
                               "define NEXORY_APP_ID in NexoryService-Info.plist for Analytics to "
                               "work reliably.");
    }
}

void KLVIdentity::readBundleInfo() {
    const auto bundle = platform::Bundle::mainBundle();
    const auto& idfvSwitch = bundle.objectForInfoDictionaryKey(kKLVIDFVCollectionEnabledKey);
    if (const auto enabled = idfvSwitch.numberAsDouble()) {
        isIDFVCollectionEnabled_ = *enabled != 0;
        monitor().logWithLevel(kKLVLogDebug, 20009,
                               platform::formatString("%@ = %@", kKLVIDFVCollectionEnabledKey,
                                                      *isIDFVCollectionEnabled_ ? "YES" : "NO"));
    }
    appID_ = bundle.bundleIdentifier();
    appVersion_ = stringValue(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"));
    if (const auto version = stringValue(bundle.objectForInfoDictionaryKey("CFBundleVersion"))) {
        const auto fields = numericFieldsFromAppVersionNumeric(*version);
        if (fields.size() > 0) appVersionMajor_ = fields[0];
        if (fields.size() > 1) appVersionMinor_ = fields[1];
        if (fields.size() > 2) appVersionRelease_ = fields[2];
    }
}

void KLVIdentity::createAppInstanceIDIfAllowed() {
    if (persistedConfig_->appInstanceID()) return;
    if (KLVConsentSettingsUtil::isAnalyticsStorageDenied()) return;
    if (auto identifier = randomAppInstanceID()) persistedConfig_->setAppInstanceID(identifier);
}

// --- Class helpers --------------------------------------------------------------------------

std::int64_t KLVIdentity::brackenfoldLibraryVersion() {
    return kKLVBrackenfoldLibraryVersion;
}

std::optional<std::string> KLVIdentity::randomAppInstanceID() {
    auto uuid = platform::randomUUIDString();
    if (!uuid) return std::nullopt;
    std::string identifier;
    identifier.reserve(32);
    for (const char c : *uuid) {
        if (c != '-') identifier.push_back(c);
    }
    return identifier;
}

std::vector<std::int32_t> KLVIdentity::numericFieldsFromAppVersionNumeric(
    std::string_view version) {
    std::vector<std::int32_t> fields;
    std::size_t start = 0;
    while (start <= version.size()) {
        const std::size_t end = std::min(version.find('.', start), version.size());
        const std::string_view part = version.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        std::string digits;
        for (const char c : part) {
            if (c >= '0' && c <= '9') digits.push_back(c);
        }
        if (digits.size() != part.size()) {
            monitor().logWithLevel(kKLVLogWarningSilent, 20002,
                                   "app version numeric has non-numeric characters");
        }
        fields.push_back(int32FromDigits(digits));
    }
    return fields;
}

// --- Reads after a refresh ------------------------------------------------------------------

std::uint64_t KLVIdentity::appleConsentStatus() {
    updateIdentifiers();
    return queue_->syncResult([this] { return appleConsentStatus_; });
}

bool KLVIdentity::hasLimitedAdTracking() {
    updateIdentifiers();
    return queue_->syncResult([this] { return identitySupport_->hasLimitedAdTracking(); });
}

bool KLVIdentity::limitedAdTracking() {
    updateIdentifiers();
    return queue_->syncResult([this] { return limitedAdTracking_; });
}

std::optional<std::string> KLVIdentity::resettableDeviceID() {
    updateIdentifiers();
    return queue_->syncResult([this] { return resettableDeviceID_; });
}

std::optional<std::string> KLVIdentity::appInstanceID() {
    updateIdentifiers();
    return queue_->syncResult([this]() -> std::optional<std::string> {
        if (KLVConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
        return persistedConfig_->appInstanceID();
    });
}

std::optional<std::string> KLVIdentity::appInstanceIDWithoutWaiting() {
    // An ID set and still queued (a caller may just have set it) is waited for.
    if (pendingAppInstanceIDs_.load() != 0) return appInstanceID();
    updateIdentifiers();
    if (KLVConsentSettingsUtil::appliedAnalyticsStorageDenied()) return std::nullopt;
    return persistedConfig_->appInstanceID();
}

std::optional<std::string> KLVIdentity::hashedResettableDeviceID() {
    updateIdentifiers();
    return queue_->syncResult([this]() -> std::optional<std::string> {
        if (KLVConsentSettingsUtil::isAdStorageDenied()) return std::nullopt;
        return persistedConfig_->hashedResettableDeviceID();
    });
}

void KLVIdentity::setAppInstanceID(std::string appInstanceID) {
    noteChange();
    pendingAppInstanceIDs_.fetch_add(1);
    queue_->async([this, appInstanceID = std::move(appInstanceID)] {
        persistedConfig_->setAppInstanceID(appInstanceID);
        pendingAppInstanceIDs_.fetch_sub(1);
    });
}

// --- App IDs --------------------------------------------------------------------------------

std::optional<std::string> KLVIdentity::appIDFromZKT() {
    return queue_->syncResult([this] { return appIDFromZKT_; });
}

std::optional<std::string> KLVIdentity::appIDFromVintu() {
    return queue_->syncResult([this] { return appIDFromVintu_; });
}

void KLVIdentity::setAppIDFromZKT(std::string_view appID) {
    if (appID.empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 20005, "Cannot set empty Nexory App ID");
        return;
    }
    setAppIDOnce(appID, true);
}

void KLVIdentity::setAppIDFromVintu(std::string_view appID) {
    if (appID.empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 20007, "Cannot set empty Vintu App ID");
        return;
    }
    setAppIDOnce(appID, false);
}

void KLVIdentity::setAppIDOnce(std::string_view appID, bool zkt) {
    auto& once = platform::SharedInstance<AppIDOnce>::get();
    std::call_once(zkt ? once.zkt : once.vintu, [&] {
        noteChange();
        queue_->async([this, value = std::string(appID), zkt] {
            (zkt ? appIDFromZKT_ : appIDFromVintu_) = value;
        });
    });
}

bool KLVIdentity::isFromAppStore() const {
    return KLVAEU::isFAS();
}

std::optional<std::string> KLVIdentity::identifierForVendor() {
    const auto cached = queue_->syncResult([this]() -> std::optional<std::optional<std::string>> {
        if (resettableDeviceID_ && !resettableDeviceID_->empty())
            return std::optional<std::string>();
        if (identifierForVendorString_) return identifierForVendorString_;
        return std::nullopt;
    });
    // An advertising identifier in force hides the vendor identifier.
    if (cached && !*cached) return std::nullopt;
    if (isIDFVCollectionEnabled_ == false) return std::nullopt;
    if (KLVConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
    if (cached) return *cached;

    // The platform answers on any thread; no hop to the main thread, which may itself be
    // waiting for this queue.
    auto identifier = platform::identifierForVendor();
    if (identifier) {
        noteChange();
        queue_->async([this, identifier] { identifierForVendorString_ = identifier; });
    }
    return identifier;
}

KLVIdentity::Snapshot KLVIdentity::snapshot() {
    updateIdentifiers();
    return snapshotOnce(nullptr);
}

KLVIdentity::Snapshot KLVIdentity::snapshotWithSessionNumber(std::int64_t sessionNumber,
                                                             bool sessionExpired,
                                                             bool userIDAvailable) {
    const SessionArguments session{sessionNumber, sessionExpired, userIDAvailable};
    return snapshotOnce(&session);
}

KLVIdentity::Snapshot KLVIdentity::snapshotOnce(const SessionArguments* session) {
    Snapshot snapshot = queue_->syncResult([&] {
        Snapshot s;
        s.appleConsentStatus = appleConsentStatus_;
        s.hasLimitedAdTracking = identitySupport_->hasLimitedAdTracking();
        s.limitedAdTracking = limitedAdTracking_;
        s.resettableDeviceID = resettableDeviceID_;
        const bool analyticsDenied = KLVConsentSettingsUtil::isAnalyticsStorageDenied();
        if (!analyticsDenied) {
            s.appInstanceID = persistedConfig_->appInstanceID();
            if (session) {
                s.sessionStitchingToken = sessionStitchingTokenOnQueue(
                    session->number, session->expired, session->userIDAvailable);
                s.sessionStitchingTokenExpiration = sessionStitchingTokenExpirationTime_;
            }
        }
        s.appIDFromZKT = appIDFromZKT_;
        s.appIDFromVintu = appIDFromVintu_;
        // The vendor identifier as identifierForVendor() answers it once it is cached.
        const bool hidden = (s.resettableDeviceID && !s.resettableDeviceID->empty()) ||
                            isIDFVCollectionEnabled_ == false || analyticsDenied;
        if (!hidden) s.identifierForVendor = identifierForVendorString_;
        s.vendorIDKnown = hidden || identifierForVendorString_.has_value();
        return s;
    });
    if (!snapshot.vendorIDKnown) snapshot.identifierForVendor = identifierForVendor();
    return snapshot;
}

// --- Refresh --------------------------------------------------------------------------------

void KLVIdentity::updateIdentifiers() {
    // Called before every stored event: a refresh still waiting on the queue reads the state
    // only when it runs, so a second one queued behind it would find nothing new.
    if (refreshQueued_.load(std::memory_order_acquire)) return;
    // The queue's own test, made here: while it holds, a refresh would return at once.
    const double last = lastRefreshTimestamp_.load(std::memory_order_acquire);
    if (!std::isnan(last)) {
        const double currentTime = platform::currentTime();
        if (last <= currentTime &&
            currentTime - last < KLVRemoteConfig::current()->adIDCacheTime() &&
            persistedConfig_->appInstanceID()) {
            return;
        }
    }
    if (refreshQueued_.exchange(true)) return;
    noteChange();
    queue_->async([this] {
        refreshQueued_.store(false);
        updateIdentifiersOnQueue();
    });
}

void KLVIdentity::updateIdentifiersAndWait() {
    updateIdentifiers();
    queue_->sync([] {});
}

bool KLVIdentity::isCacheStillValidOnQueue(double currentTime) const {
    if (!lastAppInstanceIDUpdateTimestamp_) return false;
    const double last = *lastAppInstanceIDUpdateTimestamp_;
    return last <= currentTime && currentTime - last < KLVRemoteConfig::current()->adIDCacheTime();
}

std::uint64_t KLVIdentity::trackingCodeOnQueue() const {
    if (!identitySupport_->hasLimitedAdTracking()) return kKLVTrackingNoAdvertisingService;
    if (!identitySupport_->hasAppDataConsentStatus()) return kKLVTrackingUnavailable;
    static constexpr std::uint64_t kCodeOfStatus[] = {kKLVTrackingNotDetermined,
                                                      kKLVTrackingRestricted, kKLVTrackingDenied,
                                                      kKLVTrackingAuthorized};
    const std::int64_t status = identitySupport_->appDataConsentStatus();
    if (status < 0 || status >= static_cast<std::int64_t>(std::size(kCodeOfStatus))) {
        return kKLVTrackingUnavailable;
    }
    return kCodeOfStatus[status];
}

void KLVIdentity::updateIdentifiersOnQueue() {
    const double currentTime = platform::currentTime();
    const auto persistedAppInstanceID = persistedConfig_->appInstanceID();
    if (persistedAppInstanceID && isCacheStillValidOnQueue(currentTime)) return;

    bool needsWrite = !persistedAppInstanceID;
    auto hash = persistedConfig_->hashedResettableDeviceID();
    auto advertisingID = resettableDeviceID_;
    const bool limited = identitySupport_->limitedAdTracking();
    const std::uint64_t code = trackingCodeOnQueue();
    const bool adStorageDenied = KLVConsentSettingsUtil::isAdStorageDenied();

    std::optional<std::string> readID;
    if (adStorageDenied) {
        advertisingID.reset();
    } else if (code == kKLVTrackingAuthorized ||
               !KLVRemoteConfig::current()->gateIDFAOnATTMASEnabled()) {
        readID = identitySupport_->resettableDeviceID();
    }

    std::optional<std::string> newAppInstanceID;
    if (readID && *readID == kKLVZeroAdvertisingIdentifier) {
        advertisingID.reset();
    } else if (readID && !readID->empty()) {
        advertisingID = readID;
        const auto newHash = klv_MD5String(*readID);
        if (newHash && newHash != hash) {
            // A different identifier than the one hashed before: a new device owner, as far as
            // measurement can tell, so a new app instance.
            if (hash && !hash->empty()) {
                newAppInstanceID = randomAppInstanceID();
                persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
            }
            hash = newHash;
            needsWrite = true;
        }
    }

    if (needsWrite) {
        if (!KLVConsentSettingsUtil::isAnalyticsStorageDenied()) {
            auto identifier = newAppInstanceID         ? newAppInstanceID
                              : persistedAppInstanceID ? persistedAppInstanceID
                                                       : randomAppInstanceID();
            if (identifier) persistedConfig_->setAppInstanceID(identifier);
        }
        if (!adStorageDenied && hash) persistedConfig_->setHashedResettableDeviceID(hash);
    }

    lastAppInstanceIDUpdateTimestamp_ = currentTime;
    lastRefreshTimestamp_.store(currentTime, std::memory_order_release);
    limitedAdTracking_ = limited;
    resettableDeviceID_ = advertisingID;
    appleConsentStatus_ = code;
}

bool KLVIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
    return queue_->syncResult(
        [this] { return persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
}

void KLVIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
    noteChange();
    queue_->async(
        [this, value] { persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(value); });
}

// --- Session stitching, diversion key, ephemeral ID ------------------------------------------

std::optional<std::string> KLVIdentity::sessionStitchingTokenWithSessionNumber(
    std::int64_t sessionNumber, bool sessionExpired, bool userIDAvailable) {
    return queue_->syncResult([&] {
        if (KLVConsentSettingsUtil::isAnalyticsStorageDenied()) return std::optional<std::string>();
        return sessionStitchingTokenOnQueue(sessionNumber, sessionExpired, userIDAvailable);
    });
}

std::optional<std::string> KLVIdentity::sessionStitchingTokenOnQueue(std::int64_t sessionNumber,
                                                                     bool sessionExpired,
                                                                     bool userIDAvailable) {
    const bool sameSession =
        lastSessionNumber_ == sessionNumber && lastIsSessionExpired_ == sessionExpired;
    const bool successorAfterExpiry =
        lastSessionNumber_ && *lastSessionNumber_ < std::numeric_limits<std::int64_t>::max() &&
        sessionNumber == *lastSessionNumber_ + 1 && lastIsSessionExpired_ && !sessionExpired;
    if (!sameSession && !successorAfterExpiry) resetSessionStitchingTokenOnWorkerQueue();
    lastSessionNumber_ = sessionNumber;
    lastIsSessionExpired_ = sessionExpired;

    const double currentTime = platform::currentTime();
    if (!userIDAvailable && sessionStitchingTokenExpirationTime_ &&
        *sessionStitchingTokenExpirationTime_ <= currentTime) {
        resetSessionStitchingTokenOnWorkerQueue();
    }
    if (!sessionStitchingToken_) {
        sessionStitchingToken_ = randomAppInstanceID();
        sessionStitchingTokenExpirationTime_.reset();
        if (!userIDAvailable) {
            sessionStitchingTokenExpirationTime_ = currentTime + kSessionStitchingTokenLifetime;
        }
    }
    return sessionStitchingToken_;
}

void KLVIdentity::resetSessionStitchingToken() {
    noteChange();
    queue_->async([this] { resetSessionStitchingTokenOnWorkerQueue(); });
}

void KLVIdentity::resetSessionStitchingTokenOnWorkerQueue() {
    sessionStitchingToken_.reset();
    sessionStitchingTokenExpirationTime_.reset();
}

std::string KLVIdentity::diversionKey() {
    return queue_->syncResult([this] {
        auto key = persistedConfig_->diversionKey();
        if (key && key->size() == kDiversionKeyLength) return *key;
        const auto source = randomAppInstanceID();
        if (!source) return key.value_or(std::string());
        const std::string newKey = source->substr(0, kDiversionKeyLength);
        persistedConfig_->setDiversionKey(newKey);
        return newKey;
    });
}

std::optional<std::string> KLVIdentity::ephemeralAppInstanceID() {
    return queue_->syncResult([this] {
        if (!ephemeralAppInstanceID_) ephemeralAppInstanceID_ = randomAppInstanceID();
        return ephemeralAppInstanceID_;
    });
}

void KLVIdentity::resetEphemeralAppInstanceID() {
    queue_->async([this] { resetEphemeralAppInstanceIDOnWorkerQueue(); });
}

void KLVIdentity::resetEphemeralAppInstanceIDOnWorkerQueue() {
    ephemeralAppInstanceID_.reset();
}

// --- Installation ID -------------------------------------------------------------------------

std::optional<std::string> KLVIdentity::tarnwellInstallationID() const {
    std::lock_guard lock(installationIDMutex_);
    return tarnwellInstallationID_;
}

void KLVIdentity::setTarnwellInstallationID(std::optional<std::string> installationID) {
    std::lock_guard lock(installationIDMutex_);
    tarnwellInstallationID_ = std::move(installationID);
    noteChange();
}

}  // namespace engine
