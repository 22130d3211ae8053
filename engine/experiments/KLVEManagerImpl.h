#pragma once

// The experiments manager: the single owner of the experiment state of every SDK that registers.
// Per SDK name it keeps the client, the default flags and three snapshots: pending (fetched, not
// yet in force), activated (the experiments in force) and launched (experiment 0). It answers
// flag look-ups from the activated snapshot, then the launched one, then the defaults (never the
// pending one), puts a pending snapshot in force when a client asks, tells clients about new
// snapshots and fetch errors, and gives the measurement service the active experiment IDs for
// each bundle. Fetching, scheduling and storage belong to its task manager.
//
// All state is read and written on the serial queue "KLVEExperimentSerialQueue", except the
// clients, which the task manager's worker queue reads directly.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "engine/experiments/KLVEMonitor.h"
#include "engine/experiments/KLVESnapshot.h"
#include "engine/experiments/KLVETaskManager.h"
#include "engine/settings/KLVEManager.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/utilities/WDLMutableDictionary.h"

namespace engine {

inline constexpr char kKLVEExperimentSerialQueueLabel[] = "KLVEExperimentSerialQueue";

class KLVEManagerImpl : public KLVEManager,
                        public KLVETaskManagerDelegate,
                        public std::enable_shared_from_this<KLVEManagerImpl> {
  public:
    // The process's manager, created on first use with its task manager started.
    static std::shared_ptr<KLVEManagerImpl> sharedInstance();
    // A manager over a new task manager, not started.
    static std::shared_ptr<KLVEManagerImpl> init();
    // A manager over `taskManager`, which it makes its delegate.
    static std::shared_ptr<KLVEManagerImpl> initWithTaskManager(
        std::shared_ptr<KLVETaskManager> taskManager);
    explicit KLVEManagerImpl(std::shared_ptr<KLVETaskManager> taskManager);
    KLVEManagerImpl(const KLVEManagerImpl&) = delete;
    KLVEManagerImpl& operator=(const KLVEManagerImpl&) = delete;

    // What every class of the component logs through.
    static KLVEMonitor& monitor();
    // The component's version sent in every request, 10000.
    static std::int64_t version();

    // The new client, returned before the registration has been stored on the queue; null for an
    // empty name (800001) or a default that is neither a number nor a string (800002). A later
    // registration of the name replaces the earlier one (800003).
    std::shared_ptr<KLVEClient> registerSDKProperty(
        const KLVESDKProperty& property, const platform::Dictionary& defaultFlags) override;
    std::shared_ptr<KLVEClient> clientForSDKName(std::string_view SDKName);
    // Of every SDK without a diversion key of its own, the IDs of its activated experiments, as
    // Integer objects, ascending; duplicates across SDKs kept.
    platform::Array experimentIDs() const override;
    // The value (a number or a string) from the activated snapshot, the launched one or the
    // defaults, in that order; null when none has it.
    platform::Object flagValueForFlagName(std::string_view flagName,
                                          std::string_view SDKName) override;
    // Puts the pending snapshot in force; false without one (the error untouched) or for an
    // empty name (error code 1).
    [[nodiscard]] bool activateSnapshotOfSDK(std::string_view SDKName,
                                             platform::Error* error) override;
    // -1 unknown SDK, -2 no activated snapshot, 1 older than 259200 seconds, 0 fresh.
    std::int64_t activatedSnapshotStatusOfSDKName(std::string_view SDKName) override;
    void resetToDefaultsOfSDKName(std::string_view SDKName) override;
    // Forget every snapshot (clients and defaults stay): the database emptied and a fetch
    // scheduled, or the database deleted and nothing scheduled.
    void reset() override;
    void clearAndDelete();

    // A failure raised in the block is logged (800017 / 800018) and goes no further.
    void dispatchAsyncOnSerialQueue(std::function<void()> block);
    void dispatchSyncOnSerialQueue(const std::function<void()>& block) const;

    bool taskManagerShouldFetchExperiments(KLVETaskManager& taskManager) override;
    void taskManager(KLVETaskManager& taskManager, const Snapshots& activatedSnapshots,
                     const Snapshots& pendingSnapshots,
                     const Snapshots& launchedSnapshots) override;
    void taskManager(KLVETaskManager& taskManager, const Snapshots& fetchedSnapshots,
                     const Errors& errors) override;
    void taskManager(KLVETaskManager& taskManager, const Snapshots& upsertedSnapshots) override;

    const std::shared_ptr<KLVETaskManager>& taskManager() const { return taskManager_; }
    platform::DispatchQueue& queue() const { return *queue_; }

  private:
    using SnapshotMap = platform::WDLMutableDictionary<std::shared_ptr<KLVESnapshot>>;
    using FlagMap = std::map<std::string, KLVPBFlag, std::less<>>;

    platform::Object flagValueOnSerialQueue(std::string_view flagName, std::string_view SDKName);
    // On the queue: the task manager's operation on the store, then the snapshots dropped.
    void forgetSnapshots(void (KLVETaskManager::*storeOperation)());

    SnapshotMap activatedSnapshotsBySDKName_;
    SnapshotMap pendingSnapshotsBySDKName_;
    SnapshotMap launchedSnapshotsBySDKName_;
    const std::shared_ptr<KLVETaskManager> taskManager_;
    platform::WDLMutableDictionary<std::shared_ptr<KLVEClient>> registeredClientsBySDKName_;
    platform::WDLMutableDictionary<FlagMap> defaultFlagsBySDKName_;
    // Last, so that blocks still queued run while everything else lives.
    const std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace engine
