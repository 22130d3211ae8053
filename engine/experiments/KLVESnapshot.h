#pragma once

// The experiments of one SDK at one moment, one per experiment ID, with the moment (seconds since
// 1970) and whether the snapshot waits for its client to activate it. Converts to and from the
// Snapshot message, whose encoded bytes are what the experiments database stores. Any thread may
// read it; the manager keeps copies of what crosses queues.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/experiments/KLVEExperiment.h"
#include "engine/messages/KLVPBMessages.h"
#include "platform/utilities/WDLMutableDictionary.h"

namespace engine {

class KLVESnapshot {
  public:
    using Experiments = std::vector<std::shared_ptr<KLVEExperiment>>;

    // Use initWithSDKName().
    KLVESnapshot(std::string SDKName, const Experiments& experiments);
    // A copy of every experiment stored under its ID (a later one replacing an earlier one),
    // the time now, not manually activated. Null for an empty name (840000).
    static std::shared_ptr<KLVESnapshot> initWithSDKName(std::string_view SDKName,
                                                         const Experiments& experiments);
    // The message's name and experiments (an Experiment without ID is experiment 0); null when
    // the message has no SDK name.
    static std::shared_ptr<KLVESnapshot> initWithProtobuf(const KLVPBSnapshot& message);
    KLVESnapshot(const KLVESnapshot&) = delete;
    KLVESnapshot& operator=(const KLVESnapshot&) = delete;

    // The flag of the first experiment, by ascending ID, that has one of the name.
    std::optional<KLVPBFlag> flagByName(std::string_view name) const;
    // Same name and experiments; the copy carries the time of copying and is not manually
    // activated, whatever the source holds.
    std::shared_ptr<KLVESnapshot> copy() const;
    // Adds the flag to the experiment of the ID, made when missing.
    void addFlag(const KLVPBFlag& flag, std::int32_t experimentID);
    void addFlags(const std::vector<KLVPBFlag>& flags, std::int32_t experimentID);
    // By ascending ID.
    Experiments experiments() const;
    // The name and all experiments (the list set even when empty).
    KLVPBSnapshot proto() const;

    const std::string& SDKName() const { return SDKName_; }
    double timestamp() const { return timestamp_.load(); }
    void setTimestamp(double timestamp) { timestamp_.store(timestamp); }
    bool manuallyActivated() const { return manuallyActivated_.load(); }
    void setManuallyActivated(bool manual) { manuallyActivated_.store(manual); }

  private:
    platform::WDLMutableDictionary<std::shared_ptr<KLVEExperiment>, std::int32_t>
        experimentsByExperimentID_;
    std::atomic<bool> manuallyActivated_{false};
    const std::string SDKName_;
    std::atomic<double> timestamp_;
};

}  // namespace engine
