#include "engine/audiences/KLVAudienceTimestampsCache.h"

#include <algorithm>
#include <cmath>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/messages/NANOAccessors.h"

namespace engine {

namespace {

// Result messages carry whole seconds, the fraction dropped.
std::int64_t wholeSeconds(double timestamp) {
    return static_cast<std::int64_t>(timestamp);
}

KLVPBResultData decodedResults(const std::optional<KLVFilterResult>& filterResult) {
    if (!filterResult) return {};
    return KLVPBResultData::initWithBuffer(filterResult->currentResults())
        .value_or(KLVPBResultData{});
}

}  // namespace

// --- KLVSequenceTimestampsCache ------------------------------------------------------------------

std::optional<std::vector<double>> KLVSequenceTimestampsCache::sequenceTimestampsForFilterID(
    std::int32_t filterID) const {
    const auto it = allSequenceTimestampsByFilterID_.find(filterID);
    if (it == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
    return it->second;
}

void KLVSequenceTimestampsCache::addEventFilterTimestamp(double timestamp, std::int32_t filterID) {
    auto& timestamps = allSequenceTimestampsByFilterID_[filterID];
    if (!timestamps.empty() && timestamps.back() > timestamp) {
        monitor().logWithLevel(kKLVLogWarningSilent, 42000,
                               "Adding a sequence timestamp less than the last added timestamp");
    }
    if (!timestamps.empty() && wholeSeconds(timestamps.back()) == wholeSeconds(timestamp)) return;
    timestamps.push_back(timestamp);
}

void KLVSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, std::int32_t filterID) {
    auto& timestamps = allSequenceTimestampsByFilterID_[filterID];
    if (!timestamps.empty() && timestamps.back() > timestamp) {
        monitor().logWithLevel(kKLVLogWarningSilent, 42001,
                               "Setting a sequence timestamp less than the last set timestamp");
    }
    timestamps.assign(1, timestamp);
}

std::vector<KLVPBSequenceFilterResultTimestamp>
KLVSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
    std::vector<KLVPBSequenceFilterResultTimestamp> messages;
    messages.reserve(allSequenceTimestampsByFilterID_.size());
    for (const auto& [filterID, timestamps] : allSequenceTimestampsByFilterID_) {
        KLVPBSequenceFilterResultTimestamp message;
        NANOSetInt32(message, KLVPBSequenceFilterResultTimestamp::filter_id, filterID);
        if (!timestamps.empty()) {
            std::vector<double> sorted = timestamps;
            std::sort(sorted.begin(), sorted.end());
            platform::Array seconds;
            seconds.reserve(sorted.size());
            for (const double timestamp : sorted)
                seconds.emplace_back(wholeSeconds(timestamp));
            NANOSetArray(message, KLVPBSequenceFilterResultTimestamp::eval_timestamps, seconds);
        }
        messages.push_back(std::move(message));
    }
    return messages;
}

// --- KLVAudienceTimestampsCache ------------------------------------------------------------------

void KLVAudienceTimestampsCache::populateCachedTimestamps(
    const std::optional<KLVFilterResult>& filterResult, std::int32_t audienceID) {
    const bool needsDynamic = !cachedDynamicFilterEvaluationTimestamps_.contains(audienceID);
    const bool needsSequence = !cachedSequenceEvaluationTimestamps_.contains(audienceID);
    if (!needsDynamic && !needsSequence) return;
    const auto results = decodedResults(filterResult);
    if (needsDynamic) {
        auto& dynamic = cachedDynamicFilterEvaluationTimestamps_[audienceID];
        for (const auto& entry : NANOGetArray<KLVPBDynamicFilterResultTimestamp>(
                                     results, KLVPBResultData::dynamic_filter_timestamps)
                                     .value_or(std::vector<KLVPBDynamicFilterResultTimestamp>{})) {
            dynamic[NANOGetInt32(entry, KLVPBDynamicFilterResultTimestamp::filter_id)] =
                static_cast<double>(
                    NANOGetInt64(entry, KLVPBDynamicFilterResultTimestamp::timestamp_millis));
        }
    }
    if (needsSequence) {
        auto& sequence = sequenceCacheForAudienceID(audienceID);
        for (const auto& entry : NANOGetArray<KLVPBSequenceFilterResultTimestamp>(
                                     results, KLVPBResultData::sequence_filter_timestamps)
                                     .value_or(std::vector<KLVPBSequenceFilterResultTimestamp>{})) {
            const auto times =
                NANOGetArray(entry, KLVPBSequenceFilterResultTimestamp::eval_timestamps);
            if (!times || times->empty()) continue;
            sequence.addEventFilterTimestamp(
                static_cast<double>(times->back().numberAsInteger().value_or(0)),
                NANOGetInt32(entry, KLVPBSequenceFilterResultTimestamp::filter_id));
        }
    }
}

void KLVAudienceTimestampsCache::addEvaluationTimestamp(double timestamp,
                                                        const KLVEventFilter& filter) {
    if (filter.isSequence()) {
        sequenceCacheForAudienceID(filter.audienceID())
            .addEventFilterTimestamp(timestamp, filter.filterID());
    } else if (filter.isDynamic() || filter.isSessionScoped()) {
        addDynamicTimestamp(timestamp, filter.audienceID(), filter.filterID());
    }
}

void KLVAudienceTimestampsCache::addEvaluationTimestamp(double timestamp,
                                                        const KLVPropertyFilter& filter) {
    if (filter.isSequence()) {
        sequenceCacheForAudienceID(filter.audienceID())
            .setUserPropertyTimestamp(timestamp, filter.filterID());
    } else if (filter.isDynamic() || filter.isSessionScoped()) {
        addDynamicTimestamp(timestamp, filter.audienceID(), filter.filterID());
    }
}

void KLVAudienceTimestampsCache::addDynamicTimestamp(double timestamp, std::int32_t audienceID,
                                                     std::int32_t filterID) {
    // Present once the audience was loaded; the evaluation always loads before it records.
    const auto audience = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
    if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return;
    const auto stored = audience->second.find(filterID);
    const double cached = stored == audience->second.end() ? 0 : stored->second;
    if (cached < timestamp) {
        audience->second[filterID] = timestamp;
        return;
    }
    monitor().logWithLevel(
        kKLVLogWarningSilent, 6037,
        "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
}

std::vector<KLVPBDynamicFilterResultTimestamp>
KLVAudienceTimestampsCache::dynamicTimestampsForAudienceID(std::int32_t audienceID) const {
    std::vector<KLVPBDynamicFilterResultTimestamp> messages;
    const auto audience = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
    if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return messages;
    for (const auto& [filterID, timestamp] : audience->second) {
        KLVPBDynamicFilterResultTimestamp message;
        NANOSetInt32(message, KLVPBDynamicFilterResultTimestamp::filter_id, filterID);
        NANOSetInt64(message, KLVPBDynamicFilterResultTimestamp::timestamp_millis,
                     wholeSeconds(timestamp));
        messages.push_back(std::move(message));
    }
    return messages;
}

std::optional<std::vector<KLVPBSequenceFilterResultTimestamp>>
KLVAudienceTimestampsCache::sequenceTimestampsForAudienceID(std::int32_t audienceID) const {
    const auto audience = cachedSequenceEvaluationTimestamps_.find(audienceID);
    if (audience == cachedSequenceEvaluationTimestamps_.end()) return std::nullopt;
    return audience->second.sequenceFilterResultTimestamps();
}

KLVSequenceTimestampsCache& KLVAudienceTimestampsCache::sequenceCacheForAudienceID(
    std::int32_t audienceID) {
    return cachedSequenceEvaluationTimestamps_.try_emplace(audienceID, audienceID).first->second;
}

}  // namespace engine
