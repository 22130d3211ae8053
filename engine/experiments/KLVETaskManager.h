#pragma once

// The experiments component's work off the callers' threads, all of it on the serial worker
// queue "KLVExperimentWorkerQueue": opening the experiments database, activating at start the
// pending snapshots that no client activates by hand, loading the stored snapshots into the
// manager, fetching new snapshots from the measurement host ("https://<host>/sdk-exp") and storing
// them as pending, and the fetch schedule: every 14400 seconds after a success, a doubling ladder
// of six retries after failures, 43200 seconds of back-off after an overloaded answer.
//
// The three fetch times live in the user-defaults suite "KLVExperimentSuiteName".

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/KLVAlarm.h"
#include "engine/base/KLVScheduler.h"
#include "engine/experiments/KLVEDatabase.h"
#include "engine/experiments/KLVESnapshot.h"
#include "engine/messages/KLVPBMessages.h"
#include "engine/stores/KLVUserDefaults.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Error.h"
#include "platform/utilities/WDLNetwork.h"

namespace engine {

inline constexpr char kKLVExperimentWorkerQueueLabel[] = "KLVExperimentWorkerQueue";
inline constexpr char kKLVExperimentAlarmName[] = "KLVExperimentAlarm";
inline constexpr char kKLVExperimentSuiteName[] = "KLVExperimentSuiteName";
inline constexpr char kKLVExperimentFetchSuccessTimestampKey[] =
    "KLVExperimentFetchSuccessTimestamp";
inline constexpr char kKLVExperimentFetchFailureTimestampKey[] =
    "KLVExperimentFetchFailureTimestamp";
inline constexpr char kKLVExperimentFetchBackoffTimestampKey[] =
    "KLVExperimentFetchBackoffTimestamp";
inline constexpr char kKLVExperimentFetchPath[] = "/sdk-exp";
inline constexpr char kKLVExperimentErrorDomain[] =
    "com.nexory.zkt.measurement.experiment.ErrorDomain";
// Seconds from a success to the next fetch, and of back-off after an overloaded answer.
inline constexpr double kKLVExperimentFetchInterval = 14400;
inline constexpr double kKLVExperimentBackoffInterval = 43200;

class KLVETaskManager;

// The manager's side of the task manager.
class KLVETaskManagerDelegate {
  public:
    using Snapshots = std::vector<std::shared_ptr<KLVESnapshot>>;
    using Errors = std::map<std::string, platform::Error>;

    virtual ~KLVETaskManagerDelegate() = default;
    // Whether a fetch may run now (on the worker queue); a fetch runs when not answered.
    virtual bool taskManagerShouldFetchExperiments(KLVETaskManager&) { return true; }
    // The stored snapshots after the start (didStartWithActivatedSnapshots).
    virtual void taskManager(KLVETaskManager& taskManager, const Snapshots& activatedSnapshots,
                             const Snapshots& pendingSnapshots,
                             const Snapshots& launchedSnapshots) = 0;
    // A fetch answered (didFinishFetchingExperimentSnapshots:withErrors:); both may be empty.
    virtual void taskManager(KLVETaskManager& taskManager, const Snapshots& fetchedSnapshots,
                             const Errors& errors) = 0;
    // The snapshots were stored as pending (didUpsertPendingSnapshots:), on the worker queue.
    virtual void taskManager(KLVETaskManager& taskManager, const Snapshots& upsertedSnapshots) = 0;
};

class KLVETaskManager : public std::enable_shared_from_this<KLVETaskManager> {
  public:
    using Snapshots = KLVETaskManagerDelegate::Snapshots;
    using Errors = KLVETaskManagerDelegate::Errors;

    // Its own worker queue, alarm, network (reaching the measurement host), suite and the
    // database file in the engine's directory; created now.
    static std::shared_ptr<KLVETaskManager> init();
    static std::shared_ptr<KLVETaskManager> initWithQueue(
        std::shared_ptr<platform::SerialQueue> queue, std::shared_ptr<KLVAlarm> alarm,
        std::shared_ptr<platform::WDLNetwork> network,
        std::shared_ptr<KLVUserDefaults> persistedStorage, std::string databasePath,
        double initTimestamp);
    // Use the functions above.
    KLVETaskManager(std::shared_ptr<platform::SerialQueue> queue, std::shared_ptr<KLVAlarm> alarm,
                    std::shared_ptr<platform::WDLNetwork> network,
                    std::shared_ptr<KLVUserDefaults> persistedStorage, std::string databasePath,
                    double initTimestamp);
    KLVETaskManager(const KLVETaskManager&) = delete;
    KLVETaskManager& operator=(const KLVETaskManager&) = delete;

    // Queues the start: open the database, settle and load the stored snapshots, schedule.
    void startTaskManager();
    void startTaskManagerOnWorkerQueue();
    void fetchAllSnapshotsOnWorkerQueue();
    void scheduleFetchingExperimentsOnWorkerQueue();
    // The next fetch time (seconds since 1970) after a success at `lastSuccess` and a failure at
    // `lastFailure` (0 for none); 0 when the retries are exhausted.
    double fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure);
    // On the worker queue: counts as a success without a request, and schedules again.
    void postponeFetchExperiments();
    // On the worker queue: posts the request; the answer is handled on the worker queue.
    void fetchExperiments();
    void handleFetchingExperimentsResponse(
        const std::optional<platform::WDLNetworkResponse>& response,
        const std::optional<platform::Data>& data, const std::optional<platform::Error>& error);

    // The manager's requests, each carried out on the worker queue.
    void activatePendingSnapshot(std::shared_ptr<KLVESnapshot> snapshot, double timestamp);
    void resetToDefaultsForSDKName(std::string SDKName);
    void upsertPendingSnapshots(Snapshots snapshots);
    // Empties the database and the fetch times and schedules a fetch.
    void reset();
    // Deletes the database file and the fetch times; the pending fetch is cancelled.
    void clearAndDelete();

    // The top-level snapshots of the answer, else those of its per-SDK entries; nullopt for no
    // message (820015).
    static std::optional<Snapshots> experimentSnapshotsFromExperimentResponse(
        const KLVPBExperimentResponse* response);
    // SDK name to an error of kKLVExperimentErrorDomain for each per-SDK entry with a status.
    static std::optional<Errors> errorsFromExperimentResponse(
        const KLVPBExperimentResponse* response);
    static std::optional<Snapshots> experimentSnapshotsFromData(const platform::Data& data);

    // A failure raised in the block is logged (820026) and goes no further.
    void dispatchAsyncOnWorkerQueue(std::function<void()> block);
    // A failure raised in the block is logged (820027) and raised again in the caller.
    void dispatchSyncOnWorkerQueue(const std::function<void()>& block);

    std::shared_ptr<KLVETaskManagerDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KLVETaskManagerDelegate> delegate);
    bool hasMadeInitialFetch() const { return hasMadeInitialFetch_.load(); }
    void setHasMadeInitialFetch(bool made) { hasMadeInitialFetch_.store(made); }
    double initializationTimestamp() const { return initializationTimestamp_.load(); }
    void setInitializationTimestamp(double timestamp) { initializationTimestamp_.store(timestamp); }
    const std::shared_ptr<platform::SerialQueue>& workerQueue() const { return workerQueue_; }
    const std::shared_ptr<KLVAlarm>& alarm() const { return alarm_; }
    // On the worker queue only; null before the start or after a failed open.
    KLVEDatabase* database() const { return database_.get(); }

  private:
    void fireScheduledFetchOnWorkerQueue();
    void clearFetchTimestamps();
    // The background-thread report, and in debug builds a check that the call runs on
    // workerQueue_ (a block of it, or a synchronous hop onto it).
    void checkOnWorkerQueue(std::string_view methodName);

    // First, so that it is destroyed last.
    const std::shared_ptr<platform::SerialQueue> workerQueue_;
    KLVSequenceChecker workerSequence_;
    const std::shared_ptr<KLVAlarm> alarm_;
    const std::shared_ptr<platform::WDLNetwork> network_;
    const std::shared_ptr<KLVUserDefaults> persistedStorage_;
    std::unique_ptr<KLVEDatabase> database_;
    const std::string databasePath_;
    std::atomic<bool> hasMadeInitialFetch_{false};
    mutable std::mutex delegateMutex_;
    std::weak_ptr<KLVETaskManagerDelegate> delegate_;
    std::atomic<double> initializationTimestamp_;
};

}  // namespace engine
