#pragma once

// The audience evaluator. It stores the audiences of each new configuration as filter rows,
// evaluates those filters against the events and user properties being bundled, keeps one result
// per audience (which filters were evaluated, which are true, and when dynamic and sequence
// filters were true), and hands the results to every upload bundle. It holds only the measurement
// database; everything else lives in the database's audience tables.
//
// What the bundler calls, all on the worker queue inside the bundle's transaction:
//   for each bundled event:   update its aggregates, then
//                             evaluateFiltersForEvent(event, aggregates, &cache)
//   for each user attribute:  evaluateFiltersForNanoUserProperty(attribute, &cache,
//                                                                earliestRawEventTime)
//   a session start ("_s"):   clearEvaluationResultsForSessionScopedFilters(), then each user
//                             attribute again with evaluateFiltersForNanoUserProperty(a, nullptr,
//                             std::nullopt)
//   the bundle's results:     resultsForBundling() into audience_evaluation_results
// A false or nullopt from any of them abandons the bundle (a database step failed, logged).
//
// Takes no lock: every call runs on the worker queue.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/audiences/KLVAudienceTimestampsCache.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVEvent.h"
#include "engine/events/KLVEventAggregates.h"
#include "engine/events/KLVFilterResult.h"
#include "engine/events/KLVUserAttribute.h"
#include "engine/messages/KLVPBMessages.h"

namespace engine {

class KLVRemoteConfig;

class KLVAudience {
  public:
    // Null without a database.
    static std::shared_ptr<KLVAudience> initWithDatabase(std::shared_ptr<KLVDatabase> database);
    explicit KLVAudience(std::shared_ptr<KLVDatabase> database) : database_(std::move(database)) {}

    // --- Definitions ---------------------------------------------------------------------------

    // Replaces the stored filters with those of the valid audiences (invalid ones are logged and
    // skipped), public names rewritten to internal ones. More audiences than the configured
    // maximum change nothing and answer true. False when a database step failed; the caller's
    // transaction then rolls back.
    bool updateAudiences(const std::vector<KLVPBAudience>& audiences);

    // --- Evaluation (a null cache: a fresh one for the call) ------------------------------------

    bool evaluateFiltersForEvent(const KLVEvent& event, const KLVEventAggregates& eventAggregates,
                                 KLVAudienceTimestampsCache* audienceTimestampsCache);
    bool evaluateFiltersForEventName(const std::string& eventName,
                                     const KLVParameters& eventParameters,
                                     const KLVEventAggregates& eventAggregates,
                                     double eventTimestamp,
                                     KLVAudienceTimestampsCache* audienceTimestampsCache);
    bool evaluateFiltersForUserProperty(const KLVUserAttribute& userAttribute,
                                        KLVAudienceTimestampsCache* audienceTimestampsCache,
                                        double evaluationTimestamp);
    // Without an evaluation time, the attribute's last set time is used. A message without a
    // value (or one the attribute rules refuse) is logged (6039) and skipped: true.
    bool evaluateFiltersForNanoUserProperty(const KLVPBUserAttribute& userAttribute,
                                            KLVAudienceTimestampsCache* audienceTimestampsCache,
                                            std::optional<double> evaluationTime);

    // With a cache that keeps bundle state: whether any event filter is stored (asked once per
    // bundle) and whether one is stored for the name (asked once per name), so that the bundler
    // builds an event's parameters only for names the audiences look at. Nullopt on a read
    // failure (logged, 6000).
    std::optional<bool> hasEventFiltersForEventName(const std::string& eventName,
                                                    KLVAudienceTimestampsCache& bundleCache);
    // Writes the results the bundle's evaluations changed (logged 6003 or 6007 on failure).
    bool saveBundleResults(KLVAudienceTimestampsCache& bundleCache);

    // Both the status and the result bit of the filter are set.
    static bool isFilterResult(const std::optional<KLVFilterResult>& filterResult,
                               std::int32_t filterID);
    // The audience's result with the filter's bits set from `newEvaluationResult` (status: a
    // result was given; result: it is true) and the cache's times for the audience; previous
    // results unchanged.
    static KLVFilterResult updatedFilterResultWithFilterID(
        std::int32_t filterID, std::int32_t audienceID,
        const std::optional<KLVFilterResult>& currentFilterResult,
        std::optional<bool> newEvaluationResult,
        const KLVAudienceTimestampsCache* audienceTimestampsCache);

    // --- Results and upkeep --------------------------------------------------------------------

    // One leaf per audience with some evaluated filter, in ascending audience ID; each reported
    // audience's current results become its previous ones. Nullopt when a database step failed.
    std::optional<std::vector<KLVPBAudienceLeafFilterResult>> resultsForBundling();
    // While more results are stored than the configured maximum, deletes those of audiences
    // defined neither by the stored filters nor by `acceptedAudienceIDs`.
    bool maybeDeleteStaleFilterResults(const std::set<std::int32_t>& acceptedAudienceIDs,
                                       const KLVRemoteConfig& settings);
    // Clears the bits and times of session-scoped filters; an audience left with no evaluated
    // filter loses its result.
    bool clearEvaluationResultsForSessionScopedFilters();

    const std::shared_ptr<KLVDatabase>& database() const { return database_; }

  private:
    // The log lines of the event and the property evaluation.
    struct EvaluationTexts;
    static const EvaluationTexts kEventEvaluationTexts;
    static const EvaluationTexts kPropertyEvaluationTexts;
    template <typename Filter, typename Message, typename Evaluate, typename Take>
    bool evaluateFilters(const std::string& name, const EvaluationTexts& texts, double timestamp,
                         KLVAudienceTimestampsCache* cache, const Evaluate& evaluate,
                         const Take& take);

    std::shared_ptr<KLVDatabase> database_;
};

}  // namespace engine
