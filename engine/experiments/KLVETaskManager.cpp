#include "engine/experiments/KLVETaskManager.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVScheduler.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/experiments/KLVEExperimentRequestBuilder.h"
#include "engine/experiments/KLVEMonitor.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/stores/KLVFileLocations.h"
#include "platform/dispatch/Clock.h"
#include "platform/net/HttpClient.h"
#include "platform/utilities/WDLGzip.h"

namespace engine {

namespace {

bool hasError(const platform::Error& error) {
    return error.code != 0 || !error.domain.empty();
}

MonitorContext errorContext(const platform::Error& error) {
    return hasError(error) ? MonitorContext(error) : MonitorContext();
}

// The SDK names of the snapshots, for log lines.
platform::Object namesOf(const KLVETaskManager::Snapshots& snapshots) {
    platform::Array names;
    for (const auto& snapshot : snapshots)
        names.emplace_back(snapshot->SDKName());
    return names;
}

bool isGzip(const platform::Data& data) {
    return data.size() >= 2 && data[0] == 0x1f && data[1] == 0x8b;
}

// The error code of a per-SDK status.
std::int64_t errorCodeForStatus(std::int32_t status) {
    switch (status) {
        case 1:
            return -2;
        case 2:
            return -3;
        case 3:
            return -4;
        default:
            return -1;
    }
}

}  // namespace

std::shared_ptr<KLVETaskManager> KLVETaskManager::init() {
    auto queue = std::make_shared<platform::SerialQueue>(kKLVExperimentWorkerQueueLabel);
    auto alarm = std::make_shared<KLVAlarm>(queue, kKLVExperimentAlarmName);
    auto network =
        std::make_shared<platform::WDLNetwork>(KLVServerHosts::current().uploadHost.value_or(""));
    auto storage = std::make_shared<KLVUserDefaults>(std::string(kKLVExperimentSuiteName));
    return initWithQueue(std::move(queue), std::move(alarm), std::move(network), std::move(storage),
                         KLVMeasurementFilePath(kKLVEDatabaseFileName), platform::currentTime());
}

std::shared_ptr<KLVETaskManager> KLVETaskManager::initWithQueue(
    std::shared_ptr<platform::SerialQueue> queue, std::shared_ptr<KLVAlarm> alarm,
    std::shared_ptr<platform::WDLNetwork> network,
    std::shared_ptr<KLVUserDefaults> persistedStorage, std::string databasePath,
    double initTimestamp) {
    return std::make_shared<KLVETaskManager>(std::move(queue), std::move(alarm), std::move(network),
                                             std::move(persistedStorage), std::move(databasePath),
                                             initTimestamp);
}

KLVETaskManager::KLVETaskManager(std::shared_ptr<platform::SerialQueue> queue,
                                 std::shared_ptr<KLVAlarm> alarm,
                                 std::shared_ptr<platform::WDLNetwork> network,
                                 std::shared_ptr<KLVUserDefaults> persistedStorage,
                                 std::string databasePath, double initTimestamp)
    : workerQueue_(std::move(queue)),
      workerSequence_(*workerQueue_),
      alarm_(std::move(alarm)),
      network_(std::move(network)),
      persistedStorage_(std::move(persistedStorage)),
      databasePath_(std::move(databasePath)),
      initializationTimestamp_(initTimestamp) {}

std::shared_ptr<KLVETaskManagerDelegate> KLVETaskManager::delegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_.lock();
}

void KLVETaskManager::setDelegate(std::weak_ptr<KLVETaskManagerDelegate> delegate) {
    std::lock_guard lock(delegateMutex_);
    delegate_ = std::move(delegate);
}

void KLVETaskManager::dispatchAsyncOnWorkerQueue(std::function<void()> block) {
    workerQueue_->async([block = std::move(block)] {
        try {
            block();
        } catch (...) {
            KLVEMonitor::instance().logWithLevel(kKLVLogErrorMonitored, 820026,
                                                 "Exception on async worker queue",
                                                 CaughtException::current());
        }
    });
}

void KLVETaskManager::dispatchSyncOnWorkerQueue(const std::function<void()>& block) {
    workerQueue_->sync([&block] {
        try {
            block();
        } catch (...) {
            KLVEMonitor::instance().logWithLevel(kKLVLogErrorMonitored, 820027,
                                                 "Exception on sync worker queue",
                                                 CaughtException::current());
            throw;
        }
    });
}

// --- Start -------------------------------------------------------------------------------------

void KLVETaskManager::startTaskManager() {
    dispatchAsyncOnWorkerQueue([weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->startTaskManagerOnWorkerQueue();
    });
}

void KLVETaskManager::checkOnWorkerQueue(std::string_view methodName) {
    KLVScheduler::checkOnBackgroundThreadWithMethodName(methodName);
    workerSequence_.check(methodName);
}

void KLVETaskManager::startTaskManagerOnWorkerQueue() {
    checkOnWorkerQueue("startTaskManagerOnWorkerQueue");
    database_ = KLVEDatabase::initWithPath(databasePath_);
    // Without its database the component stays idle for this process.
    if (!database_) return;
    fetchAllSnapshotsOnWorkerQueue();
    scheduleFetchingExperimentsOnWorkerQueue();
}

void KLVETaskManager::fetchAllSnapshotsOnWorkerQueue() {
    checkOnWorkerQueue("fetchAllSnapshotsOnWorkerQueue");
    if (!database_) return;
    const bool settled = database_->performTransaction([this] {
        platform::Error error;
        if (!database_->deleteStaleActivatedSnapshots(&error)) {
            if (hasError(error)) {
                KLVEMonitor::instance().logWithLevel(
                    kKLVLogErrorMonitored, 820006, "Cannot delete stale activated snapshots. Error",
                    error);
            }
            return false;
        }
        if (!database_->activatePendingSnapshotsAutomatically(&error)) {
            if (hasError(error)) {
                KLVEMonitor::instance().logWithLevel(
                    kKLVLogErrorMonitored, 820007,
                    "Cannot activate pending snapshots automatically. Error", error);
            }
            return false;
        }
        return true;
    });
    if (!settled) {
        KLVEMonitor::instance().logWithLevel(kKLVLogErrorSilent, 820008,
                                             "Failed to start the task manager");
        return;
    }
    KLVEMonitor::instance().logWithLevel(kKLVLogVerbose, 820009,
                                         "Successfully start the task manager");
    const auto delegate = this->delegate();
    if (!delegate) return;

    const auto read = [this](auto fetch, std::int64_t code, std::string_view message) {
        platform::Error error;
        auto snapshots = (database_.get()->*fetch)(&error);
        if ((!snapshots || snapshots->empty()) && hasError(error)) {
            KLVEMonitor::instance().logWithLevel(kKLVLogErrorSilent, code, message, error);
        }
        return snapshots.value_or(Snapshots{});
    };
    const Snapshots activated = read(&KLVEDatabase::fetchAllActivatedSnapshots, 820010,
                                     "Error in fetching all activated snapshots. Error");
    const Snapshots pending = read(&KLVEDatabase::fetchAllPendingSnapshots, 820011,
                                   "Error in fetching all pending snapshots. Error");
    const Snapshots launched = read(&KLVEDatabase::fetchAllLaunchedSnapshots, 820012,
                                    "Error in fetching all launched snapshots. Error");
    delegate->taskManager(*this, activated, pending, launched);
}

// --- Schedule ----------------------------------------------------------------------------------

double KLVETaskManager::fetchTimeFromLastSuccessfulTimestamp(double lastSuccess,
                                                             double lastFailure) {
    const double current = platform::currentTime();
    // A success in the future (the clock was set back) counts as far in the past as it lies ahead.
    const double base = current - std::fabs(lastSuccess - current);
    const double next = base + kKLVExperimentFetchInterval;
    if (!hasMadeInitialFetch_.exchange(true)) return std::max(current + 10, next);
    if (!(lastFailure > 0)) return next;
    double t = base != 0 ? next : initializationTimestamp();
    double step = 1800;
    for (int i = 0; i < 6; ++i, step *= 2) {
        t += step;
        if (t > lastFailure) return t;
    }
    return 0;
}

void KLVETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
    checkOnWorkerQueue("scheduleFetchingExperimentsOnWorkerQueue");
    double fetchTime = fetchTimeFromLastSuccessfulTimestamp(
        persistedStorage_->doubleForKey(kKLVExperimentFetchSuccessTimestampKey),
        persistedStorage_->doubleForKey(kKLVExperimentFetchFailureTimestampKey));
    if (std::fabs(fetchTime) < DBL_EPSILON) {
        persistedStorage_->removeObjectForKey(kKLVExperimentFetchSuccessTimestampKey);
        KLVEMonitor::instance().logWithLevel(
            kKLVLogErrorSilent, 820024,
            "Network attempted too many times. Will not schedule new network.");
        return;
    }
    const double current = platform::currentTime();
    if (const auto pending = alarm_->scheduledTimestamp();
        pending && pending->secondsSince1970 != 0 && pending->secondsSince1970 <= fetchTime) {
        KLVEMonitor::instance().logWithLevel(
            kKLVLogVerbose, 820017,
            "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
            pending->secondsSince1970 - current);
        return;
    }
    const double backoff = persistedStorage_->doubleForKey(kKLVExperimentFetchBackoffTimestampKey);
    if (std::fabs(backoff) >= DBL_EPSILON && current - backoff < kKLVExperimentBackoffInterval) {
        fetchTime = std::max(fetchTime, backoff + kKLVExperimentBackoffInterval);
    }
    double delay = fetchTime - current;
    if (std::fabs(delay) < DBL_EPSILON || delay < 0) delay = 0.001;
    alarm_->runAfterDelay(delay, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->fireScheduledFetchOnWorkerQueue();
    });
}

void KLVETaskManager::fireScheduledFetchOnWorkerQueue() {
    const auto delegate = this->delegate();
    if (delegate && !delegate->taskManagerShouldFetchExperiments(*this)) {
        postponeFetchExperiments();
    } else {
        fetchExperiments();
    }
}

void KLVETaskManager::postponeFetchExperiments() {
    persistedStorage_->setDouble(platform::currentTime(), kKLVExperimentFetchSuccessTimestampKey);
    persistedStorage_->removeObjectForKey(kKLVExperimentFetchFailureTimestampKey);
    persistedStorage_->removeObjectForKey(kKLVExperimentFetchBackoffTimestampKey);
    scheduleFetchingExperimentsOnWorkerQueue();
}

void KLVETaskManager::clearFetchTimestamps() {
    persistedStorage_->removeObjectForKey(kKLVExperimentFetchBackoffTimestampKey);
    persistedStorage_->removeObjectForKey(kKLVExperimentFetchFailureTimestampKey);
    persistedStorage_->removeObjectForKey(kKLVExperimentFetchSuccessTimestampKey);
}

// --- Fetch -------------------------------------------------------------------------------------

void KLVETaskManager::fetchExperiments() {
    const KLVPBExperimentRequest request = KLVEExperimentRequestBuilder::sharedInstance().request();
    const platform::Data body = request.protoBuffer().value_or(platform::Data{});
    KLVEMonitor::instance().logWithLevel(
        kKLVLogVerbose, 820001, "Fetching new experiments. Request", platform::Object(body));
    const auto host = KLVServerHosts::current().uploadHost;
    if (!host) {
        // Nowhere to send it: a failed attempt like any other, so that the ladder applies.
        handleFetchingExperimentsResponse(
            std::nullopt, std::nullopt,
            platform::Error{
                platform::kURLErrorDomain, platform::kURLErrorBadURL, "No measurement host", {}});
        return;
    }
    network_->postURL(
        "https://" + *host + kKLVExperimentFetchPath, body, workerQueue_, false,
        [weak = weak_from_this()](std::optional<platform::WDLNetworkResponse> response,
                                  platform::Data data, std::optional<platform::Error> error) {
            const auto self = weak.lock();
            if (!self) return;
            std::optional<platform::Data> inflated;
            if (!data.empty()) {
                // An answer without the gzip magic is taken as it is rather than lost.
                if (!isGzip(data)) {
                    inflated = std::move(data);
                } else {
                    platform::Error inflateError;
                    inflated = platform::wdl_dataByInflatingGzippedData(data, &inflateError);
                    if (!inflated && hasError(inflateError)) {
                        KLVEMonitor::instance().logWithLevel(
                            kKLVLogErrorSilent, 820023,
                            "Cannot inflate downloaded experiment data. Error", inflateError);
                    }
                }
            }
            self->handleFetchingExperimentsResponse(response, inflated, error);
        });
}

void KLVETaskManager::handleFetchingExperimentsResponse(
    const std::optional<platform::WDLNetworkResponse>& response,
    const std::optional<platform::Data>& data, const std::optional<platform::Error>& error) {
    const double current = platform::currentTime();
    const int status = response ? response->statusCode : 0;
    if (status != platform::kWDLNetworkHTTPStatusOK &&
        status != platform::kWDLNetworkHTTPStatusNoContent) {
        persistedStorage_->setDouble(current, kKLVExperimentFetchFailureTimestampKey);
        if (status == platform::kWDLNetworkHTTPStatusCodeUnavailable ||
            status == platform::kWDLNetworkHTTPStatusCodeCannotAcceptTraffic) {
            persistedStorage_->setDouble(current, kKLVExperimentFetchBackoffTimestampKey);
        }
        KLVEMonitor::instance().logWithLevel(
            kKLVLogErrorMonitored, 820002, "Network fetch failed. Will retry later. Code, error",
            status, error ? MonitorContext(*error) : MonitorContext());
        scheduleFetchingExperimentsOnWorkerQueue();
        return;
    }
    const std::optional<KLVPBExperimentResponse> message =
        data ? KLVPBExperimentResponse::initWithBuffer(*data) : KLVPBExperimentResponse();
    KLVEMonitor::instance().logWithLevel(kKLVLogVerbose, 820003,
                                         "Successful fetch. Got network response. Code, data",
                                         status, platform::Object(data.value_or(platform::Data{})));
    persistedStorage_->setDouble(current, kKLVExperimentFetchSuccessTimestampKey);
    persistedStorage_->removeObjectForKey(kKLVExperimentFetchFailureTimestampKey);
    persistedStorage_->removeObjectForKey(kKLVExperimentFetchBackoffTimestampKey);

    const KLVPBExperimentResponse* parsed = message ? &*message : nullptr;
    const Snapshots snapshots =
        experimentSnapshotsFromExperimentResponse(parsed).value_or(Snapshots{});
    const Errors errors = errorsFromExperimentResponse(parsed).value_or(Errors{});
    if (!snapshots.empty()) {
        platform::Error writeError;
        if (!database_ || !database_->upsertPendingExperimentSnapshots(snapshots, &writeError)) {
            KLVEMonitor::instance().logWithLevel(
                kKLVLogErrorMonitored, 820022, "Cannot upsert pending snapshots. Error, snapshots",
                errorContext(writeError), namesOf(snapshots));
        }
    }
    if (const auto delegate = this->delegate()) delegate->taskManager(*this, snapshots, errors);
    scheduleFetchingExperimentsOnWorkerQueue();
}

std::optional<KLVETaskManager::Snapshots>
KLVETaskManager::experimentSnapshotsFromExperimentResponse(
    const KLVPBExperimentResponse* response) {
    if (!response) {
        KLVEMonitor::instance().logWithLevel(
            kKLVLogErrorSilent, 820015, "Cannot create experiment snapshots from nil response");
        return std::nullopt;
    }
    std::vector<KLVPBSnapshot> messages =
        NANOGetArray<KLVPBSnapshot>(response, KLVPBExperimentResponse::snapshots)
            .value_or(std::vector<KLVPBSnapshot>{});
    if (messages.empty()) {
        for (const auto& entry :
             NANOGetArray<KLVPBSdkResponse>(response, KLVPBExperimentResponse::sdk_responses)
                 .value_or(std::vector<KLVPBSdkResponse>{})) {
            auto snapshot = NANOGetMessage<KLVPBSnapshot>(entry, KLVPBSdkResponse::snapshot);
            if (!snapshot) continue;
            const auto name = NANOGetString(entry, KLVPBSdkResponse::sdk_name);
            if (name && !name->empty()) NANOSetString(*snapshot, KLVPBSnapshot::sdk_name, *name);
            messages.push_back(std::move(*snapshot));
        }
    }
    Snapshots snapshots;
    for (const auto& message : messages) {
        if (auto snapshot = KLVESnapshot::initWithProtobuf(message)) {
            snapshots.push_back(std::move(snapshot));
        } else {
            KLVEMonitor::instance().logWithLevel(kKLVLogErrorSilent, 820016,
                                                 "Cannot create a snapshot from the proto");
        }
    }
    return snapshots;
}

std::optional<KLVETaskManager::Errors> KLVETaskManager::errorsFromExperimentResponse(
    const KLVPBExperimentResponse* response) {
    if (!response) return std::nullopt;
    Errors errors;
    for (const auto& entry :
         NANOGetArray<KLVPBSdkResponse>(response, KLVPBExperimentResponse::sdk_responses)
             .value_or(std::vector<KLVPBSdkResponse>{})) {
        if (!NANOHasField(entry, KLVPBSdkResponse::error_code)) continue;
        const std::int32_t status = NANOGetInt32(entry, KLVPBSdkResponse::error_code);
        const auto name = NANOGetString(entry, KLVPBSdkResponse::sdk_name);
        if (status == 0 || !name || name->empty()) continue;
        errors.insert_or_assign(
            *name, platform::Error{kKLVExperimentErrorDomain, errorCodeForStatus(status), "", {}});
    }
    return errors;
}

std::optional<KLVETaskManager::Snapshots> KLVETaskManager::experimentSnapshotsFromData(
    const platform::Data& data) {
    if (data.empty()) {
        KLVEMonitor::instance().logWithLevel(kKLVLogErrorSilent, 820025,
                                             "Cannot create experiment snapshots from empty data");
        return std::nullopt;
    }
    const auto message = KLVPBExperimentResponse::initWithBuffer(data);
    return experimentSnapshotsFromExperimentResponse(message ? &*message : nullptr);
}

// --- Requests of the manager -------------------------------------------------------------------

void KLVETaskManager::activatePendingSnapshot(std::shared_ptr<KLVESnapshot> snapshot,
                                              double timestamp) {
    dispatchAsyncOnWorkerQueue(
        [weak = weak_from_this(), snapshot = std::move(snapshot), timestamp] {
            const auto self = weak.lock();
            if (!self) return;
            if (!snapshot) {
                KLVEMonitor::instance().logWithLevel(kKLVLogError, 820013,
                                                     "Cannot activate an empty snapshot");
                return;
            }
            platform::Error error;
            const auto fail = [&] {
                KLVEMonitor::instance().logWithLevel(kKLVLogErrorMonitored, 820014,
                                                     "Cannot activate snapshot for SDK Name. Error",
                                                     snapshot->SDKName(), errorContext(error));
                return false;
            };
            if (!self->database_) {
                fail();
                return;
            }
            self->database_->performTransaction([&] {
                return self->database_->activateSnapshot(snapshot, timestamp, &error) || fail();
            });
        });
}

void KLVETaskManager::resetToDefaultsForSDKName(std::string SDKName) {
    dispatchAsyncOnWorkerQueue([weak = weak_from_this(), SDKName = std::move(SDKName)] {
        const auto self = weak.lock();
        if (!self) return;
        if (SDKName.empty()) {
            KLVEMonitor::instance().logWithLevel(kKLVLogErrorMonitored, 820018,
                                                 "Cannot reset to defaults for empty SDK name");
            return;
        }
        platform::Error error;
        if (!self->database_ ||
            !self->database_->deleteActivatedExperimentsOfSDKName(SDKName, &error)) {
            KLVEMonitor::instance().logWithLevel(
                kKLVLogErrorMonitored, 820019,
                "Cannot reset to defaults in the database. SDK Name, error", SDKName,
                errorContext(error));
        }
    });
}

void KLVETaskManager::upsertPendingSnapshots(Snapshots snapshots) {
    dispatchAsyncOnWorkerQueue([weak = weak_from_this(), snapshots = std::move(snapshots)] {
        const auto self = weak.lock();
        if (!self) return;
        if (snapshots.empty()) {
            KLVEMonitor::instance().logWithLevel(kKLVLogErrorSilent, 820020,
                                                 "Cannot upsert empty pending snapshot list");
            return;
        }
        platform::Error error;
        if (!self->database_ ||
            !self->database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
            KLVEMonitor::instance().logWithLevel(
                kKLVLogErrorMonitored, 820021,
                "Cannot upsert pending snapshots into the database. Error", errorContext(error));
            return;
        }
        if (const auto delegate = self->delegate()) delegate->taskManager(*self, snapshots);
    });
}

void KLVETaskManager::reset() {
    dispatchAsyncOnWorkerQueue([self = shared_from_this()] {
        if (self->database_) self->database_->reset();
        self->clearFetchTimestamps();
        self->scheduleFetchingExperimentsOnWorkerQueue();
    });
}

void KLVETaskManager::clearAndDelete() {
    dispatchAsyncOnWorkerQueue([self = shared_from_this()] {
        if (self->database_) self->database_->closeAndDelete();
        self->clearFetchTimestamps();
        // A fetch left pending would send a request after the data were deleted.
        self->alarm_->cancel();
    });
}

}  // namespace engine
