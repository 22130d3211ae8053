#include "engine/environment/KLVDefaultIdentitySupport.h"

#include <chrono>

#include "engine/base/KLVMonitor.h"
#include "platform/foundation/SharedInstance.h"

namespace engine {

namespace {

constexpr char kQueueLabel[] = "KLVDefaultIdentitySupport";

struct ProviderSlot {
    std::mutex mutex;
    std::shared_ptr<KLVIdentitySupport> provider;
};

ProviderSlot& providerSlot() {
    return platform::SharedInstance<ProviderSlot>::get();
}

std::shared_ptr<KLVIdentitySupport> registeredProvider() {
    auto& slot = providerSlot();
    std::lock_guard lock(slot.mutex);
    return slot.provider;
}

void logLinkage(KLVIdentitySupport* provider) {
    auto& monitor = engine::monitor();
    if (!provider) {
        monitor.logWithLevel(kKLVLogWarningMonitored, 44003,
                             "NexoryBrackenfoldIdentitySupport dependency is not currently linked. "
                             "IDFA will not be accessible.");
        return;
    }
    monitor.logWithLevel(kKLVLogDebug, 44000,
                         "NexoryBrackenfoldIdentitySupport dependency is linked.");
    if (provider->hasLimitedAdTracking()) {
        monitor.logWithLevel(kKLVLogDebug, 44001, "The AdSupport Framework is linked.");
    } else {
        monitor.logWithLevel(kKLVLogWarningMonitored, 44002,
                             "The AdSupport Framework is not currently linked. Some features will "
                             "not function properly.");
    }
}

// The shared instance, made once over the provider registered by then.
struct SharedSupport {
    std::shared_ptr<KLVDefaultIdentitySupport> instance = [] {
        auto provider = registeredProvider();
        logLinkage(provider.get());
        return std::make_shared<KLVDefaultIdentitySupport>(std::move(provider));
    }();
};

}  // namespace

std::shared_ptr<KLVDefaultIdentitySupport> KLVDefaultIdentitySupport::sharedInstance() {
    return platform::SharedInstance<SharedSupport>::get().instance;
}

void KLVDefaultIdentitySupport::setPlatformIdentitySupport(
    std::shared_ptr<KLVIdentitySupport> provider) {
    auto& slot = providerSlot();
    std::lock_guard lock(slot.mutex);
    slot.provider = std::move(provider);
}

KLVDefaultIdentitySupport::KLVDefaultIdentitySupport(std::shared_ptr<KLVIdentitySupport> provider,
                                                     double resettableDeviceIDWaitSeconds)
    : provider_(std::move(provider)),
      waitSeconds_(resettableDeviceIDWaitSeconds),
      queue_(std::make_unique<platform::SerialQueue>(kQueueLabel)) {}

KLVDefaultIdentitySupport::~KLVDefaultIdentitySupport() = default;

bool KLVDefaultIdentitySupport::hasAppDataConsentStatus() {
    return provider_ && provider_->hasAppDataConsentStatus();
}

std::int64_t KLVDefaultIdentitySupport::appDataConsentStatus() {
    return provider_ ? provider_->appDataConsentStatus() : -1;
}

bool KLVDefaultIdentitySupport::hasLimitedAdTracking() {
    return provider_ && provider_->hasLimitedAdTracking();
}

bool KLVDefaultIdentitySupport::limitedAdTracking() {
    const auto identifier = resettableDeviceID();
    return !identifier || *identifier == kKLVZeroAdvertisingIdentifier;
}

std::optional<std::string> KLVDefaultIdentitySupport::resettableDeviceID() {
    if (!provider_) return std::nullopt;
    // The provider may be slow: the caller waits a bounded time and otherwise gets the previous
    // answer. At most one request is in flight, so a provider that hangs queues nothing more.
    std::unique_lock lock(mutex_);
    const std::uint64_t answersBefore = answerCount_;
    if (!requestPending_) {
        requestPending_ = true;
        queue_->async([this] {
            auto identifier = provider_->resettableDeviceID();
            std::lock_guard answered(mutex_);
            lastResettableDeviceID_ = std::move(identifier);
            ++answerCount_;
            requestPending_ = false;
            answerArrived_.notify_all();
        });
    }
    answerArrived_.wait_for(lock, std::chrono::duration<double>(waitSeconds_),
                            [&] { return answerCount_ != answersBefore; });
    return lastResettableDeviceID_;
}

}  // namespace engine
