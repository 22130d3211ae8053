// Writing one handled event: blocklists, then one transaction holding the daily limits, the
// real-time decision, the event's aggregates row, its metadata and the raw row itself. What the
// transaction reads for every event is kept between events: the database mirrors its counters
// and table facts, and the encoded metadata record is made again only when something it is made
// of changed.

#include <cmath>
#include <limits>
#include <vector>

#include "engine/base/KLVDataAdditions.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVEnvironmentInfo.h"
#include "engine/events/KLVDebugText.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/events/KLVEventAggregates.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVConditionalUserPropertyController.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "platform/dispatch/Clock.h"

namespace engine {

using platform::Error;

namespace {

constexpr std::int64_t kEventLimitReachedError = 8;
constexpr std::int64_t kEventIsBlockedError = 11;
constexpr std::int64_t kPublicEventLimitReachedError = 16;
constexpr std::int64_t kBlockedNameLimit = 40;

// Limit messages repeat only on every thousandth event past the limit.
bool isThousandth(std::int64_t overshoot) {
    return overshoot % 1000 == 0;
}

bool isPublicName(const std::string& name) {
    return !name.empty() && name.front() != '_';
}

bool isConversionName(const std::string& name) {
    return name == "ecommerce_purchase" || name == "_f" || name == "_iap" || name == "purchase" ||
           name == "refund";
}

const KLVValue* parameter(const KLVEvent& event, std::string_view name) {
    const auto it = event.parameters().find(name);
    return it == event.parameters().end() ? nullptr : &it->second;
}

// Built from a campaign event carrying a click ID.
std::optional<KLVPBAdCampaignInfo> adCampaignInfoFromEvent(const KLVEvent& event) {
    if (event.name() != "_cmp") return std::nullopt;
    if (!parameter(event, "nclid") && !parameter(event, "nbraid")) return std::nullopt;
    KLVPBAdCampaignInfo info;
    NANOSetInt64(info, KLVPBAdCampaignInfo::timestamp_millis,
                 static_cast<std::int64_t>(event.timestamp() * 1000));
    const std::pair<const char*, std::int32_t> fields[] = {
        {"nclid", KLVPBAdCampaignInfo::rclid},
        {"nbraid", KLVPBAdCampaignInfo::rbraid},
        {"nad_source", KLVPBAdCampaignInfo::rad_source},
    };
    for (const auto& [name, field] : fields) {
        const KLVValue* value = parameter(event, name);
        if (value && value->stringValue()) NANOSetString(info, field, *value->stringValue());
    }
    return info;
}

// The kept count of earlier first opens; below 1, or none, counts as 0.
std::int64_t previousFirstOpenCountOrZero() {
    const auto count = KLVMeasurement::previousFirstOpenCount().numberAsInteger().value_or(0);
    return count < 1 ? 0 : count;
}

}  // namespace

// The metadata record of stored events and what it was made of: while none of it changes, the
// next event's record is the same bytes with the same fingerprint.
struct KLVMeasurement::StoredMetadata {
    struct Inputs {
        const KLVIdentity* identity = nullptr;
        std::uint64_t identityChanges = 0;
        std::uint64_t consentChanges = 0;
        const KLVRemoteConfig* settings = nullptr;
        std::uint64_t settingsChanges = 0;
        const KLVDatabase* database = nullptr;
        std::uint64_t userAttributes = 0;
        std::int64_t sessionNumber = 0;
        bool sessionExpired = false;
        std::int32_t timeZoneOffset = 0;
        std::optional<std::string> language;
        std::uint64_t adCampaignInfoChanges = 0;
        bool operator==(const Inputs&) const = default;
    };
    Inputs inputs;
    // When the session stitching token in the record lapses.
    std::optional<double> tokenExpiration;
    platform::Data bytes;
    std::int64_t fingerprint = 0;
    bool hasResettableDeviceID = false;
};

std::shared_ptr<const KLVMeasurement::StoredMetadata> KLVMeasurement::currentStoredMetadata() {
    KLVDatabase& db = *database();
    const auto config = remoteConfigInstance();
    const auto id = identity();
    auto& environment = KLVEnvironmentInfo::sharedInstance();
    StoredMetadata::Inputs inputs;
    inputs.identity = id.get();
    inputs.identityChanges = id->changeCount();
    inputs.consentChanges = KLVConsentSettingsUtil::changeCount();
    inputs.settings = config.get();
    inputs.settingsChanges = config->changeCount();
    inputs.database = &db;
    inputs.userAttributes = db.userAttributesVersion();
    inputs.sessionNumber = persistedConfig_->sessionNumber();
    inputs.sessionExpired = isSessionExpired();
    inputs.timeZoneOffset = environment.timeZoneOffsetMinutes();
    inputs.language = environment.userDefaultLanguage();
    inputs.adCampaignInfoChanges = adCampaignInfoChanges_;
    if (storedMetadata_ && storedMetadata_->inputs == inputs &&
        (!storedMetadata_->tokenExpiration ||
         platform::Clock::current().now() < *storedMetadata_->tokenExpiration)) {
        return storedMetadata_;
    }
    storedMetadata_.reset();

    Error error;
    auto attributes = db.userAttributesIncludingInternal(true, &error);
    if (!attributes) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23067,
                               "Data loss. Cannot query user properties. Error", error);
    }
    std::optional<double> tokenExpiration;
    auto metadata = createRawEventMetadataWithUserAttributes(
        attributes.value_or(std::vector<KLVUserAttribute>{}), &tokenExpiration);
    if (!adCampaignInfoBufferCache_) {
        adCampaignInfoBufferCache_ = persistedConfig_->adCampaignInfoBuffer();
    }
    if (const auto& buffer = *adCampaignInfoBufferCache_; buffer.getData()) {
        if (!buffer.getData()->empty()) {
            if (const auto info = KLVPBAdCampaignInfo::initWithBuffer(*buffer.getData())) {
                NANOSetMessage(metadata, KLVPBMeasurementBundle::ad_campaign_info, *info);
            }
        }
    }
    auto made = std::make_shared<StoredMetadata>();
    made->inputs = std::move(inputs);
    made->tokenExpiration = tokenExpiration;
    made->bytes = metadata.protoBuffer().value_or(platform::Data{});
    made->fingerprint = klv_64LSBMD5(made->bytes);
    made->hasResettableDeviceID =
        NANOHasField(metadata, KLVPBMeasurementBundle::resettable_device_id);
    // A record made without the user properties is used once: the next event reads them again.
    if (attributes) storedMetadata_ = made;
    return made;
}

std::int32_t KLVMeasurement::currentDayNumber() {
    if (!midnightOffsetCache_) midnightOffsetCache_ = persistedConfig_->midnightOffset();
    return KLVDayNumber(platform::Clock::current().now(), *midnightOffsetCache_);
}

void KLVMeasurement::writeEventOnWorkerQueue(const KLVEvent& event) {
    KLVScheduler::checkOnWorkerQueue("writeEventOnWorkerQueue:");
    if (!database() || !remoteConfigInstance() || !identity()) return;
    // The debug texts are built only when the line is printed.
    if (monitor().isLoggableLevel(kKLVLogDebug)) {
        monitor().logWithLevel(kKLVLogDebug, 23051, "Logging event: origin, name, params",
                               event.origin(), KLVDebugEventName(event.name()),
                               KLVDebugParameters(event.parameters()));
    }
    // Time-outs and expiries are written by the controller before this event, triggered
    // properties' events after it.
    const auto triggered =
        KLVConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(&event,
                                                                                          this);
    if (!triggered) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 23050,
                               "Unable to process conditional user property. Event name, origin",
                               KLVDebugEventName(event.name()), event.origin());
    }
    writeFilteredEventOnWorkerQueue(event);
    if (triggered) {
        for (const auto& triggeredEvent : *triggered)
            writeFilteredEventOnWorkerQueue(triggeredEvent);
    }
}

void KLVMeasurement::writeFilteredEventOnWorkerQueue(KLVEvent event) {
    const auto config = remoteConfigInstance();
    if (config->isEventBlocklisted(event.name())) {
        monitor().logWithLevel(kKLVLogWarningSilent, 23052, "Rejected event. Event name",
                               KLVDebugEventName(event.name()));
        if (!config->blocklistInternal() && !config->blocklistPublic() && event.name() != "_err") {
            KLVLogErrorEventWithName(kEventIsBlockedError, event.name(), kBlockedNameLimit,
                                     nullptr);
        }
        return;
    }
    identity()->updateIdentifiers();
    if (isConversionName(event.name())) event.setConversion(true);
    // A lost event is logged where it failed and by the transaction; the caller goes on either way.
    (void)database()->performTransaction([&] { return writeEventInTransaction(event); });
    database()->noteEventsWritten(1);
}

bool KLVMeasurement::writeEventInTransaction(KLVEvent& event) {
    if (!updateLifetimeValueWithEvent(event)) return false;
    const bool isPublic = isPublicName(event.name());
    Error error;
    auto counts = database()->dailyCounts(&error);
    if (!counts) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23054,
                               "Data loss. Unable to query daily event counts. Error", error);
        return false;
    }
    const bool store = shouldProcessEvent(event, *counts, isPublic);
    const bool realtime = isRealtimeEvent(event, *counts);
    if (!database()->updateDailyCounts(*counts, &error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23061,
                               "Data loss. Unable to update daily event counts. Name, error",
                               KLVDebugEventName(event.name()), error);
        return false;
    }
    return store ? writeEvent(event, isPublic, realtime) : true;
}

bool KLVMeasurement::shouldProcessEvent(const KLVEvent& event, KLVDailyCounts& counts,
                                        bool isPublicEvent) {
    const std::int32_t day = currentDayNumber();
    if (counts.day() != day) counts.resetWithNewDay(day);
    const auto config = remoteConfigInstance();
    const bool isError = event.name() == "_err";
    const std::int64_t over =
        std::int64_t{counts.allEventsCount()} - std::int64_t{config->maxEventsPerDay()};
    bool drop = false;
    if (over >= 0) {
        if (isThousandth(over)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23055,
                                   "Data loss. Too many events logged. Name, limit",
                                   KLVDebugEventName(event.name()), config->maxEventsPerDay());
        }
        drop = true;
    } else if (isError) {
        const std::int64_t e =
            std::int64_t{counts.errorEventsCount()} - std::int64_t{config->maxErrorEventsPerDay()};
        if (e >= 0) {
            if (isThousandth(e)) {
                const KLVValue* code = parameter(event, "_err");
                monitor().logWithLevel(
                    kKLVLogErrorMonitored, 23056, "Too many error events logged. Error code, limit",
                    code ? code->description() : std::string(), config->maxErrorEventsPerDay());
            }
            drop = true;
        }
    } else if (isPublicEvent) {
        const std::int64_t p = std::int64_t{counts.publicEventsCount()} -
                               std::int64_t{config->maxPublicEventsPerDay()};
        if (p >= 0) {
            if (isThousandth(p)) {
                monitor().logWithLevel(kKLVLogErrorMonitored, 23057,
                                       "Data loss. Too many public events logged. Name, limit",
                                       KLVDebugEventName(event.name()),
                                       config->maxPublicEventsPerDay());
            }
            KLVLogErrorEvent(kPublicEventLimitReachedError);
            drop = true;
        }
    }
    if (isError) {
        counts.incrementErrorEventsCountForCurrentDay(day);
    } else {
        const std::int64_t effective = 1 + KLVArrayItemCount(&event);
        counts.incrementCountsForCurrentDay(
            day, isPublicEvent, false,
            static_cast<std::int32_t>(
                std::min<std::int64_t>(effective, std::numeric_limits<std::int32_t>::max())));
    }
    if (drop && over < 0) counts.decrementAllEventsCount();
    return !drop;
}

bool KLVMeasurement::isRealtimeEvent(KLVEvent& event, const KLVDailyCounts& counts) {
    const auto config = remoteConfigInstance();
    const bool debug = monitor().isDebugModeEnabled();
    const std::string& name = event.name();
    const bool limited =
        debug ? false : !(name == "_iap" || name == "_f" || name == "_dcu" || name == "_fx");
    const bool dcu = !debug && name == "_dcu";
    bool conversionRealtime = false;
    if (event.isConversion() || config->isEventCustomConversion(name)) {
        conversionRealtime =
            !limited || counts.realtimeCount() < config->maxRealtimeEventCountPerDay();
    }
    if (event.isRealtime() && limited &&
        counts.realtimeCount() >= config->maxRealtimeEventCountPerDay()) {
        event.setRealtime(false);
        monitor().logWithLevel(kKLVLogWarningMonitored, 23060,
                               "Too many real-time events. Event is no longer real-time. Event "
                               "name, parameters",
                               KLVDebugEventName(name), KLVDebugParameters(event.parameters()));
    }
    if (event.isRealtime() && dcu &&
        counts.dcuRealtimeCount() >= config->maxRealtimeDCUEventCountPerDay()) {
        event.setRealtime(false);
    }
    maybeAddDebugAndRealtimeParameters(event);
    return conversionRealtime || event.isRealtime();
}

void KLVMeasurement::maybeAddDebugAndRealtimeParameters(KLVEvent& event) {
    if (!monitor().isDebugModeEnabled()) return;
    event.setRealtime(true);
    event.setDebug(true);
    monitor().logWithLevel(kKLVLogDebug, 23073,
                           "Debug mode is enabled. Marking event as debug and real-time. Event "
                           "name, parameters",
                           KLVDebugEventName(event.name()), KLVDebugParameters(event.parameters()));
}

bool KLVMeasurement::writeEvent(const KLVEvent& event, bool isPublicEvent, bool isRealtime) {
    KLVDatabase& db = *database();
    const auto config = remoteConfigInstance();
    Error queryError;
    const auto hasAggregates = db.hasEventAggregatesWithName(event.name(), &queryError);
    if (!hasAggregates) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23063,
                               "Cannot query event aggregates. Name, error",
                               KLVDebugEventName(event.name()), queryError);
        return false;
    }
    Error error;
    if (!*hasAggregates) {
        if (isPublicEvent) {
            const auto count = db.publicEventCount(&error);
            if (!count) {
                monitor().logWithLevel(kKLVLogErrorMonitored, 23064,
                                       "Cannot query event count. Error", error);
                return false;
            }
            if (*count >= config->maxEventNameCardinality()) {
                monitor().logWithLevel(kKLVLogErrorMonitored, 23065,
                                       "Cannot set event. Reached limit on set events. Name",
                                       KLVDebugEventName(event.name()));
                KLVLogErrorEvent(kEventLimitReachedError);
                return false;
            }
        }
        const auto fresh = KLVEventAggregates::initWithName(event.name(), 0, 0, 0, 0);
        if (!fresh || !db.updateEventAggregates(*fresh, &error)) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23066,
                                   "Data loss. Cannot record event aggregates. Error", error);
            return false;
        }
    }
    // The identity is asked again only after it changed.
    const auto id = identity();
    const std::uint64_t identityChanges = id->changeCount();
    if (!lastAdvertisingIDResetCache_ || lastAdvertisingIDResetCache_->first != identityChanges) {
        lastAdvertisingIDResetCache_.emplace(identityChanges,
                                             id->shouldSetLastAdvertisingIDResetUserProperty());
    }
    if (lastAdvertisingIDResetCache_->second) {
        setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
    }
    // A campaign's click goes into the metadata of this event already.
    if (const auto info = adCampaignInfoFromEvent(event)) {
        if (const auto bytes = info->protoBuffer()) {
            persistedConfig_->setAdCampaignInfoBuffer(*bytes);
            adCampaignInfoBufferCache_ = platform::Object(*bytes);
            ++adCampaignInfoChanges_;
        }
    }
    const auto stored = currentStoredMetadata();
    const StoredMetadata& metadata = *stored;
    if (metadata.hasResettableDeviceID) {
        if (persistedConfig_->unmatchedFirstOpenWithoutIDFA()) {
            logFirstOpenConsentedEvent(event.timestamp());
        }
    } else if (event.name() == "_f") {
        persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(true);
    }
    const std::int64_t fingerprint = metadata.fingerprint;
    if (!db.insertIfNotExistsRawEventMetadata(metadata.bytes, fingerprint, &error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23068,
                               "Data loss. Cannot record event metadata. Error", error);
        return false;
    }
    const auto deleted = db.deleteRawEventsOverAbsoluteLimit(&error);
    if (!deleted) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23069,
                               "Data loss. Unable to check raw event storage limit. Error", error);
        return false;
    }
    if (*deleted != 0) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 23070,
                               "Data loss. Too many events stored on disk. Deleted count",
                               *deleted);
    }
    // A row that was not inserted fails the write, error or not: nothing else of the event may
    // be committed without it.
    if (!db.insertRawEvent(event, fingerprint, isRealtime, &error)) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23071,
                               "Data loss. Cannot record raw event. Error", error);
        return false;
    }
    if (event.name() == "_f") {
        const std::int64_t previous = previousFirstOpenCountOrZero();
        const std::int64_t next =
            previous == std::numeric_limits<std::int64_t>::max() ? previous : previous + 1;
        setPreviousFirstOpenCount(platform::Object(next));
    }
    if (monitor().isLoggableLevel(kKLVLogDebug)) {
        monitor().logWithLevel(kKLVLogDebug, 23072, "Event logged. Event name, event params",
                               KLVDebugEventName(event.name()),
                               KLVDebugParameters(event.parameters()));
    }
    return true;
}

void KLVMeasurement::logFirstOpenConsentedEvent(double timestamp) {
    persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(false);
    const std::int64_t previous = previousFirstOpenCountOrZero();
    std::int64_t uwa = 0;
    if (database()) {
        if (const auto fi = database()->userAttributeWithName("_fi")) {
            if (fi->value().isInt64() && fi->value().int64Value() < 1) uwa = 1;
        }
    }
    platform::Dictionary parameters{{"_pfo", platform::Object(previous < 2 ? 0 : previous - 1)},
                                    {"_uwa", platform::Object(uwa)}};
    scheduleWeak("KLVMeasurement:988", [timestamp, parameters](KLVMeasurement& self) {
        auto event = KLVEvent::initWithOrigin("auto", false, "_fx", timestamp, 0, parameters);
        if (!event) return;
        event->setRealtime(true);
        self.writeEventOnWorkerQueue(*event);
    });
}

}  // namespace engine
