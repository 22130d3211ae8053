#include "engine/experiments/KLVESnapshot.h"

#include "engine/base/KLVLogLevel.h"
#include "engine/experiments/KLVEMonitor.h"
#include "engine/messages/NANOAccessors.h"
#include "platform/dispatch/Clock.h"

namespace engine {

KLVESnapshot::KLVESnapshot(std::string SDKName, const Experiments& experiments)
    : SDKName_(std::move(SDKName)), timestamp_(platform::Clock::current().now()) {
    for (const auto& experiment : experiments) {
        if (experiment) {
            experimentsByExperimentID_.setObject(experiment->copy(), experiment->experimentID());
        }
    }
}

std::shared_ptr<KLVESnapshot> KLVESnapshot::initWithSDKName(std::string_view SDKName,
                                                            const Experiments& experiments) {
    if (SDKName.empty()) {
        KLVEMonitor::instance().logWithLevel(
            kKLVLogErrorSilent, 840000, "Cannot create snapshot with an invalid SDK name", SDKName);
        return nullptr;
    }
    return std::make_shared<KLVESnapshot>(std::string(SDKName), experiments);
}

std::shared_ptr<KLVESnapshot> KLVESnapshot::initWithProtobuf(const KLVPBSnapshot& message) {
    Experiments experiments;
    for (const auto& experiment : NANOGetArray<KLVPBExperiment>(message, KLVPBSnapshot::experiments)
                                      .value_or(std::vector<KLVPBExperiment>{})) {
        experiments.push_back(KLVEExperiment::initWithProtobuf(experiment));
    }
    return initWithSDKName(NANOGetString(message, KLVPBSnapshot::sdk_name).value_or(""),
                           experiments);
}

std::optional<KLVPBFlag> KLVESnapshot::flagByName(std::string_view name) const {
    for (const auto& [experimentID, experiment] : experimentsByExperimentID_.dictionary()) {
        if (auto flag = experiment->flagWithName(name)) return flag;
    }
    return std::nullopt;
}

std::shared_ptr<KLVESnapshot> KLVESnapshot::copy() const {
    return initWithSDKName(SDKName_, experiments());
}

void KLVESnapshot::addFlag(const KLVPBFlag& flag, std::int32_t experimentID) {
    if (auto experiment = experimentsByExperimentID_.objectForKey(experimentID)) {
        (*experiment)->addFlag(flag);
        return;
    }
    experimentsByExperimentID_.setObject(KLVEExperiment::initWithExperimentID(experimentID, {flag}),
                                         experimentID);
}

void KLVESnapshot::addFlags(const std::vector<KLVPBFlag>& flags, std::int32_t experimentID) {
    for (const auto& flag : flags)
        addFlag(flag, experimentID);
}

KLVESnapshot::Experiments KLVESnapshot::experiments() const {
    Experiments out;
    for (auto& [experimentID, experiment] : experimentsByExperimentID_.dictionary())
        out.push_back(std::move(experiment));
    return out;
}

KLVPBSnapshot KLVESnapshot::proto() const {
    KLVPBSnapshot message;
    NANOSetString(message, KLVPBSnapshot::sdk_name, SDKName_);
    std::vector<KLVPBExperiment> list;
    for (const auto& experiment : experiments())
        list.push_back(experiment->proto());
    NANOSetArray(message, KLVPBSnapshot::experiments, list);
    return message;
}

}  // namespace engine
