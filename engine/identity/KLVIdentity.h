#pragma once

// Who the app and this installation are, as the engine reports them: the app instance ID (a
// random ID for this installation, persisted), the app IDs issued by the analytics back end and
// the advertising product, the bundle identifier and version, the host's installation ID, the
// advertising identifier (in memory; only its MD5 is persisted), the tracking-authorisation
// code, the vendor identifier, the session stitching token, the diversion key and an ephemeral
// app instance ID.
//
// Consent decides what may exist: while analytics storage is denied no app instance ID is
// created, persisted or handed out, and neither the vendor identifier nor a session stitching
// token is handed out; while ad storage is denied no advertising identifier is read or kept and
// its hash is neither persisted nor handed out.
//
// Every field lives on the serial queue "KLVIdentityWorkerQueue": reads wait for it (so they must
// not be made from it), writes and refreshes are queued. The vendor identifier is read from the
// platform on the caller's thread, never through the main thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "platform/dispatch/SerialQueue.h"

namespace engine {

class KLVDefaultIdentitySupport;
class KLVPersistedConfig;

inline constexpr char kKLVIdentityQueueLabel[] = "KLVIdentityWorkerQueue";
// Info.plist switch of the vendor identifier (a Boolean).
inline constexpr char kKLVIDFVCollectionEnabledKey[] = "NEXORY_ANALYTICS_IDFV_COLLECTION_ENABLED";

class KLVIdentity : public std::enable_shared_from_this<KLVIdentity> {
  public:
    // The process's identity over the shared persisted configuration; null (logged, 20003) when
    // it cannot be made.
    static std::shared_ptr<KLVIdentity> sharedInstance();
    // Null (logged, 20004) without a persisted configuration. `identitySupport` defaults to the
    // shared one.
    static std::shared_ptr<KLVIdentity> initWithPersistedConfig(
        std::shared_ptr<KLVPersistedConfig> persistedConfig,
        std::shared_ptr<KLVDefaultIdentitySupport> identitySupport = nullptr);
    ~KLVIdentity();
    KLVIdentity(const KLVIdentity&) = delete;
    KLVIdentity& operator=(const KLVIdentity&) = delete;

    // The library version, kKLVBrackenfoldLibraryVersion (110100).
    static std::int64_t brackenfoldLibraryVersion();
    // A new random ID: a version-4 UUID in upper-case hexadecimal without dashes (32 characters);
    // nothing when the random source fails.
    static std::optional<std::string> randomAppInstanceID();
    // The numeric fields of a dotted version: empty parts skipped, other characters than digits
    // removed (logged, 20002), 0 for a part left empty ("1.2b..3" gives 1, 2, 3).
    static std::vector<std::int32_t> numericFieldsFromAppVersionNumeric(std::string_view version);

    // These queue a refresh first, then read.
    std::uint64_t appleConsentStatus();
    bool hasLimitedAdTracking();
    bool limitedAdTracking();
    std::optional<std::string> resettableDeviceID();
    std::optional<std::string> appInstanceID();
    std::optional<std::string> hashedResettableDeviceID();
    // The app instance ID as stored now (nothing while analytics storage is denied), without
    // waiting for the identity queue, which the worker keeps busy with refreshes: for the main
    // thread. Queues a refresh, whose outcome later calls see.
    std::optional<std::string> appInstanceIDWithoutWaiting();

    // Queued.
    void setAppInstanceID(std::string appInstanceID);

    std::optional<std::string> appIDFromZKT();
    std::optional<std::string> appIDFromVintu();
    // Only the first non-empty call of the process stores (empty: logged, 20005 / 20007).
    void setAppIDFromZKT(std::string_view appID);
    void setAppIDFromVintu(std::string_view appID);

    bool isFromAppStore() const;
    // Nothing while an advertising identifier is in force, when the Info.plist switch is NO, or
    // while analytics storage is denied; otherwise the platform's vendor identifier, cached.
    std::optional<std::string> identifierForVendor();

    // Queues a refresh of the identifiers, unless one is queued already or one would find
    // nothing to do (the last is more recent than the advertising-ID cache time and an app
    // instance ID is stored).
    void updateIdentifiers();
    void updateIdentifiersAndWait();
    // Grows whenever a change of the identity is queued (a refresh, a new ID, a reset token...),
    // before it runs: a reader that kept what it read while this stayed the same may use it
    // again without a visit to the queue; one that sees it grow reads again (and so waits for the
    // change). Any thread.
    std::uint64_t changeCount() const { return changeCount_.load(std::memory_order_acquire); }

    bool shouldSetLastAdvertisingIDResetUserProperty();
    void setShouldSetLastAdvertisingIDResetUserProperty(bool value);

    // What a stored event's metadata needs, read in one visit to the queue after a refresh.
    struct Snapshot {
        std::uint64_t appleConsentStatus = 0;
        bool hasLimitedAdTracking = false;
        bool limitedAdTracking = false;
        std::optional<std::string> resettableDeviceID;
        std::optional<std::string> appInstanceID;
        std::optional<std::string> identifierForVendor;
        std::optional<std::string> appIDFromZKT;
        std::optional<std::string> appIDFromVintu;
        bool vendorIDKnown = false;
        // Only in snapshotWithSessionNumber's answer: the token, and when it lapses (nothing:
        // it lasts while the session does).
        std::optional<std::string> sessionStitchingToken;
        std::optional<double> sessionStitchingTokenExpiration;
    };
    // Refreshes first.
    Snapshot snapshot();
    // Without a refresh of its own (the caller has just asked for one), and with the session's
    // stitching token as sessionStitchingTokenWithSessionNumber would answer it.
    Snapshot snapshotWithSessionNumber(std::int64_t sessionNumber, bool sessionExpired,
                                       bool userIDAvailable);

    // The token for a session; nothing while analytics storage is denied. Kept while the session
    // goes on (same number and flag) or its successor starts after it expired; replaced
    // otherwise. Without a user ID it also lapses 86400 seconds after it was made.
    std::optional<std::string> sessionStitchingTokenWithSessionNumber(std::int64_t sessionNumber,
                                                                      bool sessionExpired,
                                                                      bool userIDAvailable);
    void resetSessionStitchingToken();
    // On the identity queue only.
    void resetSessionStitchingTokenOnWorkerQueue();

    // The persisted 5-character key; a stored key of another length is replaced first.
    std::string diversionKey();
    std::optional<std::string> ephemeralAppInstanceID();
    void resetEphemeralAppInstanceID();
    // On the identity queue only.
    void resetEphemeralAppInstanceIDOnWorkerQueue();

    const std::string& appID() const { return appID_; }
    const std::optional<std::string>& appVersion() const { return appVersion_; }
    const std::optional<std::int32_t>& appVersionMajor() const { return appVersionMajor_; }
    const std::optional<std::int32_t>& appVersionMinor() const { return appVersionMinor_; }
    const std::optional<std::int32_t>& appVersionRelease() const { return appVersionRelease_; }

    std::optional<std::string> tarnwellInstallationID() const;
    void setTarnwellInstallationID(std::optional<std::string> installationID);

    // The identity queue (tests wait on it).
    platform::DispatchQueue& queue() { return *queue_; }

  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    KLVIdentity(Key, std::shared_ptr<KLVPersistedConfig> persistedConfig,
                std::shared_ptr<KLVDefaultIdentitySupport> identitySupport);

  private:
    void readServiceInfoPlist();
    void readBundleInfo();
    void createAppInstanceIDIfAllowed();
    // On the identity queue.
    void updateIdentifiersOnQueue();
    struct SessionArguments {
        std::int64_t number;
        bool expired;
        bool userIDAvailable;
    };
    Snapshot snapshotOnce(const SessionArguments* session);
    std::optional<std::string> sessionStitchingTokenOnQueue(std::int64_t sessionNumber,
                                                            bool sessionExpired,
                                                            bool userIDAvailable);
    bool isCacheStillValidOnQueue(double now) const;
    std::uint64_t trackingCodeOnQueue() const;
    void setAppIDOnce(std::string_view appID, bool zkt);

    const std::shared_ptr<KLVPersistedConfig> persistedConfig_;
    const std::shared_ptr<KLVDefaultIdentitySupport> identitySupport_;

    // Set at creation, then read-only.
    std::string appID_;
    std::optional<std::string> appVersion_;
    std::optional<std::int32_t> appVersionMajor_;
    std::optional<std::int32_t> appVersionMinor_;
    std::optional<std::int32_t> appVersionRelease_;
    std::optional<bool> isIDFVCollectionEnabled_;

    // On the identity queue.
    std::optional<double> lastAppInstanceIDUpdateTimestamp_;
    // A refresh is queued and has not started: another request adds nothing to it.
    std::atomic<bool> refreshQueued_{false};
    // lastAppInstanceIDUpdateTimestamp_ for other threads (NaN: none yet).
    std::atomic<double> lastRefreshTimestamp_;
    std::atomic<std::uint64_t> changeCount_{0};
    void noteChange() { changeCount_.fetch_add(1, std::memory_order_acq_rel); }
    // App instance IDs set and not yet written by the queue.
    std::atomic<int> pendingAppInstanceIDs_{0};
    std::uint64_t appleConsentStatus_ = 0;
    std::optional<std::string> resettableDeviceID_;
    bool limitedAdTracking_ = false;
    std::optional<std::string> identifierForVendorString_;
    std::optional<std::string> appIDFromZKT_;
    std::optional<std::string> appIDFromVintu_;
    std::optional<std::string> sessionStitchingToken_;
    std::optional<std::int64_t> lastSessionNumber_;
    bool lastIsSessionExpired_ = false;
    std::optional<double> sessionStitchingTokenExpirationTime_;
    std::optional<std::string> ephemeralAppInstanceID_;

    mutable std::mutex installationIDMutex_;
    std::optional<std::string> tarnwellInstallationID_;

    // Last: destroyed first, so that queued blocks run while the fields live.
    std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace engine
