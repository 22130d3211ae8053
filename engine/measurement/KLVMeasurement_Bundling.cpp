// Bundling: the oldest run of stored raw events of one metadata fingerprint becomes one
// compressed bundle in the upload queue, inside one transaction. Any failure rolls the whole
// bundle back, so the same run is tried again at the next bundling.

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/bundles/KLVBundleEvent.h"
#include "engine/bundles/KLVRawEventBundleFilter.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVDebugText.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVRawEventMetadata.h"
#include "engine/messages/MessageCodec.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"

namespace engine {

using platform::Error;

namespace {

bool isRealtimeLimitedEvent(const std::string& name, bool debug) {
    if (debug) return false;
    return name != "_iap" && name != "_f" && name != "_dcu" && name != "_fx";
}

bool isPublicName(const std::string& name) {
    return !name.empty() && name.front() != '_';
}

// Kept events (not rejected).
template <typename Visit>
void forEachKept(std::vector<KLVBundleEvent>& events, const Visit& visit) {
    for (KLVBundleEvent& event : events) {
        if (!event.isRejected()) visit(event);
    }
}

// A bundle's events, each encoded once, end to end in one buffer.
struct EncodedEvents {
    std::string bytes;
    std::vector<std::size_t> ends;

    void append(std::span<const std::uint8_t> event) {
        bytes.append(reinterpret_cast<const char*>(event.data()), event.size());
        ends.push_back(bytes.size());
    }
    std::vector<std::string_view> elements() const {
        std::vector<std::string_view> out;
        out.reserve(ends.size());
        std::size_t begin = 0;
        for (const std::size_t end : ends) {
            out.emplace_back(bytes.data() + begin, end - begin);
            begin = end;
        }
        return out;
    }
};

// Public names with an internal twin that the internal blocklist covers.
std::optional<std::string> internalNameForPublicName(const std::string& name) {
    if (name == "ad_impression") return std::string("_ai");
    return std::nullopt;
}

}  // namespace

bool KLVMeasurement::bundleRawEvents() {
    KLVScheduler::checkOnWorkerQueue("bundleRawEvents");
    if (!database() || !remoteConfigInstance() || !identity()) return false;
    bool bundled = false;
    bool wroteNPAProperty = false;
    // What the block did counts only once the transaction has committed.
    const bool committed = database()->performTransaction([&]() -> bool {
        Error error;
        const auto fingerprint = database()->nextMetadataFingerprintToProcess(&error);
        if (!fingerprint) {
            if (error.code == 0 && error.description.empty()) return true;  // nothing stored
            monitor().logWithLevel(kKLVLogErrorMonitored, 23095,
                                   "Unable to fetch next event metadata. Error", error);
            return false;
        }
        auto raws = rawEventsWithMetadataFingerprint(*fingerprint);
        if (!raws) return false;
        if (raws->empty()) {
            // Only a run of rows that do not decode reads empty; it has been deleted.
            bundled = true;
            return true;
        }
        auto bundle = database()->queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
        if (!bundle) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23098,
                                   "Unable to fetch event metadata. Metadata fingerprint, error",
                                   std::to_string(*fingerprint), error);
            return false;
        }
        const std::int64_t lastRowID = raws->back().rowID();
        const auto anyKept = processRawEvents(*raws, *fingerprint);
        if (!anyKept) return false;
        if (!*anyKept) {
            bundled = true;
            return true;
        }
        const bool denied = KLVConsentSettingsUtil::isAnalyticsStorageDenied();
        if (!evaluationTimeFromRawEvents(*raws, *bundle)) return false;
        handleAnalyticsStorageConsentTransitions(*bundle);
        audienceResetTimestampsCache();
        if (!eventsAfterUpdatingEventAggregates(*raws, !denied)) return false;

        EncodedEvents encoded;
        bool realtime = false;
        forEachKept(*raws, [&](const KLVBundleEvent& event) {
            event.appendEncodedEvent(encoded.bytes);
            encoded.ends.push_back(encoded.bytes.size());
            realtime = realtime || event.isRealtime();
        });
        const auto config = remoteConfigInstance();
        if (config->isEventSamplingEnabled() && !monitor().isDebugModeEnabled()) {
            std::vector<KLVPBEvent> protos;
            for (const std::string_view event : encoded.elements()) {
                protos.push_back(KLVPBEvent::initWithBuffer(
                                     std::span(reinterpret_cast<const std::uint8_t*>(event.data()),
                                               event.size()))
                                     .value_or(KLVPBEvent{}));
            }
            auto kept = sampleEvents(protos, &error);
            if (!kept) return false;
            encoded = EncodedEvents{};
            for (const KLVPBEvent& proto : *kept)
                encoded.append(proto.protoBuffer().value_or(platform::Data{}));
        }
        if (encoded.ends.empty()) {
            monitor().logWithLevel(kKLVLogWarningSilent, 23159,
                                   "No events left after sampling. Dropping bundle");
            // The evaluations of the dropped events still count.
            if (!denied && !audienceSaveBundleResults()) return false;
            if (!deleteBundledRawEvents(lastRowID, *fingerprint)) return false;
            bundled = true;
            return true;
        }

        double start = std::numeric_limits<double>::max();
        double end = std::numeric_limits<double>::min();
        for (const KLVBundleEvent& raw : *raws) {
            start = std::min(start, raw.timestamp());
            end = std::max(end, raw.timestamp());
        }
        if (!updateAppMetadataForBundle(*bundle, start, end)) return false;
        if (config->DMAConsentEnabled() && shouldUpdateNPAUserProperty()) {
            setPersonalizedAdsUserPropertyOnWorkerQueue();
            wroteNPAProperty = true;
        }
        if (!denied) {
            const auto attributes =
                NANOGetArray<KLVPBUserAttribute>(*bundle, KLVPBMeasurementBundle::user_attributes)
                    .value_or(std::vector<KLVPBUserAttribute>{});
            for (const KLVPBUserAttribute& attribute : attributes) {
                if (!audienceEvaluateFiltersForUserAttribute(attribute, start)) return false;
            }
            if (!audienceSaveBundleResults()) return false;
            const auto results = audienceResultsForBundling();
            if (!results) {
                monitor().logWithLevel(kKLVLogErrorMonitored, 23113,
                                       "Unable to read audience evaluation results");
                return false;
            }
            if (!results->empty()) {
                NANOSetArray(*bundle, KLVPBMeasurementBundle::audience_evaluation_results,
                             *results);
            }
        }
        addBundleMetadataIntoBundle(*bundle, start, end);
        if (!config->sessionStitchingTokenFeatureEnabled() || denied)
            NANOClearField(*bundle, KLVPBMeasurementBundle::session_stitching_token);

        const auto bytes = NANOEncodeMessageWithEncodedElements(
            bundle->messageInfo(), KLVPBMeasurementBundle::events, encoded.elements());
        if (!bytes || !database()->insertBundle(*bundle, *bytes, realtime, &error)) {
            if (!bytes)
                error = klv_errorWithCode(kKLVErrorCodeBadArgument, "Failed to insert nil bundle");
            monitor().logWithLevel(kKLVLogErrorMonitored, 23115, "Unable to insert bundle. Error",
                                   error);
            return false;
        }
        monitor().logWithLevel(kKLVLogVerbose, 23221, KLVConsentSettingsUtil::description());
        monitor().logWithLevel(
            kKLVLogDebug, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
            std::to_string(NANOGetInt32(*bundle, KLVPBMeasurementBundle::bundle_index)),
            std::to_string(NANOGetInt64(*bundle, KLVPBMeasurementBundle::end_timestamp_millis)));
        if (!deleteBundledRawEvents(lastRowID, *fingerprint)) return false;
        bundled = true;
        return true;
    });
    if (!committed) return false;
    if (wroteNPAProperty) setShouldUpdateNPAUserProperty(false);
    if (bundled) setSuspendedUploadTimestamp(0);
    return bundled;
}

std::optional<std::vector<KLVBundleEvent>> KLVMeasurement::rawEventsWithMetadataFingerprint(
    std::int64_t metadataFingerprint) {
    const auto config = remoteConfigInstance();
    const auto filter = KLVRawEventBundleFilter(config->uploadMaxEventsPerBundle(),
                                                config->uploadMaxSizeLimitBytes());
    const KLVStoredEventLimits limits = KLVStoredEventLimits::current();
    std::vector<KLVBundleEvent> events;
    std::size_t seen = 0;
    std::size_t accepted = 0;
    std::int64_t lastRowID = 0;
    Error error;
    const bool read = database()->readRawEventsWithMetadataFingerprintForBundling(
        metadataFingerprint, &error, [&](const KLVDatabase::RawEventColumns& columns) {
            ++seen;
            // Stored events pass through when they can; the others are rebuilt as they always
            // were (custom conversions among them: bundling marks them).
            std::optional<KLVBundleEvent> event;
            if (!config->isEventCustomConversion(std::string(columns.name)))
                event = KLVBundleEvent::storedEvent(columns, limits);
            Error conversionError;
            if (!event) {
                if (auto raw = KLVDatabase::rawEventDataFromColumns(columns, &conversionError))
                    event = KLVBundleEvent::rebuiltEvent(std::move(*raw));
            }
            KLVDatabase::RawEventRow row;
            row.rowID = columns.rowID.value_or(0);
            row.timestamp = columns.timestamp;
            row.dataSize = columns.data ? static_cast<std::int64_t>(columns.data->size()) : 0;
            row.converts = event.has_value();
            row.conversionError = &conversionError;
            if (!filter(accepted, row)) return false;
            ++accepted;
            lastRowID = row.rowID;
            // A row that does not convert keeps its place in the run but is skipped.
            if (event) {
                events.push_back(std::move(*event));
            } else {
                error = std::move(conversionError);
            }
            return true;
        });
    if (read && seen > 0 && accepted == 0) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 34005,
                               "Database contains records that were all filtered out");
    }
    if (read && (accepted == 0 || !events.empty())) return events;
    monitor().logWithLevel(kKLVLogErrorMonitored, 23097,
                           "Inconsistent state, raw event is expected. Error", error);
    // Rows that none decode would fail every bundling: they are deleted instead.
    if (read && lastRowID > 0 && deleteBundledRawEvents(lastRowID, metadataFingerprint))
        return std::vector<KLVBundleEvent>{};
    return std::nullopt;
}

namespace {

// An ad impression as the internal "_ai"; nothing for any other event.
std::optional<KLVEvent> internalAdImpression(const KLVEvent& event) {
    if (event.name() != "ad_impression") return std::nullopt;
    return KLVEvent::initWithOrigin(event.origin(), false, "_ai", event.timestamp(),
                                    event.previousTimestamp(), event.parameters());
}

}  // namespace

KLVRawEventData KLVMeasurement::internalEventFromPublicEvent(const KLVRawEventData& raw) {
    auto internal = internalAdImpression(raw.rawEvent());
    if (!internal) return raw;
    auto data = KLVRawEventData::initWithRawEvent(std::move(*internal), raw.rowID(),
                                                  raw.metadataFingerprint());
    return data ? std::move(*data) : raw;
}

std::optional<bool> KLVMeasurement::processRawEvents(std::vector<KLVBundleEvent>& raws,
                                                     std::int64_t metadataFingerprint) {
    const auto config = remoteConfigInstance();
    bool anyKept = false;
    for (KLVBundleEvent& raw : raws) {
        const std::string& name = raw.name();
        const auto internal = internalNameForPublicName(name);
        bool reject = false;
        if (internal && config->blocklistInternal() && !config->blocklistPublic()) {
            reject = false;
        } else if (config->isEventBlocklisted(name) ||
                   (internal && config->isEventBlocklisted(*internal))) {
            monitor().logWithLevel(kKLVLogWarningMonitored, 23099, "Rejected event. Event name",
                                   KLVDebugEventName(name));
            reject = true;
        } else if (config->redundantEngagementRemovalEnabled() && name == "_e") {
            reject = raw.integerParameter("_fr") == 1;
        }
        if (reject) {
            raw.setRejected();
        } else {
            anyKept = true;
        }
    }
    if (!anyKept) {
        if (!deleteBundledRawEvents(raws.back().rowID(), metadataFingerprint)) return std::nullopt;
        monitor().logWithLevel(kKLVLogWarningMonitored, 23100, "Rejected all events.");
        return false;
    }
    Error error;
    auto counts = database()->dailyCounts(&error);
    if (!counts) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23101,
                               "Failed to query daily event counts. Error", error);
        return std::nullopt;
    }
    bool changed = false;
    const std::string* firstName = nullptr;
    forEachKept(raws, [&](KLVBundleEvent& raw) {
        if (!firstName) firstName = &raw.name();
        KLVEvent* event = raw.rebuilt();
        if (!event) {
            // Kept as stored: neither a conversion nor a purchase, so only its real-time mark
            // may go.
            if (raw.isRealtime()) {
                const auto decision = realtimeAtBundling(raw.name(), *counts);
                changed |= decision.counted;
                if (!decision.realtime) raw.clearStoredRealtime();
            }
            return;
        }
        // Only an ad impression changes name.
        if (auto internal = internalAdImpression(*event)) *event = std::move(*internal);
        changed |= checkConversion(*event, *counts);
        changed |= checkRealtime(*event, *counts);
        *event = validatePurchaseEvent(std::move(*event));
    });
    if (changed && !database()->updateDailyCounts(*counts, &error)) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23106,
                               "Failed to update daily event counts. Name, error",
                               KLVDebugEventName(*firstName), error);
        return std::nullopt;
    }
    return true;
}

bool KLVMeasurement::checkConversion(KLVEvent& event, KLVDailyCounts& counts) {
    const auto config = remoteConfigInstance();
    if (config->isEventCustomConversion(event.name())) event.setConversion(true);
    if (!isPublicName(event.name()) || !event.isConversion()) return false;
    if (counts.conversionsCount() >= config->maxConversionsPerDay()) {
        event.setConversion(false);
        monitor().logWithLevel(kKLVLogWarning, 23102,
                               "Too many conversion events. Not logging event as conversion. "
                               "Name, limit",
                               KLVDebugEventName(event.name()),
                               std::to_string(config->maxConversionsPerDay()));
        return false;
    }
    counts.incrementCountsForCurrentDay(currentDayNumber(), false, true);
    counts.decrementAllEventsCount();
    return true;
}

bool KLVMeasurement::checkRealtime(KLVEvent& event, KLVDailyCounts& counts) {
    if (!event.isRealtime() && !event.isConversion()) return false;
    const auto decision = realtimeAtBundling(event.name(), counts);
    event.setRealtime(decision.realtime);
    return decision.counted;
}

KLVMeasurement::RealtimeDecision KLVMeasurement::realtimeAtBundling(const std::string& name,
                                                                    KLVDailyCounts& counts) {
    const auto config = remoteConfigInstance();
    const bool debug = monitor().isDebugModeEnabled();
    if (isRealtimeLimitedEvent(name, debug)) {
        if (counts.realtimeCount() < config->maxRealtimeEventCountPerDay()) {
            counts.incrementRealtimeCountsForCurrentDay(currentDayNumber());
            monitor().logWithLevel(kKLVLogDebug, 23103,
                                   "Event is under real-time event count daily limit. Marking the "
                                   "event as real-time. Event name, parameters",
                                   KLVDebugEventName(name));
            return {true, true};
        }
        monitor().logWithLevel(kKLVLogWarningMonitored, 23104,
                               "Number of real-time events is over the real-time event count "
                               "daily limit. Event is no longer real-time. Event name, parameters",
                               KLVDebugEventName(name));
        return {false, false};
    }
    if (!debug && name == "_dcu") {
        if (counts.dcuRealtimeCount() >= config->maxRealtimeDCUEventCountPerDay())
            return {false, false};
        counts.incrementDCURealtimeCountsForCurrentDay(currentDayNumber());
        return {true, true};
    }
    monitor().logWithLevel(kKLVLogDebug, 23105,
                           "Event is not subject to real-time event count daily limit. Marking an "
                           "event as real-time. Event name, parameters",
                           KLVDebugEventName(name));
    return {true, false};
}

bool KLVMeasurement::evaluationTimeFromRawEvents(const std::vector<KLVBundleEvent>& raws,
                                                 KLVPBMeasurementBundle& bundle) {
    const bool sessionStart = std::any_of(raws.begin(), raws.end(),
                                          [](const KLVBundleEvent& r) { return r.name() == "_s"; });
    Error error;
    if (sessionStart) {
        audienceClearEvaluationResultsForSessionScopedFilters();
        const auto attributes =
            NANOGetArray<KLVPBUserAttribute>(bundle, KLVPBMeasurementBundle::user_attributes)
                .value_or(std::vector<KLVPBUserAttribute>{});
        for (const KLVPBUserAttribute& attribute : attributes) {
            if (!audienceEvaluateFiltersForUserAttribute(attribute, std::nullopt)) return true;
        }
        if (!database()->clearCurrentSessionCounts(&error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23185,
                                   "Failed to clear event session counts. Error", error);
            return true;
        }
    }
    std::int64_t engagement = 0;
    for (const KLVBundleEvent& raw : raws) {
        const auto et = raw.integerParameter("_et");
        if (et && !raw.hasParameter("_fr")) engagement += *et;
    }
    if (!updateUserEngagement(engagement, bundle, false)) return true;
    if (sessionStart) {
        if (!database()->deleteUserAttributeWithName("_se", &error)) {
            monitor().logWithLevel(
                kKLVLogErrorMonitored, 23188,
                "Unable to delete session engagement property on session start. Error", error);
            return true;
        }
    }
    updateUserEngagement(engagement, bundle, true);
    return true;
}

bool KLVMeasurement::updateUserEngagement(std::int64_t milliseconds, KLVPBMeasurementBundle& bundle,
                                          bool sessionScoped) {
    if (milliseconds < 0) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23186, "User engagement time is negative.");
        return false;
    }
    if (milliseconds == 0) return true;
    const std::string name = sessionScoped ? "_se" : "_lte";
    Error error;
    std::int64_t total = milliseconds;
    const auto stored = database()->userAttributeWithName(name, &error);
    if (stored) {
        if (stored->value().isInt64()) total += stored->value().int64Value();
    } else if (error.code != 0 || !error.description.empty()) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23187,
                               "Failed to query for user engagement user property. Name, error",
                               name, error);
    }
    const double now = platform::Clock::current().now();
    const auto attribute =
        KLVUserAttribute::initWithOrigin("auto", name, KLVValue::initWithInt64(total), now);
    if (!attribute || !setUserPropertyInDatabaseOnWorkerQueue(*attribute)) return false;

    auto attributes =
        NANOGetArray<KLVPBUserAttribute>(bundle, KLVPBMeasurementBundle::user_attributes)
            .value_or(std::vector<KLVPBUserAttribute>{});
    bool found = false;
    for (KLVPBUserAttribute& existing : attributes) {
        if (NANOGetString(existing, KLVPBUserAttribute::name) != name) continue;
        NANOSetInt64(existing, KLVPBUserAttribute::int_value, total);
        NANOSetInt64(existing, KLVPBUserAttribute::set_timestamp_millis,
                     static_cast<std::int64_t>(now * 1000));
        found = true;
    }
    if (!found) attributes.push_back(attribute->protoUserAttribute());
    NANOSetArray(bundle, KLVPBMeasurementBundle::user_attributes, attributes);
    return true;
}

void KLVMeasurement::handleAnalyticsStorageConsentTransitions(
    const KLVPBMeasurementBundle& bundle) {
    const std::string previous = persistedConfig()->previousBundledConsentSignals().value_or("");
    const std::string current =
        NANOGetString(bundle, KLVPBMeasurementBundle::consent_signals).value_or("");
    if (previous == current) return;
    const bool wasDenied = KLVIsAnalyticsStorageDeniedInSignals(previous);
    const bool isDenied = KLVIsAnalyticsStorageDeniedInSignals(current);
    Error error;
    if (!wasDenied && isDenied && !database()->createEventsSnapshotTable(&error)) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 23266,
                               "Unable to create table snapshot. Error", error);
    }
    if (wasDenied && !isDenied && !database()->restoreFromEventsSnapshotTable(&error)) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 23267,
                               "Unable to restore from table snapshot. Error", error);
    }
    persistedConfig()->setPreviousBundledConsentSignals(current);
}

bool KLVMeasurement::eventsAfterUpdatingEventAggregates(std::vector<KLVBundleEvent>& events,
                                                        bool allowEventFilterEvaluation) {
    // Each name's row is read once and written once per bundle, with the same end state as a
    // read and a write per event.
    std::map<std::string, KLVEventAggregates, std::less<>> updated;
    Error error;
    bool failed = false;
    for (KLVBundleEvent& event : events) {
        if (event.isRejected()) continue;
        const std::string& name = event.name();
        const auto known = updated.find(name);
        auto aggregates = known != updated.end()
                              ? std::optional<KLVEventAggregates>(known->second)
                              : database()->eventAggregatesWithName(name, &error);
        if (!aggregates && (error.code != 0 || !error.description.empty())) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23107,
                                   "Failed to query event aggregates. Name, error",
                                   KLVDebugEventName(name), error);
            return false;
        }
        if (aggregates) {
            const double previous = aggregates->lastFireTimestamp();
            if (KLVEvent* rebuilt = event.rebuilt()) {
                *rebuilt = rebuilt->copyWithPreviousTimestamp(previous);
            } else {
                // A stored event's parameters are already what sanitising leaves: only the time
                // changes.
                KLVCheckPreviousTimestamp(previous, event.timestamp());
                event.setStoredPreviousTimestamp(previous);
            }
            aggregates->incrementCurrentBundleCount();
            aggregates->incrementLifetimeCount();
            aggregates->incrementCurrentSessionCount();
            aggregates->setLastFireTimestamp(event.timestamp());
        } else {
            aggregates = KLVEventAggregates::initWithName(name, 1, 1, 1, event.timestamp());
            if (!aggregates) return false;
        }
        updated.insert_or_assign(name, *aggregates);
        if (allowEventFilterEvaluation && !audienceEvaluateFiltersForEvent(event, *aggregates))
            return false;
    }
    for (const auto& [name, aggregates] : updated) {
        if (!database()->updateEventAggregates(aggregates, &error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23108,
                                   "Failed to update event aggregates. Error", error);
            failed = true;
            break;
        }
    }
    return !failed;
}

bool KLVMeasurement::updateAppMetadataForBundle(KLVPBMeasurementBundle& bundle, double start,
                                                double end) {
    Error error;
    auto metadata = database()->queryAppMetadata(&error);
    if (!metadata) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23111,
                               "Unable to fetch app metadata for bundling events. Error", error);
        return false;
    }
    const double lastStart = metadata->lastBundleStartTimestamp();
    const double lastEnd = metadata->lastBundleEndTimestamp();
    if (lastEnd > 0) {
        NANOSetInt64(bundle, KLVPBMeasurementBundle::previous_end_timestamp_millis,
                     static_cast<std::int64_t>(lastEnd * 1000));
    }
    if (lastStart > 0 || lastEnd > 0) {
        NANOSetInt64(bundle, KLVPBMeasurementBundle::previous_start_timestamp_millis,
                     static_cast<std::int64_t>((lastStart > 0 ? lastStart : lastEnd) * 1000));
    }
    metadata->incrementLastBundleIndex();
    metadata->setLastBundleStartTimestamp(start);
    metadata->setLastBundleEndTimestamp(end);
    NANOSetInt32(bundle, KLVPBMeasurementBundle::bundle_index, metadata->lastBundleIndex());
    if (!database()->updateAppMetadata(*metadata, &error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23112,
                               "Unable to update the app metadata. Error", error);
        return false;
    }
    return true;
}

void KLVMeasurement::addBundleMetadataIntoBundle(KLVPBMeasurementBundle& bundle, double start,
                                                 double end) {
    const auto config = remoteConfigInstance();
    const platform::Array experimentIDs = config->experimentIDs();
    if (!experimentIDs.empty())
        NANOSetArray(bundle, KLVPBMeasurementBundle::experiment_ids, experimentIDs);
    const auto monitoring = monitor().monitoringDataForDispatchWithSamplePeriod(
        config->monitoringSamplePeriod(), persistedConfig()->lastMonitorDataSampledTimestamp());
    if (monitoring && !monitoring->empty()) {
        NANOSetString(bundle, KLVPBMeasurementBundle::monitoring_data, *monitoring);
        persistedConfig()->setLastMonitorDataSampledTimestamp(platform::Clock::current().now());
    }
    if (config->version() >= 0)
        NANOSetInt64(bundle, KLVPBMeasurementBundle::config_version, config->version());
    if (NANOGetString(bundle, KLVPBMeasurementBundle::app_id).value_or("").empty()) {
        std::string appID = identity()->appID();
        if (appID.empty()) appID = platform::Bundle::mainBundle().bundleIdentifier();
        NANOSetString(bundle, KLVPBMeasurementBundle::app_id, appID);
    }
    NANOSetInt64(bundle, KLVPBMeasurementBundle::start_timestamp_millis,
                 static_cast<std::int64_t>(start * 1000));
    NANOSetInt64(bundle, KLVPBMeasurementBundle::end_timestamp_millis,
                 static_cast<std::int64_t>(end * 1000));
}

bool KLVMeasurement::deleteBundledRawEvents(std::int64_t maxRowID,
                                            std::int64_t metadataFingerprint) {
    Error error;
    if (!database()->deleteRawEventsWithMaxRowID(maxRowID, &error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23119,
                               "Unable to delete raw events. RowID, error",
                               std::to_string(maxRowID), error);
        return false;
    }
    const auto used =
        database()->containsRawEventWithMetadataFingerprint(metadataFingerprint, &error);
    if (!used) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23120,
                               "Unable to query existence of raw event. Metadata, error",
                               std::to_string(metadataFingerprint), error);
        return false;
    }
    if (!*used &&
        !database()->deleteRawEventMetadataWithMetadataFingerprint(metadataFingerprint, &error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23121,
                               "Unable to delete raw event metadata. Metadata, error",
                               std::to_string(metadataFingerprint), error);
        return false;
    }
    return true;
}

}  // namespace engine
