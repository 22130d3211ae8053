#include "engine/experiments/KLVEExperiment.h"

#include "engine/base/KLVLogLevel.h"
#include "engine/experiments/KLVEMonitor.h"
#include "engine/messages/NANOAccessors.h"

namespace engine {

KLVEExperiment::KLVEExperiment(std::int32_t experimentID, const std::vector<KLVPBFlag>& flags)
    : experimentID_(experimentID) {
    for (const auto& flag : flags)
        addFlag(flag);
}

std::shared_ptr<KLVEExperiment> KLVEExperiment::initWithExperimentID(
    std::int32_t experimentID, const std::vector<KLVPBFlag>& flags) {
    return std::make_shared<KLVEExperiment>(experimentID, flags);
}

std::shared_ptr<KLVEExperiment> KLVEExperiment::initWithProtobuf(const KLVPBExperiment& message) {
    const std::int32_t experimentID = NANOGetInt32(message, KLVPBExperiment::experiment_id);
    const auto flags = NANOGetArray<KLVPBFlag>(message, KLVPBExperiment::flags);
    return initWithExperimentID(experimentID, flags.value_or(std::vector<KLVPBFlag>{}));
}

std::vector<KLVPBFlag> KLVEExperiment::flags() const {
    std::vector<KLVPBFlag> out;
    for (auto& [name, flag] : flagsByName_.dictionary())
        out.push_back(std::move(flag));
    return out;
}

bool KLVEExperiment::addFlag(const KLVPBFlag& flag) {
    auto name = NANOGetString(flag, KLVPBFlag::name);
    if (!name) {
        KLVEMonitor::instance().logWithLevel(
            kKLVLogErrorSilent, 870006, "Cannot add a flag without name into an experiment. ID",
            experimentID_);
        return false;
    }
    flagsByName_.setObject(flag, std::move(*name));
    return true;
}

std::optional<KLVPBFlag> KLVEExperiment::flagWithName(std::string_view name) const {
    if (name.empty()) {
        KLVEMonitor::instance().logWithLevel(kKLVLogErrorSilent, 870007,
                                             "Cannot retrieve a flag without a flag name");
        return std::nullopt;
    }
    return flagsByName_.objectForKey(name);
}

std::shared_ptr<KLVEExperiment> KLVEExperiment::copy() const {
    return initWithExperimentID(experimentID_, flags());
}

KLVPBExperiment KLVEExperiment::proto() const {
    KLVPBExperiment message;
    NANOSetInt32(message, KLVPBExperiment::experiment_id, experimentID_);
    NANOSetArray(message, KLVPBExperiment::flags, flags());
    return message;
}

}  // namespace engine
