#include "engine/audiences/KLVAudience.h"

#include <type_traits>
#include <utility>

#include "engine/audiences/KLVAudienceFilters.h"
#include "engine/base/KLVEventNameMap.h"
#include "engine/base/KLVEventParameterNameMap.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/base/KLVUserPropertyInternalNameMap.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVRemoteConfig.h"

namespace engine {

using platform::Data;
using platform::Error;

namespace {

// A database call fails only when it says so with an error; a refusal without one is an empty
// answer.
bool failed(const Error& error) {
    return !error.domain.empty();
}

Data encoded(const NANOMessageBase& message) {
    return message.protoBuffer().value_or(Data{});
}

std::vector<std::uint64_t> wordsOf(const KLVPBResultData& data, std::int32_t index) {
    std::vector<std::uint64_t> words;
    for (const auto& word : NANOGetArray(data, index).value_or(platform::Array{}))
        words.push_back(static_cast<std::uint64_t>(word.numberAsInteger().value_or(0)));
    return words;
}

void setWords(KLVPBResultData& data, std::int32_t index, const std::vector<std::uint64_t>& words) {
    platform::Array array;
    array.reserve(words.size());
    for (const auto word : words)
        array.emplace_back(static_cast<std::int64_t>(word));
    NANOSetArray(data, index, array);
}

// The filter's bit in a list of words; a word beyond the end holds nothing.
bool isBitSet(const std::vector<std::uint64_t>& words, std::int32_t filterID) {
    const auto word = static_cast<std::size_t>(KLVFilterWordIndex(filterID));
    return word < words.size() && (words[word] >> KLVFilterBitIndex(filterID) & 1) != 0;
}

void setBit(std::vector<std::uint64_t>& words, std::int32_t filterID, bool on) {
    const auto word = static_cast<std::size_t>(KLVFilterWordIndex(filterID));
    if (word >= words.size()) {
        if (!on) return;
        words.resize(word + 1, 0);
    }
    const std::uint64_t bit = std::uint64_t{1} << KLVFilterBitIndex(filterID);
    words[word] = on ? words[word] | bit : words[word] & ~bit;
}

KLVPBResultData decodedOrEmpty(const Data& bytes) {
    return KLVPBResultData::initWithBuffer(bytes).value_or(KLVPBResultData{});
}

// One audience's result while its filters are evaluated: the stored record and its two word
// lists, decoded once.
struct AudienceWork {
    explicit AudienceWork(std::optional<KLVFilterResult> storedResult)
        : stored(std::move(storedResult)) {
        if (!stored || stored->currentResults().empty()) return;
        const auto results = KLVPBResultData::initWithBuffer(stored->currentResults());
        if (!results) return;
        status = wordsOf(*results, KLVPBResultData::status);
        truths = wordsOf(*results, KLVPBResultData::results);
        usable = !status.empty() && !truths.empty();
        unusableAtLoad = !usable;
        logUnusable();
    }

    // A stored result without its word lists is reported whenever it is read; a kept one is
    // reported again on each reuse until an evaluation gives it words.
    void logUnusable() const {
        if (!unusableAtLoad || changed) return;
        monitor().logWithLevel(kKLVLogErrorSilent, 6023,
                               "Audience filter result is non-nil and is missing status or "
                               "results array. Audience result will not be bundled. Audience "
                               "ID, result data",
                               stored->audienceID());
    }

    // Both bits of the filter are set.
    bool isTrue(std::int32_t filterID) const {
        return usable && isBitSet(status, filterID) && isBitSet(truths, filterID);
    }

    // The status bit says whether there is a result, the result bit whether it is true; both
    // lists grow with zero words to reach the filter's word.
    void update(std::int32_t filterID, std::optional<bool> result) {
        const auto words = static_cast<std::size_t>(KLVFilterWordIndex(filterID)) + 1;
        if (status.size() < words) status.resize(words, 0);
        if (truths.size() < words) truths.resize(words, 0);
        setBit(status, filterID, result.has_value());
        setBit(truths, filterID, result.value_or(false));
        usable = true;
        changed = true;
    }

    // The new record: these words with the cache's times of the audience, the stored previous
    // results unchanged.
    KLVFilterResult filterResult(std::int32_t audienceID,
                                 const KLVAudienceTimestampsCache* cache) const {
        KLVPBResultData results;
        setWords(results, KLVPBResultData::status, status);
        setWords(results, KLVPBResultData::results, truths);
        if (cache) {
            NANOSetArray(results, KLVPBResultData::dynamic_filter_timestamps,
                         cache->dynamicTimestampsForAudienceID(audienceID));
            if (auto sequence = cache->sequenceTimestampsForAudienceID(audienceID)) {
                NANOSetArray(results, KLVPBResultData::sequence_filter_timestamps, *sequence);
            }
        }
        return KLVFilterResult(audienceID, encoded(results),
                               stored ? stored->previousResults() : Data{});
    }

    std::optional<KLVFilterResult> stored;
    std::vector<std::uint64_t> status;
    std::vector<std::uint64_t> truths;
    bool usable = false;
    bool unusableAtLoad = false;
    bool changed = false;
};

// A stored filter with its message decoded once.
template <typename Filter, typename Message>
struct CachedFilter {
    Filter filter;
    std::optional<Message> message;
};

template <typename Filter, typename Message>
using CachedFilters = std::vector<CachedFilter<Filter, Message>>;

template <typename Filter, typename Message>
CachedFilters<Filter, Message> cachedFilters(const std::vector<Filter>& filters) {
    CachedFilters<Filter, Message> cached;
    cached.reserve(filters.size());
    for (const Filter& filter : filters) {
        cached.push_back({filter, filter.data().empty() ? std::nullopt
                                                        : Message::initWithBuffer(filter.data())});
    }
    return cached;
}

// --- Definitions ---------------------------------------------------------------------------------

template <typename Table>
void replaceName(NANOMessageBase& message, std::int32_t index, const Table& table) {
    const auto name = NANOGetString(message, index);
    if (!name) return;
    if (const auto it = table.find(*name); it != table.end()) {
        NANOSetString(message, index, it->second);
    }
}

// The event filter with its event and parameter names in their internal form; the parameter
// filters are written back only when one of their names changed.
KLVPBEventFilter internalEventFilter(KLVPBEventFilter filter) {
    replaceName(filter, KLVPBEventFilter::event_name, KLVEventNameMap());
    auto parameters = NANOGetArray<KLVPBFilter>(filter, KLVPBEventFilter::filters)
                          .value_or(std::vector<KLVPBFilter>{});
    bool replaced = false;
    for (auto& parameter : parameters) {
        const auto before = NANOGetString(parameter, KLVPBFilter::param_name);
        replaceName(parameter, KLVPBFilter::param_name, KLVEventParameterNameMap());
        replaced = replaced || NANOGetString(parameter, KLVPBFilter::param_name) != before;
    }
    if (replaced) NANOSetArray(filter, KLVPBEventFilter::filters, parameters);
    return filter;
}

KLVPBPropertyFilter internalPropertyFilter(KLVPBPropertyFilter filter) {
    replaceName(filter, KLVPBPropertyFilter::property_name, KLVUserPropertyInternalNameMap());
    return filter;
}

void appendStoredFilters(const KLVPBAudience& audience, std::int32_t audienceID,
                         std::vector<KLVEventFilter>& eventFilters,
                         std::vector<KLVPropertyFilter>& propertyFilters) {
    for (const auto& original :
         NANOGetArray<KLVPBEventFilter>(audience, KLVPBAudience::event_filters)
             .value_or(std::vector<KLVPBEventFilter>{})) {
        const auto filter = internalEventFilter(original);
        eventFilters.emplace_back(audienceID, NANOGetInt32(filter, KLVPBEventFilter::filter_id),
                                  NANOGetString(filter, KLVPBEventFilter::event_name).value_or(""),
                                  encoded(filter),
                                  NANOGetBool(filter, KLVPBEventFilter::session_scoped),
                                  NANOGetBool(filter, KLVPBEventFilter::dynamic),
                                  NANOGetBool(filter, KLVPBEventFilter::sequence));
    }
    for (const auto& original :
         NANOGetArray<KLVPBPropertyFilter>(audience, KLVPBAudience::property_filters)
             .value_or(std::vector<KLVPBPropertyFilter>{})) {
        const auto filter = internalPropertyFilter(original);
        propertyFilters.emplace_back(
            audienceID, NANOGetInt32(filter, KLVPBPropertyFilter::filter_id),
            NANOGetString(filter, KLVPBPropertyFilter::property_name).value_or(""), encoded(filter),
            NANOGetBool(filter, KLVPBPropertyFilter::session_scoped),
            NANOGetBool(filter, KLVPBPropertyFilter::dynamic),
            NANOGetBool(filter, KLVPBPropertyFilter::sequence));
    }
}

// --- Results -------------------------------------------------------------------------------------

// Keeps only the latest time of the first sequence entry; true when there was more than one.
bool cutFirstSequenceEntry(KLVPBResultData& results) {
    auto entries = NANOGetArray<KLVPBSequenceFilterResultTimestamp>(
                       results, KLVPBResultData::sequence_filter_timestamps)
                       .value_or(std::vector<KLVPBSequenceFilterResultTimestamp>{});
    if (entries.empty()) return false;
    const auto times =
        NANOGetArray(entries.front(), KLVPBSequenceFilterResultTimestamp::eval_timestamps);
    if (!times || times->size() < 2) return false;
    NANOSetArray(entries.front(), KLVPBSequenceFilterResultTimestamp::eval_timestamps,
                 platform::Array{times->back()});
    NANOSetArray(results, KLVPBResultData::sequence_filter_timestamps, entries);
    return true;
}

// Removes the timestamp entries of the filters.
template <typename Entry>
void removeTimestampEntries(KLVPBResultData& results, std::int32_t index,
                            std::int32_t filterIDIndex, const std::set<std::int32_t>& filterIDs) {
    auto entries = NANOGetArray<Entry>(results, index).value_or(std::vector<Entry>{});
    std::erase_if(entries, [&](const Entry& entry) {
        return filterIDs.contains(NANOGetInt32(entry, filterIDIndex));
    });
    NANOSetArray(results, index, entries);
}

}  // namespace

// One bundle's filters, read once per name, and its audiences' results while its evaluations
// change them.
struct KLVAudienceBundleState {
    std::optional<bool> anyEventFilters;
    std::map<std::string, CachedFilters<KLVEventFilter, KLVPBEventFilter>, std::less<>>
        eventFilters;
    std::map<std::string, CachedFilters<KLVPropertyFilter, KLVPBPropertyFilter>, std::less<>>
        propertyFilters;
    std::map<std::int32_t, AudienceWork> audiences;
    // The name whose evaluation changed each audience last, and the code and text that tell a
    // failure to save it.
    struct Changer {
        std::string name;
        std::int64_t saveCode;
        const char* saveText;
    };
    std::map<std::int32_t, Changer> lastChangedBy;
};

void KLVAudienceTimestampsCache::keepBundleState() {
    if (!bundleState_) bundleState_ = std::make_shared<KLVAudienceBundleState>();
}

struct KLVAudience::EvaluationTexts {
    std::int64_t readFiltersCode;
    const char* readFiltersText;
    std::int64_t readResultCode;
    const char* readResultText;
    std::int64_t corruptDataCode;
    const char* corruptDataText;
    std::int64_t saveCode;
    const char* saveText;
};

const KLVAudience::EvaluationTexts KLVAudience::kEventEvaluationTexts = {
    6000,
    "Unable to query event filters for event. Event will not be evaluated. Event name, error",
    6001,
    "Unable to query filter result for audience. Event will not be evaluated. Event name, "
    "error",
    6035,
    "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, "
    "filter ID, audience ID, dynamic",
    6003,
    "Unable to save updated Audience filter results. Event will not be evaluated. Event name, "
    "error"};

const KLVAudience::EvaluationTexts KLVAudience::kPropertyEvaluationTexts = {
    6004,
    "Unable to query property filters for property. Property will not be evaluated. Property "
    "name, error",
    6005,
    "Unable to query filter result for audience. Property will not be evaluated. Property "
    "name, error",
    6036,
    "User property filter contains no data or corrupt data. User property will not be "
    "evaluated. User property name, filter ID, audience ID, dynamic",
    6007,
    "Unable to save updated Audience filter results. User property will not be evaluated. "
    "User property name, error"};

std::shared_ptr<KLVAudience> KLVAudience::initWithDatabase(std::shared_ptr<KLVDatabase> database) {
    if (!database) return nullptr;
    return std::make_shared<KLVAudience>(std::move(database));
}

bool KLVAudience::updateAudiences(const std::vector<KLVPBAudience>& audiences) {
    const auto settings = KLVRemoteConfig::current();
    if (static_cast<std::int64_t>(audiences.size()) > settings->maxAudienceCount()) {
        monitor().logWithLevel(kKLVLogErrorSilent, 6008,
                               "Configuration contains too many audiences. Audiences will not be "
                               "saved. Audience count",
                               static_cast<std::int64_t>(audiences.size()));
        return true;
    }
    std::vector<KLVEventFilter> eventFilters;
    std::vector<KLVPropertyFilter> propertyFilters;
    std::set<std::int32_t> acceptedAudienceIDs;
    for (const auto& audience : audiences) {
        Error error;
        if (!KLVValidateAudienceDefinition(audience, acceptedAudienceIDs, *settings, &error)) {
            monitor().logWithLevel(
                kKLVLogErrorSilent, 6009,
                "Audience definition is invalid. Audience will not be saved. Audience, error",
                NANOGetInt32(audience, KLVPBAudience::audience_id), error);
            continue;
        }
        const std::int32_t audienceID = NANOGetInt32(audience, KLVPBAudience::audience_id);
        acceptedAudienceIDs.insert(audienceID);
        appendStoredFilters(audience, audienceID, eventFilters, propertyFilters);
    }
    if (!maybeDeleteStaleFilterResults(acceptedAudienceIDs, *settings)) return false;

    Error error;
    if (!database_->deleteAllEventFilters(&error) && failed(error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 6010,
                               "Unable to delete existing Audience event filters. Audiences will "
                               "not be saved. Error",
                               error);
        return false;
    }
    if (!database_->deleteAllPropertyFilters(&error) && failed(error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 6011,
                               "Unable to delete existing Audience user property filters. "
                               "Audiences will not be saved. Error",
                               error);
        return false;
    }
    if (!eventFilters.empty() && !database_->updateEventFilters(eventFilters, &error) &&
        failed(error)) {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, 6012,
            "Unable to save Audience event filters. Audiences will not be saved. Error", error);
        return false;
    }
    if (!propertyFilters.empty() && !database_->updatePropertyFilters(propertyFilters, &error) &&
        failed(error)) {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, 6013,
            "Unable to save Audience user property filters. Audiences will not be saved. Error",
            error);
        return false;
    }
    return true;
}

// --- Evaluation ----------------------------------------------------------------------------------

namespace {

// The filters stored for a name: from the bundle's state when it keeps one (read once per name),
// else from the database. Nullopt (with the error) on a read failure.
std::optional<std::vector<KLVEventFilter>> readFilters(KLVDatabase& database,
                                                       const std::string& name, KLVEventFilter*,
                                                       Error* error) {
    return database.eventFiltersForEventName(name, error);
}

std::optional<std::vector<KLVPropertyFilter>> readFilters(KLVDatabase& database,
                                                          const std::string& name,
                                                          KLVPropertyFilter*, Error* error) {
    return database.propertyFiltersForPropertyName(name, error);
}

auto& filtersOf(KLVAudienceBundleState& state, KLVEventFilter*) {
    return state.eventFilters;
}

auto& filtersOf(KLVAudienceBundleState& state, KLVPropertyFilter*) {
    return state.propertyFilters;
}

}  // namespace

template <typename Filter, typename Message, typename Evaluate, typename Take>
bool KLVAudience::evaluateFilters(const std::string& name, const EvaluationTexts& texts,
                                  double timestamp, KLVAudienceTimestampsCache* cache,
                                  const Evaluate& evaluate, const Take& take) {
    KLVAudienceBundleState* state = cache ? cache->bundleState() : nullptr;
    // The filters of the name: kept for the bundle, or read for this call.
    constexpr Filter* kind = nullptr;
    if (state && state->anyEventFilters == false && std::is_same_v<Filter, KLVEventFilter>) {
        return true;
    }
    CachedFilters<Filter, Message> ownFilters;
    const CachedFilters<Filter, Message>* filters = nullptr;
    if (state) {
        const auto kept = filtersOf(*state, kind).find(name);
        if (kept != filtersOf(*state, kind).end()) filters = &kept->second;
    }
    if (!filters) {
        Error readError;
        const auto read = readFilters(*database_, name, kind, &readError);
        if (!read && failed(readError)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, texts.readFiltersCode,
                                   texts.readFiltersText, name, readError);
            return false;
        }
        auto decoded = cachedFilters<Filter, Message>(read.value_or(std::vector<Filter>{}));
        if (state) {
            filters =
                &filtersOf(*state, kind).insert_or_assign(name, std::move(decoded)).first->second;
        } else {
            ownFilters = std::move(decoded);
            filters = &ownFilters;
        }
    }
    if (filters->empty()) return true;
    KLVAudienceTimestampsCache freshCache;
    if (!cache) cache = &freshCache;
    // Each audience's result is read once and its words kept decoded while its filters update
    // them; the changed ones are encoded and written once at the end of the call, or of the
    // bundle when its state keeps them.
    std::map<std::int32_t, AudienceWork> ownAudiences;
    std::map<std::int32_t, AudienceWork>& audiences = state ? state->audiences : ownAudiences;
    std::set<std::int32_t> seen;
    for (const auto& [filter, message] : *filters) {
        const std::int32_t audienceID = filter.audienceID();
        auto work = audiences.find(audienceID);
        if (work == audiences.end()) {
            Error error;
            auto stored = database_->filterResultForAudienceID(audienceID, &error);
            if (!stored && failed(error)) {
                monitor().logWithLevel(kKLVLogErrorMonitored, texts.readResultCode,
                                       texts.readResultText, name, error);
                return false;
            }
            work = audiences.emplace(audienceID, AudienceWork(std::move(stored))).first;
            seen.insert(audienceID);
        } else if (seen.insert(audienceID).second) {
            // Kept from an earlier evaluation of the bundle: read again as the database would be.
            work->second.logUnusable();
        }
        const bool alreadyTrue = work->second.isTrue(filter.filterID());
        if (!KLVShouldEvaluateFilter(alreadyTrue, filter.isDynamic(), filter.isSequence(),
                                     filter.isSessionScoped())) {
            continue;
        }
        if (!message) {
            monitor().logWithLevel(kKLVLogErrorMonitored, texts.corruptDataCode,
                                   texts.corruptDataText,
                                   {name, filter.filterID(), audienceID, filter.isDynamic()});
            continue;
        }
        const auto result = evaluate(*message);
        if (!result) continue;
        cache->populateCachedTimestamps(work->second.stored, audienceID);
        if (*result) cache->addEvaluationTimestamp(timestamp, filter);
        work->second.update(filter.filterID(), take(filter, *result, alreadyTrue));
        if (state) {
            state->lastChangedBy.insert_or_assign(
                audienceID, KLVAudienceBundleState::Changer{name, texts.saveCode, texts.saveText});
        }
    }
    if (state) return true;
    std::vector<KLVFilterResult> results;
    for (const auto& [audienceID, work] : audiences) {
        if (work.changed) results.push_back(work.filterResult(audienceID, cache));
    }
    if (results.empty()) return true;
    Error error;
    if (!database_->updateFilterResults(results, &error) && failed(error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, texts.saveCode, texts.saveText, name, error);
        return false;
    }
    return true;
}

std::optional<bool> KLVAudience::hasEventFiltersForEventName(
    const std::string& eventName, KLVAudienceTimestampsCache& bundleCache) {
    KLVAudienceBundleState* state = bundleCache.bundleState();
    if (!state) return true;
    if (!state->anyEventFilters) {
        Error error;
        state->anyEventFilters = database_->containsEventFilters(&error);
        if (!state->anyEventFilters) {
            monitor().logWithLevel(kKLVLogErrorMonitored, kEventEvaluationTexts.readFiltersCode,
                                   kEventEvaluationTexts.readFiltersText, eventName, error);
            return std::nullopt;
        }
    }
    if (!*state->anyEventFilters) return false;
    auto kept = state->eventFilters.find(eventName);
    if (kept == state->eventFilters.end()) {
        Error error;
        const auto read = database_->eventFiltersForEventName(eventName, &error);
        if (!read && failed(error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, kEventEvaluationTexts.readFiltersCode,
                                   kEventEvaluationTexts.readFiltersText, eventName, error);
            return std::nullopt;
        }
        kept = state->eventFilters
                   .emplace(eventName, cachedFilters<KLVEventFilter, KLVPBEventFilter>(
                                           read.value_or(std::vector<KLVEventFilter>{})))
                   .first;
    }
    return !kept->second.empty();
}

bool KLVAudience::saveBundleResults(KLVAudienceTimestampsCache& bundleCache) {
    KLVAudienceBundleState* state = bundleCache.bundleState();
    if (!state) return true;
    std::vector<KLVFilterResult> results;
    for (const auto& [audienceID, work] : state->audiences) {
        if (work.changed) results.push_back(work.filterResult(audienceID, &bundleCache));
    }
    // Written once; the state starts over, as a fresh read would find these results.
    state->audiences.clear();
    auto changedBy = std::move(state->lastChangedBy);
    state->lastChangedBy.clear();
    if (results.empty()) return true;
    Error error;
    if (!database_->updateFilterResults(results, &error) && failed(error)) {
        const auto& changer = changedBy.rbegin()->second;
        monitor().logWithLevel(kKLVLogErrorMonitored, changer.saveCode, changer.saveText,
                               changer.name, error);
        return false;
    }
    return true;
}

bool KLVAudience::evaluateFiltersForEvent(const KLVEvent& event,
                                          const KLVEventAggregates& eventAggregates,
                                          KLVAudienceTimestampsCache* audienceTimestampsCache) {
    return evaluateFiltersForEventName(event.name(), event.parameters(), eventAggregates,
                                       event.timestamp(), audienceTimestampsCache);
}

bool KLVAudience::evaluateFiltersForEventName(const std::string& eventName,
                                              const KLVParameters& eventParameters,
                                              const KLVEventAggregates& eventAggregates,
                                              double eventTimestamp,
                                              KLVAudienceTimestampsCache* audienceTimestampsCache) {
    return evaluateFilters<KLVEventFilter, KLVPBEventFilter>(
        eventName, kEventEvaluationTexts, eventTimestamp, audienceTimestampsCache,
        [&](const KLVPBEventFilter& message) {
            return KLVEvaluateEventFilter(message, eventName, eventParameters, eventAggregates);
        },
        // An event filter that has been true stays true.
        [](const KLVEventFilter&, bool result, bool alreadyTrue) { return result || alreadyTrue; });
}

bool KLVAudience::evaluateFiltersForUserProperty(
    const KLVUserAttribute& userAttribute, KLVAudienceTimestampsCache* audienceTimestampsCache,
    double evaluationTimestamp) {
    return evaluateFilters<KLVPropertyFilter, KLVPBPropertyFilter>(
        userAttribute.name(), kPropertyEvaluationTexts, evaluationTimestamp,
        audienceTimestampsCache,
        [&](const KLVPBPropertyFilter& message) {
            return KLVEvaluatePropertyFilter(message, userAttribute);
        },
        [](const KLVPropertyFilter& filter, bool result, bool alreadyTrue) {
            return KLVShouldTakePropertyResult(result, filter.isDynamic(), filter.isSessionScoped())
                       ? result
                       : alreadyTrue;
        });
}

bool KLVAudience::evaluateFiltersForNanoUserProperty(
    const KLVPBUserAttribute& userAttribute, KLVAudienceTimestampsCache* audienceTimestampsCache,
    std::optional<double> evaluationTime) {
    const auto attribute = KLVUserAttributeFromMessage(userAttribute);
    if (!attribute) {
        // Skipped rather than failed: a failure would abandon the same bundle at every run.
        monitor().logWithLevel(kKLVLogErrorSilent, 6039,
                               "Could not convert user property from nano format.");
        return true;
    }
    return evaluateFiltersForUserProperty(*attribute, audienceTimestampsCache,
                                          evaluationTime.value_or(attribute->lastSetTimestamp()));
}

bool KLVAudience::isFilterResult(const std::optional<KLVFilterResult>& filterResult,
                                 std::int32_t filterID) {
    return AudienceWork(filterResult).isTrue(filterID);
}

KLVFilterResult KLVAudience::updatedFilterResultWithFilterID(
    std::int32_t filterID, std::int32_t audienceID,
    const std::optional<KLVFilterResult>& currentFilterResult,
    std::optional<bool> newEvaluationResult,
    const KLVAudienceTimestampsCache* audienceTimestampsCache) {
    AudienceWork work(currentFilterResult);
    work.update(filterID, newEvaluationResult);
    return work.filterResult(audienceID, audienceTimestampsCache);
}

// --- Results and upkeep --------------------------------------------------------------------------

std::optional<std::vector<KLVPBAudienceLeafFilterResult>> KLVAudience::resultsForBundling() {
    Error error;
    const auto stored = database_->allFilterResults(&error);
    if (!stored && failed(error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 6019,
                               "Unable to query Audience filter results. Audience results will not "
                               "be bundled. Error",
                               error);
        return std::nullopt;
    }
    std::vector<KLVPBAudienceLeafFilterResult> leaves;
    std::vector<KLVFilterResult> newRecords;
    for (const auto& [audienceID, record] :
         stored.value_or(std::map<std::int32_t, KLVFilterResult>{})) {
        auto current = KLVPBResultData::initWithBuffer(record.currentResults());
        if (!current) {
            monitor().logWithLevel(kKLVLogErrorSilent, 6020,
                                   "Current result data is nil. Audience result will not be "
                                   "bundled. Audience ID",
                                   audienceID);
            continue;
        }
        if (!KLVAnyBitSet(wordsOf(*current, KLVPBResultData::status))) {
            monitor().logWithLevel(kKLVLogErrorSilent, 6021,
                                   "Current result status is 0. Audience result will not be "
                                   "bundled. Audience ID",
                                   audienceID);
            continue;
        }
        KLVPBAudienceLeafFilterResult leaf;
        NANOSetInt32(leaf, KLVPBAudienceLeafFilterResult::audience_id, audienceID);
        NANOSetMessage(leaf, KLVPBAudienceLeafFilterResult::current_data, &*current);
        const bool isNewAudience = record.previousResults().empty();
        NANOSetBool(leaf, KLVPBAudienceLeafFilterResult::new_audience, isNewAudience);
        if (!isNewAudience) {
            const auto previous = KLVPBResultData::initWithBuffer(record.previousResults());
            if (previous && encoded(*previous) == encoded(*current)) {
                // Nothing changed since the last bundle: the first sequence entry is sent with
                // its latest time only.
                if (cutFirstSequenceEntry(*current)) {
                    NANOSetMessage(leaf, KLVPBAudienceLeafFilterResult::current_data, &*current);
                }
            } else if (previous) {
                NANOSetMessage(leaf, KLVPBAudienceLeafFilterResult::previous_data, &*previous);
            }
        }
        leaves.push_back(std::move(leaf));
        newRecords.emplace_back(audienceID, encoded(*current), record.currentResults());
    }
    if (!newRecords.empty() && !database_->updateFilterResults(newRecords, &error) &&
        failed(error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 6022,
                               "Unable to save updated Audience filter results. Audience results "
                               "will not be bundled. Error",
                               error);
        return std::nullopt;
    }
    return leaves;
}

bool KLVAudience::maybeDeleteStaleFilterResults(const std::set<std::int32_t>& acceptedAudienceIDs,
                                                const KLVRemoteConfig& settings) {
    Error error;
    const auto stored = database_->allFilterResults(&error);
    if (!stored && failed(error)) {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, 6015,
            "Unable to query Audience filter results. Audiences will not be saved. Error", error);
        return false;
    }
    const std::int64_t maxCount = settings.maxFilterResultCount();
    const auto count = static_cast<std::int64_t>(stored ? stored->size() : 0);
    if (count <= maxCount) return true;
    monitor().logWithLevel(kKLVLogWarning, 6016,
                           "Too many Audience filter results. Deleting filter results for deleted "
                           "Audiences. Filter result count, max filter result count",
                           count, maxCount);
    const auto definedIDs = database_->allAudienceIDs(&error);
    if (!definedIDs && failed(error)) {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, 6017,
            "Unable to query current Audience IDs. Audiences will not be saved. Error", error);
        return false;
    }
    const auto definedList = definedIDs.value_or(std::vector<std::int32_t>{});
    const std::set<std::int32_t> defined(definedList.begin(), definedList.end());
    std::vector<KLVFilterResult> stale;
    for (const auto& [audienceID, result] : *stored) {
        if (!defined.contains(audienceID) && !acceptedAudienceIDs.contains(audienceID)) {
            stale.push_back(result);
        }
    }
    // The database refuses an empty deletion; with nothing stale there is nothing to do, and a
    // refusal here would throw away the whole new configuration.
    if (stale.empty()) return true;
    if (!database_->deleteFilterResults(stale, &error) && failed(error)) {
        monitor().logWithLevel(
            kKLVLogErrorMonitored, 6018,
            "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
            error);
        return false;
    }
    return true;
}

bool KLVAudience::clearEvaluationResultsForSessionScopedFilters() {
    Error error;
    const auto scoped = database_->allSessionScopedFilters(&error);
    if (!scoped && failed(error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 6040,
                               "Unable to query all session scoped filters. Session scoped results "
                               "will not be cleared. Error",
                               error);
        return false;
    }
    const auto stored = database_->allFilterResults(&error);
    if (!stored && failed(error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 6041,
                               "Unable to query all filter results. Session scoped results will "
                               "not be cleared. Error",
                               error);
        return false;
    }
    if (!scoped || !stored) return true;
    for (const auto& [audienceID, filterIDs] : *scoped) {
        const auto record = stored->find(audienceID);
        if (record == stored->end()) continue;
        auto results = decodedOrEmpty(record->second.currentResults());
        auto status = wordsOf(results, KLVPBResultData::status);
        auto truths = wordsOf(results, KLVPBResultData::results);
        for (const auto filterID : filterIDs) {
            setBit(status, filterID, false);
            setBit(truths, filterID, false);
        }
        if (!KLVAnyBitSet(status)) {
            if (!database_->deleteFilterResults({record->second}, &error) && failed(error)) {
                monitor().logWithLevel(kKLVLogErrorMonitored, 6042,
                                       "Unable to delete filter results. Session scoped results "
                                       "will not be cleared. Error",
                                       error);
                return false;
            }
            continue;
        }
        setWords(results, KLVPBResultData::status, status);
        setWords(results, KLVPBResultData::results, truths);
        const std::set<std::int32_t> cleared(filterIDs.begin(), filterIDs.end());
        removeTimestampEntries<KLVPBDynamicFilterResultTimestamp>(
            results, KLVPBResultData::dynamic_filter_timestamps,
            KLVPBDynamicFilterResultTimestamp::filter_id, cleared);
        removeTimestampEntries<KLVPBSequenceFilterResultTimestamp>(
            results, KLVPBResultData::sequence_filter_timestamps,
            KLVPBSequenceFilterResultTimestamp::filter_id, cleared);
        const KLVFilterResult updated(audienceID, encoded(results),
                                      record->second.currentResults());
        if (!database_->updateFilterResults({updated}, &error) && failed(error)) {
            monitor().logWithLevel(kKLVLogErrorSilent, 6043,
                                   "Unable to update filter results. Session scoped results will "
                                   "not be cleared. Error",
                                   error);
            return false;
        }
    }
    return true;
}

}  // namespace engine
