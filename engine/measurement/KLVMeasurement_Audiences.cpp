// Audiences: what bundling and the configuration download ask of the audience evaluator. All of
// it runs on the worker queue inside the caller's transaction; a false or nullopt rolls that
// transaction back (the evaluator has logged why).

#include <memory>
#include <optional>
#include <vector>

#include "engine/audiences/KLVAudience.h"
#include "engine/audiences/KLVAudienceTimestampsCache.h"
#include "engine/bundles/KLVBundleEvent.h"
#include "engine/measurement/KLVMeasurement.h"

namespace engine {

void KLVMeasurement::audienceResetTimestampsCache() {
    audienceTimestampsCache_ = std::make_unique<KLVAudienceTimestampsCache>();
    // The bundle's filters are read once per name and its results written once.
    audienceTimestampsCache_->keepBundleState();
}

void KLVMeasurement::audienceClearEvaluationResultsForSessionScopedFilters() {
    // A failure is logged by the evaluator; the bundle goes on with the results as they stand.
    if (audience_) audience_->clearEvaluationResultsForSessionScopedFilters();
}

bool KLVMeasurement::audienceEvaluateFiltersForUserAttribute(const KLVPBUserAttribute& attribute,
                                                             std::optional<double> evaluationTime) {
    if (!audience_) return true;
    KLVAudienceTimestampsCache* cache = evaluationTime ? audienceTimestampsCache_.get() : nullptr;
    return audience_->evaluateFiltersForNanoUserProperty(attribute, cache, evaluationTime);
}

bool KLVMeasurement::audienceEvaluateFiltersForEvent(const KLVEvent& event,
                                                     const KLVEventAggregates& aggregates) {
    if (!audience_) return true;
    return audience_->evaluateFiltersForEvent(event, aggregates, audienceTimestampsCache_.get());
}

bool KLVMeasurement::audienceEvaluateFiltersForEvent(const KLVBundleEvent& event,
                                                     const KLVEventAggregates& aggregates) {
    if (audience_ && audienceTimestampsCache_) {
        const auto looked =
            audience_->hasEventFiltersForEventName(event.name(), *audienceTimestampsCache_);
        if (!looked) return false;
        if (!*looked) return true;
    }
    if (const KLVEvent* rebuilt = event.rebuilt())
        return audienceEvaluateFiltersForEvent(*rebuilt, aggregates);
    if (!audience_) return true;
    return audience_->evaluateFiltersForEventName(event.name(), event.storedParameters(),
                                                  aggregates, event.timestamp(),
                                                  audienceTimestampsCache_.get());
}

bool KLVMeasurement::audienceSaveBundleResults() {
    if (!audience_ || !audienceTimestampsCache_) return true;
    return audience_->saveBundleResults(*audienceTimestampsCache_);
}

std::optional<std::vector<KLVPBAudienceLeafFilterResult>>
KLVMeasurement::audienceResultsForBundling() {
    if (!audience_) return std::vector<KLVPBAudienceLeafFilterResult>{};
    return audience_->resultsForBundling();
}

bool KLVMeasurement::audienceUpdateAudiences(const std::vector<KLVPBAudience>& audiences) {
    return !audience_ || audience_->updateAudiences(audiences);
}

}  // namespace engine
