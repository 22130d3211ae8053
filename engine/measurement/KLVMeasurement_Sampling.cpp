// Event sampling while bundling: of an event name with a configured rate N about one event in N
// is kept, and the first losing event of each day (in the account's time zone) is kept as the
// day's exempt one. The per-name state lives in the event aggregates.

#include <map>
#include <string>
#include <vector>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/bundles/KLVBundleHelpers.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVDebugText.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/messages/NANOAccessors.h"
#include "platform/security/Random.h"

namespace engine {

using platform::Error;

bool KLVMeasurement::isEventBundledAfterRoll(std::int32_t rate) {
    if (rate < 2) return true;
    return platform::randomUniform(static_cast<std::uint32_t>(rate)) == 0;
}

bool KLVMeasurement::canEventBeSampled(const KLVPBEvent& event) {
    const auto config = remoteConfigInstance();
    if (!config->isEventSamplingEnabled()) return false;
    const std::string name = NANOGetString(event, KLVPBEvent::name).value_or("");
    if (!config->eventHasSamplingRate(name)) return false;
    if (config->samplingRateForEvent(name) > 1) return true;
    monitor().logWithLevel(kKLVLogWarningSilent, 23154, "Invalid sampling rate provided");
    return false;
}

std::optional<std::vector<KLVPBEvent>> KLVMeasurement::sampleEvents(
    const std::vector<KLVPBEvent>& events, Error* error) {
    const auto config = remoteConfigInstance();
    Error local;
    Error* out = error ? error : &local;
    auto all = database()->allEventAggregates(out);
    if (!all) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23157,
                               "Unable to query all event aggregates for cache. error", *out);
        return std::nullopt;
    }
    std::map<std::string, KLVEventAggregates, std::less<>> cache;
    for (KLVEventAggregates& aggregates : *all) {
        if (!aggregates.name().empty()) cache.emplace(aggregates.name(), std::move(aggregates));
    }
    const std::int32_t offset = config->analyticsAccountTimeZoneOffsetMinutes();

    std::vector<KLVPBEvent> kept;
    kept.reserve(events.size());
    for (const KLVPBEvent& original : events) {
        const std::string name = NANOGetString(original, KLVPBEvent::name).value_or("");
        if (name.empty()) {
            monitor().logWithLevel(kKLVLogErrorSilent, 23155,
                                   "Dropping event at sampling. Event has no name");
            continue;
        }
        const double t =
            static_cast<double>(NANOGetInt64(original, KLVPBEvent::timestamp_millis)) / 1000.0;
        const std::int32_t day = KLVSamplingDayNumber(t, offset);
        auto it = cache.find(name);
        if (it == cache.end()) {
            // Every stored event has its aggregates by now; a missing row starts afresh.
            auto fresh = KLVEventAggregates::initWithName(name, 0, 0, 0, 0);
            if (!fresh) {
                kept.push_back(original);
                continue;
            }
            it = cache.emplace(name, std::move(*fresh)).first;
        }
        KLVEventAggregates& state = it->second;
        if (!canEventBeSampled(original)) {
            state.setLastBundledTimestamp(t);
            state.setLastBundledDay(day);
            kept.push_back(original);
            continue;
        }
        const std::int32_t rate = config->samplingRateForEvent(name);
        KLVPBEvent event = original;
        if (isEventBundledAfterRoll(rate)) {
            state.setLastSamplingRate(rate);
            state.setLastSampledComplexEventID(std::nullopt);
            state.setLastBundledTimestamp(t);
            state.setLastBundledDay(day);
            KLVAddSamplingRateParameter(event, rate);
            kept.push_back(std::move(event));
            continue;
        }
        std::int32_t lastDay = state.lastBundledDay();
        if (lastDay == 0) {
            lastDay = KLVSamplingDayNumber(
                static_cast<double>(NANOGetInt64(original, KLVPBEvent::previous_timestamp_millis)) /
                    1000.0,
                offset);
        }
        state.setLastSamplingRate(rate);
        if (lastDay != day) {
            state.setLastBundledTimestamp(t);
            state.setLastBundledDay(day);
            state.setLastExemptFromSampling(true);
            KLVAddSamplingRateParameter(event, rate);
            KLVAddIntegerParameter(event, "_efs", 1);
            kept.push_back(std::move(event));
            continue;
        }
        const auto params = NANOGetArray<KLVPBEventParam>(original, KLVPBEvent::params)
                                .value_or(std::vector<KLVPBEventParam>{});
        for (const KLVPBEventParam& param : params) {
            if (NANOGetString(param, KLVPBEventParam::name) == "_eid")
                state.setLastSampledComplexEventID(NANOGetInt64(param, KLVPBEventParam::int_value));
        }
    }

    for (const auto& [name, cached] : cache) {
        Error readError;
        auto stored = database()->eventAggregatesWithName(name, &readError);
        if (!stored) {
            if (readError.code == 0 && readError.description.empty()) continue;  // never stored
            *out = readError;
            monitor().logWithLevel(kKLVLogErrorMonitored, 23151,
                                   "Unable to query event aggregates to update database. Name, "
                                   "error",
                                   KLVDebugEventName(name), readError);
            return std::nullopt;
        }
        if (cached.lastBundledTimestamp() != 0)
            stored->setLastBundledTimestamp(cached.lastBundledTimestamp());
        stored->setLastSamplingRate(cached.lastSamplingRate());
        stored->setLastSampledComplexEventID(cached.lastSampledComplexEventID());
        stored->setLastExemptFromSampling(cached.lastExemptFromSampling());
        stored->setLastBundledDay(cached.lastBundledDay());
        if (!database()->updateEventAggregates(*stored, out)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23152,
                                   "Failed to update event aggregates after removing removing "
                                   "events due to sampling. Error",
                                   *out);
            return std::nullopt;
        }
    }
    return kept;
}

}  // namespace engine
