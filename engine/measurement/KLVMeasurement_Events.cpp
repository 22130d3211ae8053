// Event entry and handling on the worker queue: default parameters, the interceptor and the
// listeners, then the pipeline of one event (allowlist, background sessions, duplicates,
// feature rollouts, event editing) up to the write.

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

#include "engine/base/KLVErrors.h"
#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/events/KLVDebugText.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/events/KLVParameterSanitizer.h"
#include "engine/measurement/KLVEventListenerNotifier.h"
#include "engine/measurement/KLVLoggedEventBatch.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVScreenViewReporter.h"
#include "engine/settings/KLVPEventEditing.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "engine/stores/KLVSqliteStore.h"
#include "platform/dispatch/Clock.h"

namespace engine {

using platform::Dictionary;
using platform::Object;

namespace {

constexpr std::int64_t kDefaultParameterArrayError = 27;
constexpr std::int64_t kDefaultParameterLimitError = 26;

bool isListenerExempt(const std::string& origin, const std::string& name) {
    return origin == "vu" || name == "_xa" || name == "_xu";
}

const KLVValue* parameter(const KLVEvent& event, std::string_view name) {
    const auto it = event.parameters().find(name);
    return it == event.parameters().end() ? nullptr : &it->second;
}

}  // namespace

// ---- Entry ------------------------------------------------------------------------------------

std::optional<Dictionary> KLVMeasurement::cachedDefaultEventParameters() {
    if (!persistedConfig_) return std::nullopt;
    if (!defaultEventParametersCache_) {
        defaultEventParametersCache_ = persistedConfig_->defaultEventParameters();
    }
    return *defaultEventParametersCache_;
}

void KLVMeasurement::invalidatePersistedValueCaches() {
    midnightOffsetCache_.reset();
    defaultEventParametersCache_.reset();
    adCampaignInfoBufferCache_.reset();
    ++adCampaignInfoChanges_;
    storedMetadata_.reset();
    lastAdvertisingIDResetCache_.reset();
}

Dictionary KLVMeasurement::parametersWithAddedDefaultEventParameters(const Dictionary& parameters) {
    auto defaults = cachedDefaultEventParameters();
    if (!defaults || defaults->empty()) return parameters;
    for (const auto& [key, value] : parameters)
        (*defaults)[key] = value;
    return std::move(*defaults);
}

void KLVMeasurement::logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                     const std::string& name,
                                                     const Dictionary& parameters, double timestamp,
                                                     bool enabled, bool ignoreEnabled,
                                                     bool ignoreInterceptor,
                                                     const KLVLogEventInterceptor& interceptor,
                                                     const Dictionary& addedScreenParameters) {
    const Dictionary withDefaults = (ignoreInterceptor || name == "_err")
                                        ? parameters
                                        : parametersWithAddedDefaultEventParameters(parameters);
    auto event = KLVEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, withDefaults);
    if (!event) {
        monitor().logWithLevel(kKLVLogErrorMonitored, 23219,
                               "Attempted to log nil event. Origin, name, parameters", origin,
                               KLVDebugEventName(name), KLVDebugParameters(withDefaults));
        return;
    }
    if (!addedScreenParameters.empty()) event->addScreenParameters(addedScreenParameters);

    bool notify = true;
    if (!enabled && !ignoreEnabled) {
        notify = false;
    } else if (isListenerExempt(origin, name)) {
        notify = false;
    } else if (interceptor && isPublicEvent && !ignoreInterceptor) {
        Dictionary merged = withDefaults;
        for (const auto& [key, value] : addedScreenParameters)
            merged[key] = value;
        interceptor(origin, name, merged, timestamp);
        return;
    }
    logEventOnWorkerQueue(*event, notify);
}

void KLVMeasurement::handleLoggedEventBatchOnWorkerQueue(KLVLoggedEventBatch& batch) {
    KLVLoggedEvent event;
    const auto handleNext = [&] {
        if (!batch.next(event)) return false;
        logEventOnWorkerQueueWithOrigin(event.origin, event.isPublicEvent, event.name,
                                        event.parameters, event.timestamp, event.enabled,
                                        event.ignoreEnabled, event.ignoreInterceptor,
                                        event.interceptor, event.addedScreenParameters);
        return true;
    };
    const auto reportLost = [](std::size_t count, const platform::Error& error) {
        for (std::size_t i = 0; i < count; ++i) {
            monitor().logWithLevel(kKLVLogErrorMonitored, 23071,
                                   "Data loss. Cannot record raw event. Error", error);
        }
    };
    // Once the time to store has run out nothing more is stored; the stop waits for this batch
    // to end, and reads the count after it.
    {
        std::lock_guard lock(storingMutex_);
        if (storingStopped_.load()) return;
        writingLoggedEvents_ = true;
    }
    struct Writing {
        KLVMeasurement& self;
        ~Writing() {
            {
                std::lock_guard lock(self.storingMutex_);
                self.writingLoggedEvents_ = false;
            }
            self.storingChanged_.notify_all();
        }
    } writing{*this};
    // The batch's events leave the count of those not stored once their transaction has ended;
    // those a batch never gets to (it ended early) leave it with the batch, unless storing has
    // stopped: then they are lost, and stay counted.
    struct Settled {
        std::atomic<std::int64_t>& notStored;
        std::int64_t left;
        bool keepLeft = false;
        void add(std::size_t count) {
            notStored -= static_cast<std::int64_t>(count);
            left -= static_cast<std::int64_t>(count);
        }
        ~Settled() {
            if (!keepLeft) notStored -= left;
        }
    } settled{loggedEventsNotStored_, static_cast<std::int64_t>(batch.remaining())};
    const auto stopped = [this, &settled] {
        if (!storingStopped_.load()) return false;
        settled.keepLeft = true;
        return true;
    };
    while (batch.remaining() > 0 && !stopped()) {
        KLVDatabase* db = database();
        if (batch.remaining() == 1 || !db || db->isInGroupedTransaction() ||
            !db->beginGroupedTransaction()) {
            if (handleNext()) settled.add(1);
            continue;
        }
        // Events handled since the group's writes were last known to be safe.
        std::size_t exposed = 0;
        std::uint64_t lost = db->lostGroupCount();
        std::size_t handled = 0;
        // A stop lets the group end after the event being written: it is committed with what
        // it holds.
        for (; handled < kEventsPerTransaction && !storingStopped_.load(); ++handled) {
            // Each event's writes are a unit: should the commit fail, they are committed again
            // one event at a time.
            db->beginGroupUnit();
            if (!handleNext()) break;
            ++exposed;
            if (db->lostGroupCount() != lost) {
                // SQLite dropped the transaction and its writes could not be made again: the
                // events before this one are gone; this one reported its own failure.
                lost = db->lostGroupCount();
                reportLost(exposed - 1,
                           klv_errorWithCode(kKLVSqliteStoreErrorSQLite, "Transaction failed"));
                exposed = 1;
            }
        }
        // The events lost to a failed commit are logged by the database.
        (void)db->endGroupedTransaction();
        settled.add(handled);
    }
}

bool KLVMeasurement::stopStoringEvents(double seconds) {
    std::unique_lock lock(storingMutex_);
    storingStopped_ = true;
    return storingChanged_.wait_for(lock, std::chrono::duration<double>(std::max(0.0, seconds)),
                                    [this] { return !writingLoggedEvents_; });
}

void KLVMeasurement::logEventOnWorkerQueue(const KLVEvent& event, bool notifyEventListeners) {
    if (!notifyEventListeners) {
        handleEventOnWorkerQueue(event);
        return;
    }
    const KLVEvent copy = event;
    handleEventOnWorkerQueue(event);
    KLVNotifyEventListeners(copy);
}

void KLVMeasurement::logEvent(const KLVEvent& event) {
    scheduleWeak("KLVMeasurement:2520",
                 [event](KLVMeasurement& self) { self.handleEventOnWorkerQueue(event); });
}

void KLVMeasurement::setDefaultEventParametersOnWorkerQueue(
    const std::optional<Dictionary>& parameters) {
    handleSetDefaultEventParametersOnWorkerQueue(parameters, false);
}

void KLVMeasurement::handleSetDefaultEventParametersOnWorkerQueue(
    const std::optional<Dictionary>& parameters, bool backfillEvents) {
    KLVScheduler::checkOnWorkerQueue("handleSetDefaultEventParametersOnWorkerQueue:");
    if (!isEnabled() || !persistedConfig_) {
        monitor().logWithLevel(kKLVLogDebug, 23211,
                               "Analytics is disabled. Default event parameters not updated");
        return;
    }
    Dictionary defaults;
    if (parameters) defaults = cachedDefaultEventParameters().value_or(Dictionary{});
    const auto settings = KLVRemoteConfig::current();
    for (const auto& [key, value] : parameters.value_or(Dictionary{})) {
        if (!value.isNull() && !value.isNumber() && !value.isString()) {
            if (value.isArray()) KLVLogErrorEvent(kDefaultParameterArrayError);
            monitor().logWithLevel(kKLVLogWarningMonitored, 23213,
                                   "Invalid key in default event parameters. Parameter ignored.");
            continue;
        }
        if (!KLVDataTypeValidator::isValidPublicEventParameterName(key)) {
            monitor().logWithLevel(kKLVLogWarningMonitored, 23214,
                                   "Invalid default event parameter name. Name", key);
            continue;
        }
        if (value.isNull()) {
            defaults.erase(key);
            continue;
        }
        const auto klvValue = KLVValue::valueFromObject(value);
        if (klvValue &&
            KLVDataTypeValidator::isValidPublicEventParameterValue(&*klvValue, *settings)) {
            defaults[key] = value;
        }
    }
    const auto config = remoteConfigInstance();
    const std::int64_t limit = config ? config->maxPublicEventParams() : 100;
    if (KLVCountPublicParameters(defaults, false) > limit) {
        KLVTrimDefaultParameters(defaults, limit);
        KLVLogErrorEvent(kDefaultParameterLimitError);
        monitor().logWithLevel(kKLVLogWarningMonitored, 23215,
                               "Too many default event parameters set. Discarding beyond event "
                               "parameter limit");
    }
    if (!backfillEvents) {
        monitor().logWithLevel(kKLVLogDebug, 23216, "Updating default event parameters. Parameters",
                               KLVDebugParameters(defaults));
    }
    persistedConfig_->setDefaultEventParameters(defaults);
    defaultEventParametersCache_ = defaults;
}

// ---- Handling ---------------------------------------------------------------------------------

void KLVMeasurement::handleInternalEventOnWorkerQueue(KLVEvent event) {
    KLVScheduler::checkOnWorkerQueue("handleInternalEventOnWorkerQueue:");
    if (event.name() != "_err") {
        if (auto defaults = cachedDefaultEventParameters()) {
            event.applyParameters(*defaults);
        }
    }
    const KLVEvent copy = event;
    handleEventOnWorkerQueue(std::move(event));
    KLVNotifyEventListeners(copy);
}

void KLVMeasurement::handleEventOnWorkerQueue(KLVEvent event) {
    KLVScheduler::checkOnWorkerQueue("handleEventOnWorkerQueue:");
    // A start that failed leaves components unset: events are dropped as while disabled.
    if (!isEnabled() || !database() || !remoteConfigInstance() || !identity()) {
        monitor().logWithLevel(kKLVLogDebug, 23049, "Analytics is disabled. Event not logged");
        return;
    }
    auto safelisted = eventAfterSafelistingEvent(event);
    if (!safelisted) return;
    event = std::move(*safelisted);
    processSessionFromEvent(event);
    if (!dedupeSubscriptionEvent(event)) return;
    if (shouldDropDuplicatedSessionStartWithRolloutEvent(event)) return;
    event = appExceptionEventWithTarnwellFeatureRollouts(event);
    writeSessionStartEventOnWorkerQueue(event);

    const auto editor = remoteConfigInstance()->eventEditing();
    if (!editor) {
        writeEventOnWorkerQueue(event);
        updateSchedule();
        return;
    }
    platform::Error error;
    // False answers a pass that left the event as it was, too: only the error tells a failure.
    (void)editor->handleEvent(event.editEvent(), &error);
    if (!error.domain.empty()) {
        writeEventOnWorkerQueue(event);
        monitor().logWithLevel(kKLVLogErrorMonitored, 23223, "Event editing failed. Event name",
                               KLVDebugEventName(event.name()));
        // The unedited event is stored like any other, so it is uploaded like any other.
        updateSchedule();
        return;
    }
    if (editor->hasEdits()) {
        if (auto edited = KLVEvent::eventFromEditEvent(editor->eventContext().outputEvent())) {
            event = std::move(*edited);
        }
    }
    writeEventOnWorkerQueue(event);
    if (editor->hasCreatedEvents()) {
        for (const auto& created : editor->eventContext().eventsToLog()) {
            const auto originIt = created.parameters.find("_o");
            const std::string origin =
                originIt != created.parameters.end() && originIt->second.isString()
                    ? originIt->second.asString()
                    : "app";
            if (auto made = KLVEvent::initWithOrigin(origin, false, created.name, created.timestamp,
                                                     0, created.parameters)) {
                writeEventOnWorkerQueue(*made);
            }
        }
    }
    updateSchedule();
}

std::optional<KLVEvent> KLVMeasurement::eventAfterSafelistingEvent(const KLVEvent& event) {
    const auto& allowed = safelistedEvents();
    if (!allowed || allowed->empty()) return event;
    for (const auto& name : *allowed) {
        if (name != event.name()) continue;
        KLVParameters parameters = event.parameters();
        parameters.insert_or_assign("pe_safelisted", KLVValue::initWithInt64(1));
        return event.copyWithParameters(parameters);
    }
    monitor().logWithLevel(kKLVLogWarning, 23174,
                           "Event dropped. Reason: not in allowlist. Event name, origin",
                           KLVDebugEventName(event.name()), event.origin());
    return std::nullopt;
}

void KLVMeasurement::processSessionFromEvent(const KLVEvent& event) {
    if (KLVScreenViewReporter::sharedInstance().isAppActive()) return;
    if (const KLVValue* extend = parameter(event, "extend_session")) {
        if (extend->isInt64() && extend->int64Value() == 1) {
            if (isSessionExpired()) {
                reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
            } else {
                extendSession();
            }
        } else {
            monitor().logWithLevel(kKLVLogWarning, 23179,
                                   "extend_session is a reserved parameter. To extend or start a "
                                   "session in the background, set an event parameter "
                                   "{@'extend_session': @1}");
        }
    }
    if (!isSessionExpired()) return;
    KLVDatabase* db = database();
    // A failure is logged by the step that failed and by the transaction; nothing else is undone.
    (void)db->performTransaction([&] {
        struct Step {
            const char* name;
            std::int64_t code;
            const char* message;
        };
        static constexpr Step steps[] = {
            {"_sid", 23177,
             "Failed to remove session ID user property on session expiration. Error"},
            {"_sno", 23178,
             "Failed to remove session number user property on session expiration. Error"},
            {"_se", 23192,
             "Failed to remove session user engagement user property on session expiration. "
             "Error"},
        };
        for (const auto& step : steps) {
            platform::Error error;
            if (!db->deleteUserAttributeWithName(step.name, &error)) {
                monitor().logWithLevel(kKLVLogErrorSilent, step.code, step.message, error);
                return false;
            }
        }
        return true;
    });
}

bool KLVMeasurement::dedupeSubscriptionEvent(const KLVEvent& event) {
    if (!KLVIsSubscriptionEvent(event)) return true;
    const KLVValue* did = parameter(event, "_did");
    if (!did || !did->isInt64()) return true;
    const KLVValue* productIDValue = parameter(event, "product_id");
    const std::string productID = productIDValue ? productIDValue->description() : "";
    platform::Error error;
    const auto inserted =
        database()->insertIfNotDuplicateSubscriptionID(std::to_string(did->int64Value()), &error);
    if (!inserted) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23181,
                               "Failed to save subscription ID. Product ID, error", productID,
                               error);
    } else if (!*inserted) {
        monitor().logWithLevel(kKLVLogWarningMonitored, 23182,
                               "Event dropped. Reason: Subscription purchase is a duplicate. "
                               "Product ID",
                               productID);
        return false;
    }
    platform::Error trimError;
    const auto deleted = database()->deleteSubscriptionsOverLimit(&trimError);
    if (!deleted) {
        monitor().logWithLevel(kKLVLogWarningSilent, 23183,
                               "Failed to delete older subscription records. Error", trimError);
        // An ID stored just now proves the purchase new: failing to trim old rows must not lose
        // it.
        return inserted.value_or(false);
    }
    if (*deleted != 0) {
        monitor().logWithLevel(kKLVLogWarningSilent, 23184,
                               "Deleted older subscription records beyond limit", *deleted);
    }
    return true;
}

bool KLVMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(const KLVEvent& event) {
    if (event.name() != "_ssr") return false;
    const KLVValue* value = parameter(event, "_ffr");
    const auto stored = persistedConfig_->tarnwellFeatureRollouts();
    const std::string* text = value ? value->stringValue() : nullptr;
    const bool duplicate =
        stored ? (text && *text == *stored) : (!value || (text && text->empty()));
    if (duplicate) {
        monitor().logWithLevel(kKLVLogVerbose, 23191,
                               "Feature rollouts value is a duplicate, dropping event");
        return true;
    }
    if (value && !text) {
        monitor().logWithLevel(kKLVLogErrorSilent, 23190,
                               "Unable to process tarnwell feature rollouts, value is not a "
                               "string.");
    }
    persistedConfig_->setTarnwellFeatureRollouts(
        text && !text->empty() ? std::optional<std::string>(*text) : std::nullopt);
    return false;
}

KLVEvent KLVMeasurement::appExceptionEventWithTarnwellFeatureRollouts(const KLVEvent& event) {
    if (event.name() != "_ae") return event;
    const auto stored = persistedConfig_->tarnwellFeatureRollouts();
    if (!stored) return event;
    KLVParameters parameters = event.parameters();
    parameters.insert_or_assign("_ffr", KLVValue::initWithString(*stored));
    return event.copyWithParameters(parameters);
}

void KLVMeasurement::writeSessionStartEventOnWorkerQueue(const KLVEvent& event) {
    if (event.name() != "_s") return;
    const auto stored = persistedConfig_->tarnwellFeatureRollouts();
    if (!stored) return;
    const auto rollout =
        KLVEvent::initWithOrigin("auto", false, "_ssr", platform::Clock::current().now(), 0,
                                 Dictionary{{"_ffr", Object(*stored)}});
    if (rollout) writeEventOnWorkerQueue(*rollout);
}

}  // namespace engine
