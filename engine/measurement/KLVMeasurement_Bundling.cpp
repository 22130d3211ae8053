// Bundling: the oldest run of stored raw events of one metadata fingerprint becomes one
// compressed bundle in the upload queue, inside one transaction. Any failure rolls the whole
// bundle back, so the same run is tried again at the next bundling.

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVDebugText.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVRawEventMetadata.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "engine/upload/KLVRawEventBundleFilter.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"

namespace engine {

using platform::Error;

namespace {

const KLVValue* parameter(const KLVEvent& event, std::string_view name) {
    const auto it = event.parameters().find(name);
    return it == event.parameters().end() ? nullptr : &it->second;
}

bool isRealtimeLimitedEvent(const KLVEvent& event, bool debug) {
    if (debug) return false;
    const std::string& name = event.name();
    return name != "_iap" && name != "_f" && name != "_dcu" && name != "_fx";
}

bool isPublicName(const std::string& name) {
    return !name.empty() && name.front() != '_';
}

// Public names with an internal twin that the internal blocklist covers.
std::optional<std::string> internalNameForPublicName(const std::string& name) {
    if (name == "ad_impression") return std::string("_ai");
    return std::nullopt;
}

}  // namespace

bool KLVMeasurement::bundleRawEvents() {
    KLVScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
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
        auto events = processRawEvents(*raws, *fingerprint);
        if (!events) return false;
        if (events->empty()) {
            bundled = true;
            return true;
        }
        const bool denied = KLVConsentSettingsUtil::isAnalyticsStorageDenied();
        if (!evaluationTimeFromRawEvents(*raws, *bundle)) return false;
        handleAnalyticsStorageConsentTransitions(*bundle);
        audienceResetTimestampsCache();
        events = eventsAfterUpdatingEventAggregates(*events, !denied);
        if (!events) return false;

        std::vector<KLVPBEvent> protos;
        protos.reserve(events->size());
        for (const KLVEvent& event : *events)
            protos.push_back(event.protoEvent());
        const auto config = remoteConfigInstance();
        if (config->isEventSamplingEnabled() && !monitor().isDebugModeEnabled()) {
            auto kept = sampleEvents(protos, &error);
            if (!kept) return false;
            protos = std::move(*kept);
        }
        if (protos.empty()) {
            monitor().logWithLevel(kKLVLogWarningSilent, 23159,
                                   "No events left after sampling. Dropping bundle");
            if (!deleteBundledRawEvents(lastRowID, *fingerprint)) return false;
            bundled = true;
            return true;
        }
        NANOSetArray(*bundle, KLVPBMeasurementBundle::events, protos);

        double start = std::numeric_limits<double>::max();
        double end = std::numeric_limits<double>::min();
        for (const KLVRawEventData& raw : *raws) {
            start = std::min(start, raw.rawEvent().timestamp());
            end = std::max(end, raw.rawEvent().timestamp());
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

        const bool realtime = std::any_of(events->begin(), events->end(),
                                          [](const KLVEvent& e) { return e.isRealtime(); });
        if (!database()->insertBundle(*bundle, realtime, &error)) {
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

std::optional<std::vector<KLVRawEventData>> KLVMeasurement::rawEventsWithMetadataFingerprint(
    std::int64_t metadataFingerprint) {
    const auto config = remoteConfigInstance();
    Error error;
    auto raws = database()->rawEventsWithMetadataFingerprintForBundling(
        metadataFingerprint, &error,
        KLVRawEventBundleFilter(config->uploadMaxEventsPerBundle(),
                                config->uploadMaxSizeLimitBytes()));
    if (!raws) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23097,
                               "Inconsistent state, raw event is expected. Error", error);
        // Rows that none decode would fail every bundling: they are deleted instead. The run is
        // read again to find where it ends.
        std::int64_t lastRowID = 0;
        database()->rawEventsWithMetadataFingerprintForBundling(
            metadataFingerprint, nullptr,
            [filter = KLVRawEventBundleFilter(config->uploadMaxEventsPerBundle(),
                                              config->uploadMaxSizeLimitBytes()),
             &lastRowID](std::size_t accepted, const KLVDatabase::RawEventRow& row) {
                if (!filter(accepted, row)) return false;
                lastRowID = row.rowID;  // a rowid is always an integer
                return true;
            });
        if (lastRowID > 0 && deleteBundledRawEvents(lastRowID, metadataFingerprint))
            return std::vector<KLVRawEventData>{};
        return std::nullopt;
    }
    return raws;
}

KLVRawEventData KLVMeasurement::internalEventFromPublicEvent(const KLVRawEventData& raw) {
    const KLVEvent& event = raw.rawEvent();
    if (event.name() != "ad_impression") return raw;
    auto internal = KLVEvent::initWithOrigin(event.origin(), false, "_ai", event.timestamp(),
                                             event.previousTimestamp(), event.parameters());
    if (!internal) return raw;
    auto data = KLVRawEventData::initWithRawEvent(std::move(*internal), raw.rowID(),
                                                  raw.metadataFingerprint());
    return data ? std::move(*data) : raw;
}

std::optional<std::vector<KLVEvent>> KLVMeasurement::processRawEvents(
    const std::vector<KLVRawEventData>& raws, std::int64_t metadataFingerprint) {
    const auto config = remoteConfigInstance();
    std::vector<const KLVRawEventData*> kept;
    for (const KLVRawEventData& raw : raws) {
        const KLVEvent& event = raw.rawEvent();
        const auto internal = internalNameForPublicName(event.name());
        bool reject = false;
        if (internal && config->blocklistInternal() && !config->blocklistPublic()) {
            reject = false;
        } else if (config->isEventBlocklisted(event.name()) ||
                   (internal && config->isEventBlocklisted(*internal))) {
            monitor().logWithLevel(kKLVLogWarningMonitored, 23099, "Rejected event. Event name",
                                   KLVDebugEventName(event.name()));
            reject = true;
        } else if (config->redundantEngagementRemovalEnabled() && event.name() == "_e") {
            const KLVValue* fr = parameter(event, "_fr");
            reject = fr && fr->isInt64() && fr->int64Value() == 1;
        }
        if (!reject) kept.push_back(&raw);
    }
    if (kept.empty()) {
        if (!deleteBundledRawEvents(raws.back().rowID(), metadataFingerprint)) return std::nullopt;
        monitor().logWithLevel(kKLVLogWarningMonitored, 23100, "Rejected all events.");
        return std::vector<KLVEvent>{};
    }
    Error error;
    auto counts = database()->dailyCounts(&error);
    if (!counts) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23101,
                               "Failed to query daily event counts. Error", error);
        return std::nullopt;
    }
    bool changed = false;
    std::vector<KLVEvent> events;
    events.reserve(kept.size());
    for (const KLVRawEventData* raw : kept) {
        // Only an ad impression changes name; any other event is copied once.
        KLVEvent event = raw->rawEvent().name() == "ad_impression"
                             ? internalEventFromPublicEvent(*raw).rawEvent()
                             : raw->rawEvent();
        changed |= checkConversion(event, *counts);
        changed |= checkRealtime(event, *counts);
        events.push_back(validatePurchaseEvent(std::move(event)));
    }
    if (changed && !database()->updateDailyCounts(*counts, &error)) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23106,
                               "Failed to update daily event counts. Name, error",
                               KLVDebugEventName(events.front().name()), error);
        return std::nullopt;
    }
    return events;
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
    const auto config = remoteConfigInstance();
    const bool debug = monitor().isDebugModeEnabled();
    if (isRealtimeLimitedEvent(event, debug)) {
        if (counts.realtimeCount() < config->maxRealtimeEventCountPerDay()) {
            counts.incrementRealtimeCountsForCurrentDay(currentDayNumber());
            event.setRealtime(true);
            monitor().logWithLevel(kKLVLogDebug, 23103,
                                   "Event is under real-time event count daily limit. Marking the "
                                   "event as real-time. Event name, parameters",
                                   KLVDebugEventName(event.name()));
            return true;
        }
        event.setRealtime(false);
        monitor().logWithLevel(kKLVLogWarningMonitored, 23104,
                               "Number of real-time events is over the real-time event count "
                               "daily limit. Event is no longer real-time. Event name, parameters",
                               KLVDebugEventName(event.name()));
        return false;
    }
    if (!debug && event.name() == "_dcu") {
        if (counts.dcuRealtimeCount() >= config->maxRealtimeDCUEventCountPerDay()) {
            event.setRealtime(false);
            return false;
        }
        counts.incrementDCURealtimeCountsForCurrentDay(currentDayNumber());
        event.setRealtime(true);
        return true;
    }
    event.setRealtime(true);
    monitor().logWithLevel(kKLVLogDebug, 23105,
                           "Event is not subject to real-time event count daily limit. Marking an "
                           "event as real-time. Event name, parameters",
                           KLVDebugEventName(event.name()));
    return false;
}

bool KLVMeasurement::evaluationTimeFromRawEvents(const std::vector<KLVRawEventData>& raws,
                                                 KLVPBMeasurementBundle& bundle) {
    const bool sessionStart = std::any_of(raws.begin(), raws.end(), [](const KLVRawEventData& r) {
        return r.rawEvent().name() == "_s";
    });
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
    for (const KLVRawEventData& raw : raws) {
        const KLVValue* et = parameter(raw.rawEvent(), "_et");
        if (et && et->isInt64() && !parameter(raw.rawEvent(), "_fr"))
            engagement += et->int64Value();
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

std::optional<std::vector<KLVEvent>> KLVMeasurement::eventsAfterUpdatingEventAggregates(
    const std::vector<KLVEvent>& events, bool allowEventFilterEvaluation) {
    std::vector<KLVEvent> out;
    out.reserve(events.size());
    // Each name's row is read once and written once per bundle, with the same end state as a
    // read and a write per event.
    std::map<std::string, KLVEventAggregates, std::less<>> updated;
    Error error;
    for (const KLVEvent& original : events) {
        const auto known = updated.find(original.name());
        auto aggregates = known != updated.end()
                              ? std::optional<KLVEventAggregates>(known->second)
                              : database()->eventAggregatesWithName(original.name(), &error);
        if (!aggregates && (error.code != 0 || !error.description.empty())) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23107,
                                   "Failed to query event aggregates. Name, error",
                                   KLVDebugEventName(original.name()), error);
            return std::nullopt;
        }
        KLVEvent event = aggregates
                             ? original.copyWithPreviousTimestamp(aggregates->lastFireTimestamp())
                             : original;
        if (aggregates) {
            aggregates->incrementCurrentBundleCount();
            aggregates->incrementLifetimeCount();
            aggregates->incrementCurrentSessionCount();
            aggregates->setLastFireTimestamp(event.timestamp());
        } else {
            aggregates = KLVEventAggregates::initWithName(event.name(), 1, 1, 1, event.timestamp());
            if (!aggregates) return std::nullopt;
        }
        updated.insert_or_assign(event.name(), *aggregates);
        if (allowEventFilterEvaluation && !audienceEvaluateFiltersForEvent(event, *aggregates))
            return std::nullopt;
        out.push_back(std::move(event));
    }
    for (const auto& [name, aggregates] : updated) {
        if (!database()->updateEventAggregates(aggregates, &error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23108,
                                   "Failed to update event aggregates. Error", error);
            return std::nullopt;
        }
    }
    return out;
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
