#pragma once

// Test support for the experiments tests (header only): flag, experiment and snapshot messages
// from plain values, and a task-manager delegate that records what it is told.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/experiments/KLVESnapshot.h"
#include "engine/experiments/KLVETaskManager.h"
#include "engine/messages/KLVPBFlagFunctions.h"
#include "engine/messages/NANOAccessors.h"
#include "platform/dispatch/Semaphore.h"

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

class RecordingTaskManagerDelegate : public KLVETaskManagerDelegate {
  public:
    bool taskManagerShouldFetchExperiments(KLVETaskManager&) override { return shouldFetch; }
    void taskManager(KLVETaskManager&, const Snapshots& activated, const Snapshots& pending,
                     const Snapshots& launched) override {
        std::lock_guard lock(mutex);
        started.push_back({activated, pending, launched});
    }
    void taskManager(KLVETaskManager&, const Snapshots& snapshots, const Errors& errors) override {
        {
            std::lock_guard lock(mutex);
            finished.emplace_back(snapshots, errors);
        }
        fetchFinished.signal();
    }
    void taskManager(KLVETaskManager&, const Snapshots& snapshots) override {
        std::lock_guard lock(mutex);
        upserted.push_back(snapshots);
    }

    bool shouldFetch = true;
    std::mutex mutex;
    std::vector<std::vector<Snapshots>> started;
    std::vector<std::pair<Snapshots, Errors>> finished;
    std::vector<Snapshots> upserted;
    platform::Semaphore fetchFinished;
};

}  // namespace engine::testing
