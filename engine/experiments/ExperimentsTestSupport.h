#pragma once

// Test support for the experiments tests (header only): flag, experiment and snapshot messages
// from plain values, and a task-manager delegate that records what it is told.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/experiments/KLVESnapshot.h"
#include "engine/experiments/KLVETaskManager.h"
#include "engine/messages/KLVPBFlagFunctions.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/SettingsTestSupport.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/ProcessInfo.h"
#include "testkit/LoopbackServer.h"

namespace engine::testing {

inline KLVPBFlag makeFlag(const std::string& name, const platform::Object& value) {
    return *KLVPBFlagWithNameAndValue(platform::Object(name), value);
}

// An experiment message; no ID leaves tag 1 absent.
inline KLVPBExperiment makeExperimentMessage(std::optional<std::int32_t> id,
                                             const std::vector<KLVPBFlag>& flags) {
    KLVPBExperiment message;
    if (id) NANOSetInt32(message, KLVPBExperiment::experiment_id, *id);
    NANOSetArray(message, KLVPBExperiment::flags, flags);
    return message;
}

inline KLVPBSnapshot makeSnapshotMessage(const std::string& name,
                                         const std::vector<KLVPBExperiment>& experiments) {
    KLVPBSnapshot message;
    if (!name.empty()) NANOSetString(message, KLVPBSnapshot::sdk_name, name);
    NANOSetArray(message, KLVPBSnapshot::experiments, experiments);
    return message;
}

// A snapshot whose experiments each carry one flag "f" valued "v<ID>".
inline std::shared_ptr<KLVESnapshot> makeSnapshot(const std::string& name,
                                                  const std::vector<std::int32_t>& ids,
                                                  double timestamp) {
    std::vector<KLVPBExperiment> experiments;
    for (const auto id : ids)
        experiments.push_back(makeExperimentMessage(id, {makeFlag("f", "v" + std::to_string(id))}));
    auto snapshot = KLVESnapshot::initWithProtobuf(makeSnapshotMessage(name, experiments));
    snapshot->setTimestamp(timestamp);
    return snapshot;
}

inline std::vector<std::int32_t> idsOf(const std::shared_ptr<KLVESnapshot>& snapshot) {
    std::vector<std::int32_t> ids;
    if (snapshot) {
        for (const auto& experiment : snapshot->experiments())
            ids.push_back(experiment->experimentID());
    }
    return ids;
}

// Records what the task manager tells it and, when `forward` is set, passes every call on.
class RecordingTaskManagerDelegate : public KLVETaskManagerDelegate {
  public:
    bool taskManagerShouldFetchExperiments(KLVETaskManager& taskManager) override {
        const auto next = forward.lock();
        return next ? next->taskManagerShouldFetchExperiments(taskManager) : shouldFetch;
    }
    void taskManager(KLVETaskManager& taskManager, const Snapshots& activated,
                     const Snapshots& pending, const Snapshots& launched) override {
        {
            std::lock_guard lock(mutex);
            started.push_back({activated, pending, launched});
        }
        if (const auto next = forward.lock())
            next->taskManager(taskManager, activated, pending, launched);
    }
    void taskManager(KLVETaskManager& taskManager, const Snapshots& snapshots,
                     const Errors& errors) override {
        {
            std::lock_guard lock(mutex);
            finished.emplace_back(snapshots, errors);
        }
        if (const auto next = forward.lock()) next->taskManager(taskManager, snapshots, errors);
        fetchFinished.signal();
    }
    void taskManager(KLVETaskManager& taskManager, const Snapshots& snapshots) override {
        if (const auto next = forward.lock()) next->taskManager(taskManager, snapshots);
    }

    std::weak_ptr<KLVETaskManagerDelegate> forward;
    bool shouldFetch = true;
    std::mutex mutex;
    std::vector<std::vector<Snapshots>> started;
    std::vector<std::pair<Snapshots, Errors>> finished;
    platform::Semaphore fetchFinished;
};

inline std::string bytesOf(const NANOMessageBase& message) {
    const auto bytes = message.protoBuffer();
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

constexpr double kNow = 1'700'000'000;
constexpr double kCreated = kNow - 3600;
constexpr char kHost[] = "upload.measurement.test";

// The measurement host is the loopback server (bundle "com.example.tessaline", language en-US).
inline void useLoopbackHost(const testkit::LoopbackServer& server,
                            const std::filesystem::path& bundle) {
    ASSERT_TRUE(server.isRunning());
    auto& client = platform::HttpClient::shared();
    client.setTrustedCertificates(server.certificatePEM());
    ASSERT_TRUE(client.setConnectTo(kHost, "127.0.0.1", server.port()));
    useMainBundle(bundle, {{"CFBundleIdentifier", "com.example.tessaline"},
                           {kKLVUploadHostInfoPlistKey, kHost}});
    auto environment = platform::ProcessInfo::processInfo().environment();
    environment["LANGUAGE"] = "en_US";
    platform::ProcessInfo::processInfo().setEnvironment(environment);
}

// A task manager on a queue, alarm, suite and database file of the test's own, under a manual
// clock at kNow, created an hour earlier, reporting to a recording delegate.
class ExperimentsTest : public EngineTest {
  protected:
    void useLoopbackHost(const testkit::LoopbackServer& server) {
        testing::useLoopbackHost(server, dataRoot() / "bundle");
    }
    void SetUp() override {
        EngineTest::SetUp();
        queue_ = std::make_shared<platform::SerialQueue>(kKLVExperimentWorkerQueueLabel);
        alarm_ = std::make_shared<KLVAlarm>(queue_, kKLVExperimentAlarmName);
        storage_ = std::make_shared<KLVUserDefaults>(std::string(kKLVExperimentSuiteName));
        path_ = (dataRoot() / kKLVEDatabaseFileName).string();
        taskManager_ = KLVETaskManager::initWithQueue(queue_, alarm_,
                                                      std::make_shared<platform::WDLNetwork>(kHost),
                                                      storage_, path_, kCreated);
        taskManager_->setDelegate(delegate_);
    }
    void TearDown() override {
        testkit::drain(*queue_);
        taskManager_.reset();
        alarm_.reset();
        queue_.reset();
        EngineTest::TearDown();
    }

    void onWorker(const std::function<void()>& block) {
        taskManager_->dispatchSyncOnWorkerQueue(block);
    }
    std::optional<double> alarmDue() {
        std::optional<double> due;
        onWorker([&] {
            if (const auto t = alarm_->scheduledTimestamp()) due = t->secondsSince1970;
        });
        return due;
    }
    std::optional<double> stored(const char* key) {
        const auto value = storage_->objectForKey(key);
        return value.isNull() ? std::nullopt : value.numberAsDouble();
    }
    void store(const char* key, std::optional<double> value) {
        storage_->setObject(value ? platform::Object(*value) : platform::Object(), key);
    }

    testkit::ScopedManualClock clock_{kNow};
    std::shared_ptr<platform::SerialQueue> queue_;
    std::shared_ptr<KLVAlarm> alarm_;
    std::shared_ptr<KLVUserDefaults> storage_;
    std::string path_;
    std::shared_ptr<KLVETaskManager> taskManager_;
    std::shared_ptr<testing::RecordingTaskManagerDelegate> delegate_ =
        std::make_shared<testing::RecordingTaskManagerDelegate>();
};

}  // namespace engine::testing
