#pragma once

// One server-assigned experiment: an ID and its flags, one per flag name. ID 0 marks the launched
// experiment, whose flags hold once an experiment has ended. Converts to and from the Experiment
// message. Any thread may read and add flags.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/messages/KLVPBMessages.h"
#include "platform/utilities/WDLMutableDictionary.h"

namespace engine {

class KLVEExperiment {
  public:
    // Every flag stored under its name, a later one replacing an earlier one; a flag without a
    // name is not stored (870006).
    KLVEExperiment(std::int32_t experimentID, const std::vector<KLVPBFlag>& flags);
    static std::shared_ptr<KLVEExperiment> initWithExperimentID(
        std::int32_t experimentID, const std::vector<KLVPBFlag>& flags);
    // The message's ID (0 when absent) and flags.
    static std::shared_ptr<KLVEExperiment> initWithProtobuf(const KLVPBExperiment& message);
    KLVEExperiment(const KLVEExperiment&) = delete;
    KLVEExperiment& operator=(const KLVEExperiment&) = delete;

    std::int32_t experimentID() const { return experimentID_; }
    // By name.
    std::vector<KLVPBFlag> flags() const;
    // Stores the flag under its name; false for a flag without a name (870006).
    bool addFlag(const KLVPBFlag& flag);
    // Nullopt for an empty name (870007) or an unknown one.
    std::optional<KLVPBFlag> flagWithName(std::string_view name) const;
    std::shared_ptr<KLVEExperiment> copy() const;
    // The ID and all flags (the list set even when empty).
    KLVPBExperiment proto() const;

  private:
    const std::int32_t experimentID_;
    platform::WDLMutableDictionary<KLVPBFlag> flagsByName_;
};

}  // namespace engine
