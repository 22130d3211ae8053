#pragma once

// The front door's process-wide state (internal to engine/frontdoor). Created on first use and
// kept for the process; a test reset replaces it. The data come first so that they outlive the
// queues, whose destruction still runs the blocks already queued.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/frontdoor/KLVAnalytics.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/SerialQueue.h"

namespace engine {

struct FrontDoorState {
    FrontDoorState();
    ~FrontDoorState();
    FrontDoorState(const FrontDoorState&) = delete;
    FrontDoorState& operator=(const FrontDoorState&) = delete;

    bool isAppDelegateProxyEnabled() const;

    // The once-only part of the start. `started` is set as the start begins on its caller's
    // thread; `startQueued` once the block that makes the measurement service is on the serial
    // queue, which a finish waits for (startChanged) before it looks for the service.
    std::mutex startMutex;
    std::condition_variable startChanged;
    bool started = false;
    bool startQueued = false;
    // Written once by the start before its block is dispatched; read on the serial queue.
    std::atomic<bool> deactivated{false};
    // Written on the serial queue; read there (and by tests).
    std::atomic<bool> enabled{false};
    std::atomic<bool> droppedOperationLogged{false};
    std::atomic<bool> appDelegateProxyCreated{false};
    std::atomic<std::uint64_t> nextListenerToken{1};
    // Serial queue only.
    KLVLogEventInterceptor interceptor;
    KLVOpenURLListener openURLListener;
    std::optional<std::map<std::uint64_t, KLVLogEventListener>> listeners;
    // Clock read and enqueue of one event, together.
    std::mutex timestampMutex;
    // Events queued for the service and not yet handed to it. An event moves from this count to
    // the service's under handOverMutex, which a reader of both takes too: it sees each event
    // once.
    std::atomic<std::int64_t> eventsOnTheWay{0};
    std::mutex handOverMutex;
    // The shared purchase reporter, made on first use.
    std::once_flag purchaseReporterOnce;
    std::shared_ptr<KLVInAppPurchaseTransactionReporter> purchaseReporter;

    platform::SerialQueue serialQueue{kKLVAnalyticsQueueLabel};
    platform::OperationQueue operationQueue{kKLVAnalyticsOperationQueueName};
};

FrontDoorState& frontDoor();

}  // namespace engine
