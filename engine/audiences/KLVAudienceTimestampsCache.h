#pragma once

// The times at which dynamic and sequence filters were true, collected over one bundling run.
// A run starts from what each audience's stored result holds, adds the times evaluation finds,
// and hands back the lists that go into every new result of the audience. Times are seconds since
// 1970 in memory and whole seconds (truncated) in the result messages.
//
// A cache belongs to one bundling run on the worker queue; it takes no lock.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "engine/events/KLVEventFilter.h"
#include "engine/events/KLVFilterResult.h"
#include "engine/events/KLVPropertyFilter.h"
#include "engine/messages/KLVPBMessages.h"

namespace engine {

// The sequence-filter times of one audience, per filter in the order they were added.
class KLVSequenceTimestampsCache {
  public:
    explicit KLVSequenceTimestampsCache(std::int32_t audienceID) : audienceID_(audienceID) {}
    static KLVSequenceTimestampsCache initWithAudienceID(std::int32_t audienceID) {
        return KLVSequenceTimestampsCache(audienceID);
    }

    std::int32_t audienceID() const { return audienceID_; }
    // A copy of the filter's list; nullopt for an unknown filter.
    std::optional<std::vector<double>> sequenceTimestampsForFilterID(std::int32_t filterID) const;
    // Appends the time unless the last one falls in the same whole second; an earlier time than
    // the last is logged (42000) and still appended.
    void addEventFilterTimestamp(double timestamp, std::int32_t filterID);
    // A property filter keeps one time, the latest set (an earlier one logs 42001).
    void setUserPropertyTimestamp(double timestamp, std::int32_t filterID);
    // One message per filter in ascending ID, its times sorted ascending in whole seconds.
    std::vector<KLVPBSequenceFilterResultTimestamp> sequenceFilterResultTimestamps() const;

  private:
    std::int32_t audienceID_;
    std::map<std::int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
};

// What the evaluator keeps for one bundle beside the times (KLVAudience.cpp).
struct KLVAudienceBundleState;

class KLVAudienceTimestampsCache {
  public:
    // The bundler's cache for one bundle: the evaluator also keeps the filters it read and the
    // results it changed in it, and writes those results only when asked (KLVAudience::
    // saveBundleResults). Without this every evaluation reads and writes the database itself.
    void keepBundleState();
    // Null unless kept.
    KLVAudienceBundleState* bundleState() const { return bundleState_.get(); }

    // Loads the audience's stored times, once per audience: the first load of a run wins. Only
    // the latest stored time of each sequence filter is carried into the run.
    void populateCachedTimestamps(const std::optional<KLVFilterResult>& filterResult,
                                  std::int32_t audienceID);
    // Records a time at which the filter was true: sequence filters collect them, dynamic and
    // session-scoped ones keep the latest (an earlier or equal time logs 6037), others none.
    void addEvaluationTimestamp(double timestamp, const KLVEventFilter& filter);
    void addEvaluationTimestamp(double timestamp, const KLVPropertyFilter& filter);

    // Ascending filter ID; empty when there are none.
    std::vector<KLVPBDynamicFilterResultTimestamp> dynamicTimestampsForAudienceID(
        std::int32_t audienceID) const;
    // Nullopt when the cache holds no sequence entry for the audience.
    std::optional<std::vector<KLVPBSequenceFilterResultTimestamp>> sequenceTimestampsForAudienceID(
        std::int32_t audienceID) const;

  private:
    KLVSequenceTimestampsCache& sequenceCacheForAudienceID(std::int32_t audienceID);
    void addDynamicTimestamp(double timestamp, std::int32_t audienceID, std::int32_t filterID);

    std::map<std::int32_t, std::map<std::int32_t, double>> cachedDynamicFilterEvaluationTimestamps_;
    std::map<std::int32_t, KLVSequenceTimestampsCache> cachedSequenceEvaluationTimestamps_;
    std::shared_ptr<KLVAudienceBundleState> bundleState_;
};

}  // namespace engine
