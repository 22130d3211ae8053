#pragma once

// The thin layer in front of the platform's advertising identifier and tracking authorisation.
// Both are reached only through an optional provider: when the app links a platform identity
// support, it registers it (setPlatformIdentitySupport) before the shared instance is first
// used; without one, the engine has no advertising identifier and no authorisation status.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/SerialQueue.h"

namespace engine {

// The tracking-authorisation codes of appleConsentStatus().
inline constexpr std::uint64_t kKLVTrackingRestricted = 1;
inline constexpr std::uint64_t kKLVTrackingDenied = 2;
inline constexpr std::uint64_t kKLVTrackingAuthorized = 3;
inline constexpr std::uint64_t kKLVTrackingNotDetermined = 4;
inline constexpr std::uint64_t kKLVTrackingUnavailable = 5;
inline constexpr std::uint64_t kKLVTrackingNoAdvertisingService = 6;

// The advertising identifier reported when the user limited ad tracking.
inline constexpr char kKLVZeroAdvertisingIdentifier[] = "00000000-0000-0000-0000-000000000000";

// What a platform identity support answers.
class KLVIdentitySupport {
  public:
    virtual ~KLVIdentitySupport() = default;
    // The tracking-authorisation service exists.
    virtual bool hasAppDataConsentStatus() = 0;
    // 0 not determined, 1 restricted, 2 denied, 3 authorised; -1 when unavailable.
    virtual std::int64_t appDataConsentStatus() = 0;
    // The advertising-identifier service exists.
    virtual bool hasLimitedAdTracking() = 0;
    virtual bool limitedAdTracking() = 0;
    // The advertising identifier as UUID text; nothing when unavailable. May be slow.
    virtual std::optional<std::string> resettableDeviceID() = 0;
};

class KLVDefaultIdentitySupport {
  public:
    // How long resettableDeviceID() waits for the provider.
    static constexpr double kResettableDeviceIDWaitSeconds = 0.010;

    // The shared instance, over the provider registered when it is created (logged, codes 44000
    // to 44003).
    static std::shared_ptr<KLVDefaultIdentitySupport> sharedInstance();
    // The platform identity support of this process (null: none). Takes effect for the shared
    // instance created after the call.
    static void setPlatformIdentitySupport(std::shared_ptr<KLVIdentitySupport> provider);
    // The tracking-authorisation model of OS 14 and later is the only one this platform has.
    static bool iOS14OrAbove() { return true; }

    explicit KLVDefaultIdentitySupport(
        std::shared_ptr<KLVIdentitySupport> provider,
        double resettableDeviceIDWaitSeconds = kResettableDeviceIDWaitSeconds);
    ~KLVDefaultIdentitySupport();
    KLVDefaultIdentitySupport(const KLVDefaultIdentitySupport&) = delete;
    KLVDefaultIdentitySupport& operator=(const KLVDefaultIdentitySupport&) = delete;

    bool hasAppDataConsentStatus();
    std::int64_t appDataConsentStatus();
    bool hasLimitedAdTracking();
    // True when there is no advertising identifier or it is the all-zero one.
    bool limitedAdTracking();
    // Asks the provider on this object's queue and waits at most the wait time; when the answer
    // is late, the previous answer is returned (the late one is kept for the next call). While
    // one request is in flight no other is queued.
    std::optional<std::string> resettableDeviceID();

  private:
    const std::shared_ptr<KLVIdentitySupport> provider_;
    const double waitSeconds_;
    std::mutex mutex_;
    std::condition_variable answerArrived_;
    std::optional<std::string> lastResettableDeviceID_;
    std::uint64_t answerCount_ = 0;
    bool requestPending_ = false;
    // Last: destroyed first, so that a late block finds the rest of the object alive.
    std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace engine
