#pragma once

// The measurement service: one shared object that owns the engine's components and runs all
// measurement work on its serial worker queue. The front door creates it once and hands it every
// event and call through its face, KLVMeasurementService; this header, with the state and the
// work of each concern, is for this folder and for the tests that reach inside.
//
// hasSharedInstance() is KLVMeasurementBase's (engine/base), where the components below the
// service reach it too; remoteConfig() forwards to the settings.
//
// The class spreads over one file per concern: KLVMeasurement.cpp (creation, accessors),
// KLVMeasurement_Start.cpp (enable and the one-time component start), KLVMeasurement_Calls.cpp
// (the any-thread halves of the front door's calls), KLVMeasurement_Consent.cpp (start-up consent,
// wipe decision, persisted app IDs), KLVMeasurement_Links.cpp (deep links from user activities).
//
// Service calls come in two halves: the half here runs on any thread, checks its arguments and
// schedules the work under its block ID; the worker-queue half does the work. The members left
// virtual are the seams that tests replace.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/KLVAlarm.h"
#include "engine/base/KLVScheduler.h"
#include "engine/database/KLVDailyCounts.h"
#include "engine/database/KLVQueuedBundle.h"
#include "engine/events/KLVEvent.h"
#include "engine/events/KLVEventAggregates.h"
#include "engine/events/KLVRawEventData.h"
#include "engine/events/KLVUserAttribute.h"
#include "engine/measurement/KLVAttributionState.h"
#include "engine/measurement/KLVConditionalUserPropertyController.h"
#include "engine/measurement/KLVMeasurementService.h"
#include "engine/messages/KLVPBMessages.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UserActivity.h"
#include "platform/storekit/StoreKit.h"
#include "platform/utilities/WDLNetwork.h"

namespace engine {

class KLVAudience;
class KLVBundleEvent;
class KLVAudienceTimestampsCache;
class KLVDatabase;
class KLVEManager;
class KLVIdentity;
class KLVLoggedEventBatch;
class KLVPersistedConfig;
class KLVSessionReporter;
class KLVTCFClient;

// The platform's invalid background-task identifier.
inline constexpr std::uint64_t kKLVInvalidBackgroundTask = 0;
// How long uploads wait after uploaded bundles could not be deleted (they would be sent again).
inline constexpr double kKLVUploadSuspensionSeconds = 3600;

class KLVMeasurement : public KLVMeasurementService,
                       public KLVConditionalUserPropertyService,
                       public platform::WDLNetworkLoggerDelegate,
                       public platform::WDLNetworkReachabilityDelegate,
                       public std::enable_shared_from_this<KLVMeasurement> {
  public:
    // The service as this folder sees it, or null (see KLVMeasurementService::sharedInstance).
    static std::shared_ptr<KLVMeasurement> sharedInstance();

    // The convenience initialiser: logs the version and the debug and verbose hints, makes the
    // network component, the worker queue and the upload alarm, then the designated one. Null
    // for an empty app ID (23170). The caller schedules
    // setEnabled(wasEnabledDuringInitialization()).
    static std::shared_ptr<KLVMeasurement> initWithAppID(
        const std::string& appID, bool isAnalyticsCollectionEnabled,
        bool isAnalyticsCollectionDeactivated,
        std::optional<std::vector<std::string>> safelistedEvents,
        std::shared_ptr<KLVEManager> experimentManager);

    // Everything a service is made of, for the designated initialiser.
    struct Parts {
        std::string databaseName;
        std::shared_ptr<KLVPersistedConfig> persistedConfig;
        std::shared_ptr<platform::WDLNetwork> network;
        std::shared_ptr<KLVScheduler> scheduler;
        std::shared_ptr<KLVAlarm> alarm;
        std::string appID;
        bool isAnalyticsCollectionEnabled = true;
        bool isAnalyticsCollectionDeactivated = false;
        std::optional<std::vector<std::string>> safelistedEvents;
        std::shared_ptr<KLVEManager> experimentManager;
    };
    // The designated initialiser: load time, fields, the enabled decision. Scheduling the enable
    // is the creator's (see initWithAppID). Subclasses (tests' stand-ins) construct through it.
    explicit KLVMeasurement(Parts parts);
    ~KLVMeasurement() override;
    KLVMeasurement(const KLVMeasurement&) = delete;
    KLVMeasurement& operator=(const KLVMeasurement&) = delete;

    // ---- State and accessors --------------------------------------------------------------
    const std::string& appID() const { return appID_; }
    const std::string& databaseName() const { return databaseName_; }
    bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_.load(); }
    void setIsAnalyticsCollectionEnabled(bool v) { isAnalyticsCollectionEnabled_.store(v); }
    bool isAnalyticsCollectionDeactivated() const {
        return isAnalyticsCollectionDeactivated_.load();
    }
    void setIsAnalyticsCollectionDeactivated(bool v) { isAnalyticsCollectionDeactivated_.store(v); }
    const std::optional<std::vector<std::string>>& safelistedEvents() const {
        return safelistedEvents_;
    }
    bool isEnabled() const override { return enabled_.load(); }
    bool wasEnabledDuringInitialization() const override { return wasEnabledDuringInitialization_; }
    bool didInitializeComponents() const override { return didInitializeComponents_.load(); }
    void setDidInitializeComponents(bool v) { didInitializeComponents_.store(v); }
    // Seconds since 1970: the engine's load time, the time of first open and the first session.
    double initTimestamp() const { return initTimestamp_; }

    // The settings made at start; null until then. Any thread.
    std::shared_ptr<KLVRemoteConfig> remoteConfigInstance() const override;
    // The identity taken at start; null until then. Any thread.
    std::shared_ptr<KLVIdentity> identity() const override;
    // Worker queue only, null until the start made it.
    KLVDatabase* database() const override { return database_.get(); }
    const std::shared_ptr<KLVScheduler>& scheduler() const override { return scheduler_; }
    const std::shared_ptr<KLVAlarm>& alarm() const { return alarm_; }
    const std::shared_ptr<platform::WDLNetwork>& network() const { return network_; }
    const std::shared_ptr<KLVPersistedConfig>& persistedConfig() const override {
        return persistedConfig_;
    }
    const std::shared_ptr<KLVEManager>& experimentManager() const { return experimentManager_; }
    bool isNetworkRequestPending() const { return isNetworkRequestPending_.load(); }
    void setIsNetworkRequestPending(bool v) { isNetworkRequestPending_.store(v); }
    std::uint64_t backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }
    void setSuspendedUploadTimestamp(double t) { suspendedUploadTimestamp_ = t; }

    // ---- Enable and start (KLVMeasurement_Start.cpp) --------------------------------------
    // Deactivated: false; else the persisted switch (1 on, 2 off), else the creation flag.
    bool shouldEnableMeasurement() const;
    // Any thread: schedules setEnabledOnWorkerQueue ("KLVMeasurement:622", held weakly).
    void setEnabled(bool enabled) override;
    void setEnabledOnWorkerQueue(bool enabled);
    // The one-time component start (under its own mutex), then what every enable does.
    bool startMeasurementOnWorkerQueue();
    // The components in order; false stops at the first that fails.
    bool initializeComponentsOnWorkerQueue();
    // Whether the stored data belong to other app IDs (or a wipe is being retried).
    static bool shouldWipeDataWithAppID(const std::optional<std::string>& appID,
                                        const std::optional<std::string>& appIDFromZKT,
                                        const std::optional<std::string>& appIDFromVintu,
                                        const std::optional<std::string>& persistedAppIDFromZKT,
                                        const std::optional<std::string>& persistedAppIDFromVintu);
    // Picks and installs the start-up consent (KLVMeasurement_Consent.cpp).
    void setProspectiveConsentSettings();
    // Copies the identity's app IDs into the persisted configuration, and the service's own app
    // ID under the data-collection origin.
    void updatePersistedAppIDFromZKTAndVintu();
    // Schedules updateSchedule and the SKAdNetwork check ("KLVMeasurement:1045", held weakly).
    // The network's reachability delegate while updateSchedule waits for the network.
    void reachabilityDidChange() override;

    // ---- Calls of the front door (KLVMeasurement_Calls.cpp) -------------------------------
    // Schedules the event ("KLVMeasurement:2414", held strongly) and returns at once. Events
    // logged while the block queued for the previous one has neither started nor anything been
    // queued behind it join that block, in their encoded form: a burst waits compactly and is
    // handled together (handleLoggedEventBatchOnWorkerQueue).
    void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                            const platform::Dictionary& parameters, double timestamp, bool enabled,
                            bool ignoreEnabled, bool ignoreInterceptor,
                            KLVLogEventInterceptor interceptor,
                            const platform::Dictionary& addedScreenParameters) override;
    std::int64_t loggedEventsNotStored() const override { return loggedEventsNotStored_.load(); }
    bool stopStoringEvents(double seconds) override;
    // ":1595".
    void setSessionTimeoutInterval(double seconds) override;
    // ":3183"; the completion is called on the worker queue, or with "Analytics deallocated"
    // when the service is gone.
    void sessionIDWithCompletion(KLVSessionIDCompletion completion) override;
    // ":3190".
    void setUserData(const platform::Dictionary& userData) override;
    // Off the main thread; synchronously on the worker queue (":3729"). False for an empty ID
    // while analytics storage is granted (23167).
    [[nodiscard]] bool resetAnalyticsDataWithAppInstanceID(
        const std::optional<std::string>& appInstanceID) override;
    // ":2528"; nothing clears the defaults.
    void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters) override;
    // Refused on the worker queue (23163); else the campaign handling (":446").
    void handleNonFirstOpenEventURL(const std::string& url,
                                    double eventTimestampInSeconds) override;
    // ":2830" and ":2785"; nothing logs 23079 / 23074.
    void setUserAttribute(const std::optional<KLVUserAttribute>& attribute) override;
    void removeUserAttribute(const std::optional<KLVUserAttribute>& attribute) override;
    // ":3027"; an empty callback logs 23090.
    void userPropertiesIncludingInternal(
        bool includeInternal, std::function<void(const platform::Dictionary&)> callback) override;
    // ":3030"; an empty origin logs 23093, an empty callback 23094.
    void maxUserPropertiesForOrigin(const std::string& origin,
                                    std::function<void(std::int64_t)> callback) override;
    // ":2972"; an empty callback logs 23088.
    void userAttributeWithName(const std::string& name,
                               std::function<void(std::optional<KLVUserAttribute>)> callback);
    // ":4155": drops the store transactions that are not purchases or were reported before,
    // then hands the rest, in order, to the callback on the default-priority global queue
    // (KLVMeasurement_Purchases.cpp).
    void filterPurchaseTransactions(
        std::vector<platform::SKPaymentTransaction> transactions,
        std::function<void(std::vector<platform::SKPaymentTransaction>)> callback) override;

    // ---- Worker-queue halves ---------------------------------------------------------------
    virtual void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                 const std::string& name,
                                                 const platform::Dictionary& parameters,
                                                 double timestamp, bool enabled, bool ignoreEnabled,
                                                 bool ignoreInterceptor,
                                                 const KLVLogEventInterceptor& interceptor,
                                                 const platform::Dictionary& addedScreenParameters);
    void setSessionTimeoutIntervalOnWorkerQueue(double seconds);
    // The current session's ID, or 0 with an error: analytics disabled, session expired, or
    // "Session ID not found".
    void sessionIDOnWorkerQueueWithCompletion(const KLVSessionIDCompletion& completion);
    virtual void setUserDataOnWorkerQueue(const platform::Dictionary& userData);
    // The reset (KLVMeasurement_Reset.cpp): wipe, the given app instance ID, the load time, and a
    // new first open when enabled.
    virtual bool resetAnalyticsDataOnWorkerQueueWithTimestamp(
        double timestamp, const std::optional<std::string>& appInstanceID);
    virtual void setDefaultEventParametersOnWorkerQueue(
        const std::optional<platform::Dictionary>& parameters);
    // Records the campaign of an opened link (KLVMeasurement_Campaigns.cpp): the URL's query
    // laid over the extra string parameters, the extra numbers over the event parameters.
    void handleOpenURLOnWorkerQueue(const std::string& url,
                                    std::optional<std::int64_t> clickTimestampInMs,
                                    double eventTimestampInSeconds,
                                    const platform::Dictionary& extraParameters = {});
    virtual void setUserAttributeOnWorkerQueue(const KLVUserAttribute& attribute);
    virtual void removeUserAttributeOnWorkerQueue(const KLVUserAttribute& attribute);
    virtual platform::Dictionary userPropertiesOnWorkerQueueIncludingInternal(bool includeInternal);
    virtual std::int64_t maxUserPropertiesOnWorkerQueueForOrigin(const std::string& origin);
    std::optional<KLVUserAttribute> userAttributeOnWorkerQueueWithName(const std::string& name);
    // The "_npa" value (1 disables, 0 allows) or nothing (no decision, remove it): the app's
    // persisted choice, the consent, the Info.plist default, then the consent defaults.
    std::optional<platform::Object> shouldDisableAdPersonalization() override;
    // Forgets persisted values, consent choices, the database (or, before it is opened, its
    // file) and the identity's ephemeral identifiers. False when the database reset fails.
    virtual bool wipeoutAnalyticsDataAndResetComponents();

    // ---- Life-cycle events (KLVMeasurement_LifeCycle.cpp), worker queue ----------------------
    // A time in ms moved up to the next full hour (a time on the hour moves a whole hour).
    static std::int64_t timestampMillisRoundedUpToNextHour(std::int64_t millis);
    // The Info.plist's registration switch when it is a number; true otherwise.
    bool shouldAllowAdNetworkRegistration() const;
    // Sets "ad_personalization" from an "_npa" value (1: "denied") unless a known consent of the
    // other meaning stands, with the source it came from.
    void updateAdPersonalizationConsentFromNPAValue(const std::optional<platform::Object>& value);
    // Whether the running version is the one first bought, from the store receipt (decided
    // once per process; KLVMeasurement_Purchases.cpp).
    virtual bool isVersionSameAsOriginalVersion();

    // The count of this app's earlier first opens on the device: the keychain item "_pfo" under
    // the main bundle identifier, so that it outlives a reset of the analytics data and a
    // reinstallation (KLVMeasurement_LifeCycle.cpp). An integer, or null when none is kept;
    // stored as decimal text, null deletes the item. Any thread.
    static platform::Object previousFirstOpenCount();
    static void setPreviousFirstOpenCount(const platform::Object& value);

    // ---- Stored-data queries (KLVMeasurement_Reset.cpp), worker queue --------------------------
    // The app ID the persisted configuration held before the last wipe.
    std::optional<std::string> previousZKTAppID() const;
    // Whether bundles or raw events wait; false on a failed query (23117, 23118).
    bool hasDataToUpload();
    bool removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& rowIDs);
    // The "_fot" property's set time, else the oldest set time of any property; 0 when none.
    double firstOpenTimestamp();

    // ---- Event pipeline (KLVMeasurement_Events.cpp, _Write.cpp, _Metadata.cpp) -----------------
    // The logged events of one block, in order. Several share one transaction of at most
    // kEventsPerTransaction events, each event's writes in a savepoint of their own, so that
    // what is stored, counted and logged is what writing them one by one gives, also when the
    // commit fails (the events are then committed again one at a time); a lone event is written
    // at once in its own transaction.
    void handleLoggedEventBatchOnWorkerQueue(KLVLoggedEventBatch& batch);
    static constexpr std::size_t kEventsPerTransaction = 500;
    // Handles the event and, when asked, passes a copy to the event listeners afterwards.
    void logEventOnWorkerQueue(const KLVEvent& event, bool notifyEventListeners);
    // Any thread: schedules handleEventOnWorkerQueue (":2520", held weakly).
    void logEvent(const KLVEvent& event);
    void handleSetDefaultEventParametersOnWorkerQueue(
        const std::optional<platform::Dictionary>& parameters, bool backfillEvents);
    // The persisted defaults with the parameters laid over them.
    platform::Dictionary parametersWithAddedDefaultEventParameters(
        const platform::Dictionary& parameters);
    // The engine's own events: defaults added (not to "_err"), handled, listeners told.
    void handleInternalEventOnWorkerQueue(KLVEvent event);
    // The common entry: allowlist, sessions, duplicates, rollouts, event editing, then the write.
    void handleEventOnWorkerQueue(KLVEvent event);
    // Logs, lets conditional user properties react, then stores the event (and theirs).
    void writeEventOnWorkerQueue(const KLVEvent& event) override;
    void writeFilteredEventOnWorkerQueue(KLVEvent event) override;
    // The event as stored: app, device, identifiers, consent and user properties.
    // `tokenExpiration`, when given, receives when the record's session stitching token lapses.
    KLVPBMeasurementBundle createRawEventMetadataWithUserAttributes(
        const std::vector<KLVUserAttribute>& userAttributes,
        std::optional<double>* tokenExpiration = nullptr);
    // Steps of the pipeline, public for their tests.
    std::optional<KLVEvent> eventAfterSafelistingEvent(const KLVEvent& event);
    void processSessionFromEvent(const KLVEvent& event);
    bool dedupeSubscriptionEvent(const KLVEvent& event);
    bool shouldDropDuplicatedSessionStartWithRolloutEvent(const KLVEvent& event);
    KLVEvent appExceptionEventWithTarnwellFeatureRollouts(const KLVEvent& event);
    void writeSessionStartEventOnWorkerQueue(const KLVEvent& event);
    // The write transaction's steps; false rolls it back.
    bool writeEventInTransaction(KLVEvent& event);
    // Adds a purchase to the lifetime value; false (23053) fails the write.
    bool updateLifetimeValueWithEvent(const KLVEvent& event);
    // At bundling: an "_iap" made with the store's test receipt is marked "sandbox" = 1.
    KLVEvent validatePurchaseEvent(KLVEvent event);
    bool shouldProcessEvent(const KLVEvent& event, KLVDailyCounts& dailyCounts, bool isPublicEvent);
    bool isRealtimeEvent(KLVEvent& event, const KLVDailyCounts& dailyCounts);
    void maybeAddDebugAndRealtimeParameters(KLVEvent& event);
    bool writeEvent(const KLVEvent& event, bool isPublicEvent, bool isRealtime);
    void logFirstOpenConsentedEvent(double timestamp);
    // The day number of now under the installation's midnight offset.
    std::int32_t currentDayNumber();
    // Persisted values the pipeline reads for every event are kept here after their first read
    // (worker queue only), with the encoded metadata record of the last stored event and the
    // identity values it was made of; whatever replaces them behind the pipeline's back (a
    // wipe, a reset) calls this.
    void invalidatePersistedValueCaches();

    // ---- Bundling and sampling (KLVMeasurement_Bundling.cpp, _Sampling.cpp) ------------------
    // Turns the oldest run of raw events of one fingerprint into one queued bundle, in one
    // transaction: true when a bundle was made or the run was consumed (rejected, sampled away or
    // undecodable), false when nothing changed.
    bool bundleRawEvents();
    // The next run of the fingerprint (contiguous rows, one hour, the size and count limits);
    // nothing on a read failure.
    std::optional<std::vector<KLVBundleEvent>> rawEventsWithMetadataFingerprint(
        std::int64_t metadataFingerprint);
    // Rejections (marked), daily conversion and real-time counting; false when all were rejected
    // (the run is then deleted), nothing on failure.
    std::optional<bool> processRawEvents(std::vector<KLVBundleEvent>& raws,
                                         std::int64_t metadataFingerprint);
    // "ad_impression" becomes the internal "_ai".
    static KLVRawEventData internalEventFromPublicEvent(const KLVRawEventData& raw);
    bool checkConversion(KLVEvent& event, KLVDailyCounts& counts);
    bool checkRealtime(KLVEvent& event, KLVDailyCounts& counts);
    // The real-time step for an event marked real-time (or a conversion): whether it stays
    // real-time, and whether a counter rose.
    struct RealtimeDecision {
        bool realtime;
        bool counted;
    };
    RealtimeDecision realtimeAtBundling(const std::string& name, KLVDailyCounts& counts);
    // Session start and engagement of the run; false rolls the bundle back.
    bool evaluationTimeFromRawEvents(const std::vector<KLVBundleEvent>& raws,
                                     KLVPBMeasurementBundle& bundle);
    void handleAnalyticsStorageConsentTransitions(const KLVPBMeasurementBundle& bundle);
    // The kept events take their previous times and are counted; false rolls the bundle back.
    bool eventsAfterUpdatingEventAggregates(std::vector<KLVBundleEvent>& events,
                                            bool allowEventFilterEvaluation);
    bool updateAppMetadataForBundle(KLVPBMeasurementBundle& bundle, double start, double end);
    bool updateUserEngagement(std::int64_t milliseconds, KLVPBMeasurementBundle& bundle,
                              bool sessionScoped);
    void addBundleMetadataIntoBundle(KLVPBMeasurementBundle& bundle, double start, double end);
    // Deletes the rows up to `maxRowID`, and the metadata once no raw event uses it.
    bool deleteBundledRawEvents(std::int64_t maxRowID, std::int64_t metadataFingerprint);
    // The kept events in input order, sampling state stored; nothing (with the error) on failure.
    [[nodiscard]] std::optional<std::vector<KLVPBEvent>> sampleEvents(
        const std::vector<KLVPBEvent>& events, platform::Error* error);
    bool canEventBeSampled(const KLVPBEvent& event);
    static bool isEventBundledAfterRoll(std::int32_t rate);
    bool shouldUpdateNPAUserProperty() const { return shouldUpdateNPAUserProperty_; }
    void setShouldUpdateNPAUserProperty(bool v) { shouldUpdateNPAUserProperty_ = v; }

    // ---- Upload and its schedule (KLVMeasurement_Upload.cpp, _Schedule.cpp) -----------------
    // Arms, keeps or cancels the upload alarm from the stored data, the last upload results, the
    // back-off and the suspension.
    void updateSchedule();
    // Seconds since 1970 of the next upload; 0 when none is planned.
    double nextUploadingTime();
    void uploadDataOrRegisterAlarm();
    // Bundles pending events, sends one batch of queued bundles and handles the answer.
    virtual void uploadData();
    bool isNetworkReadyForRequest();
    // The leading bundles that may travel in one batch: one app ID and one device ID.
    std::vector<KLVQueuedBundle> filteredBundlesWithCompatibleAppID(
        const std::string& appID, const std::optional<std::string>& resettableDeviceID,
        const std::optional<std::string>& vendorDeviceID,
        const std::vector<KLVQueuedBundle>& bundles);
    void networkUploadCompletionHandler(const std::optional<platform::WDLNetworkResponse>& response,
                                        const std::optional<platform::Error>& error);
    bool shouldUseBackgroundSession() const;
    // ---- Configuration download (KLVMeasurement_Config.cpp) --------------------------------
    // A conditional GET of the app's configuration; the answer is applied in one transaction.
    virtual void fetchRemoteConfig();
    // `data` is the body; `error` a transport error (an answer over the cap counts as a body
    // that does not parse).
    void networkRemoteConfigFetchCompletionHandler(
        const std::optional<platform::WDLNetworkResponse>& response, const platform::Data& data,
        const std::optional<platform::Error>& error);
    // Stores and puts in force a fetched configuration with its audiences, in one transaction,
    // then lets the consent defaults follow it. False when anything failed: the stored
    // configuration and audiences stay, and so does the configuration in force.
    bool applyFetchedConfiguration(const platform::Data& data);
    // Inside the caller's transaction: parses, stores and puts in force a fetched configuration
    // and stores its audiences; false rolls the transaction back.
    bool storeFetchedConfiguration(const platform::Data& data);
    bool shouldRequestDeferredDeepLinkAfterConfigFetch() const {
        return shouldRequestDeferredDeepLinkAfterConfigFetch_;
    }
    void setShouldRequestDeferredDeepLinkAfterConfigFetch(bool v) {
        shouldRequestDeferredDeepLinkAfterConfigFetch_ = v;
    }
    // The answer cap of a configuration download.
    static constexpr std::size_t kMaximumConfigurationSize = 1024 * 1024;
    double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
    std::int64_t lastEventEndTimestampMsec() const { return lastEventEndTimestampMsec_; }

    // ---- Audiences (KLVMeasurement_Audiences.cpp): bundling calls the audience evaluator
    // through these, on the worker queue inside the bundle's transaction. Before the start has
    // made the evaluator there are no audiences: every evaluation passes and there are no
    // results. ----
    void audienceClearEvaluationResultsForSessionScopedFilters();
    // With an evaluation time: under the bundle's cache. Without one (the re-evaluation after a
    // session start, before the bundle's cache exists): a fresh cache for the call, and the
    // attribute's own set time.
    bool audienceEvaluateFiltersForUserAttribute(const KLVPBUserAttribute& attribute,
                                                 std::optional<double> evaluationTime);
    bool audienceEvaluateFiltersForEvent(const KLVEvent& event,
                                         const KLVEventAggregates& aggregates);
    // A bundled event kept as stored: its parameters are built only when a filter looks at it.
    bool audienceEvaluateFiltersForEvent(const KLVBundleEvent& event,
                                         const KLVEventAggregates& aggregates);
    // Writes the results the bundle's evaluations changed; false rolls the bundle back.
    bool audienceSaveBundleResults();
    // Nothing on a read failure.
    std::optional<std::vector<KLVPBAudienceLeafFilterResult>> audienceResultsForBundling();
    // Replaces the audience definitions with those of a fetched configuration.
    bool audienceUpdateAudiences(const std::vector<KLVPBAudience>& audiences);
    // A fresh evaluation cache for one bundle.
    void audienceResetTimestampsCache();
    // The evaluator made at start; null until then. Worker queue only.
    const std::shared_ptr<KLVAudience>& audience() const { return audience_; }

    // ---- Sessions (KLVMeasurement_Sessions.cpp) ----------------------------------------------
    // The reporter made at start (and anew by a wipe); null before. Any thread.
    std::shared_ptr<KLVSessionReporter> sessionReporter() const;
    // The reporter's answers; without a reporter no session expires and none is extended.
    bool isSessionExpired() const;
    void extendSession();
    // Starts a session when the last one expired: "_sid" and "_sno", then "_s".
    virtual void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp,
                                                              bool appInBackground);
    // Any thread: the above with the load time, in the foreground (":1149", held weakly).
    void reportSessionStart();
    // Starts the session when the first scene connects (a pre-warmed launch).
    void reportSessionStartWhenSceneWillConnectOnWorkerQueue();
    static void handleAppDidFinishLaunching(const platform::Dictionary& userInfo);
    // ---- User properties (KLVMeasurement_UserProperties.cpp) ---------------------------------
    // The write with its limits; false when refused or failed.
    bool setUserPropertyInDatabaseOnWorkerQueue(const KLVUserAttribute& attribute);
    void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
    // Whether "_id" is stored (a failed query counts as no).
    bool hasUserPropertyUserIDOnWorkerQueue();

    // ---- Start steps built with later concerns: empty until then ----------------------------
    // Brings the consent defaults, delegations and regional defaults in line with the settings.
    void updateConsentSettingsUtilWithRemoteConfig();
    void checkPSMDependencyOnWorkerQueue();
    void maybeDeleteExpiredPSMValueOnWorkerQueue();
    void resetPSMCounts();
    // A fresh session reporter, reporting while the service is enabled.
    void resetSessionReporter();
    // Stores, replaces or removes "_npa" after shouldDisableAdPersonalization(), and with
    // regional consent rules seeds the ad-personalisation consent from it.
    virtual void setPersonalizedAdsUserPropertyOnWorkerQueue();
    // A zero session number becomes the lifetime count of "_s".
    void backfillSessionNumber();
    virtual void reportFirstOpenOnWorkerQueue();
    void reportStoredCampaignEventOnWorkerQueue(
        std::optional<std::int64_t> clickTimestampMs = std::nullopt);
    bool shouldAllowRequestDeferredDeepLink();
    void requestDeferredDeepLink();
    void reportAppUpdateOnWorkerQueue();
    void reportOSUpdateOnWorkerQueue();
    // Makes the TCF client on first use, gives it the DMA-region flag and applies the TCF data.
    void tcfClientSetConsentFromData();
    // Observes becoming active, resigning active and entering the foreground (main thread).
    void subscribeForAppForegroundBackgroundNotifications();
    void unsubscribeFromAppNotifications();
    void maybeFetchSKANCVAfterReachabilityChange();
    virtual void fetchSKANCV();
    // Holds the new task; a valid one held before is ended (23142). Any thread.
    void swapBackgroundTaskWithNewTaskID(std::uint64_t taskID);

    // ---- Campaigns and deferred deep links (KLVMeasurement_Campaigns.cpp, _DeferredDeepLink.cpp)
    // At least one required campaign parameter has a non-empty value.
    static bool isValidCampaignURLParamDictionary(const platform::Dictionary& parameters);
    // Click identifiers may be recorded: an advertising identifier, or tracking authorised.
    bool shouldAllowClickID();
    // Stores the link the app was launched with (did-finish-launching). Any thread.
    static void handleStoredURLAfterAppLaunchWithNotification(const platform::Dictionary& userInfo);
    // The request's URL; nothing without an ad-services host.
    std::optional<std::string> deferredDeepLinkURL();
    // The answer object when its "deeplink" forms a URL; nothing otherwise (23201, 23202).
    static std::optional<platform::Dictionary> deepLinkInfoFromResponseData(
        const platform::Data& data);
    void handleDeferredDeepLinkInfo(const platform::Dictionary& info);
    // Main thread: hands the link to the application delegate; false when it has no handler.
    static bool sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                         const platform::Dictionary& extraInfo);

    // ---- Conversion values of the ad network (KLVMeasurement_SKAN.cpp), worker queue ---------
    static std::string SKANVersion();
    bool isInFirstSKANPostbackWindow();
    bool isPastAllSKANPostbackWindows();
    static bool isValidFineConversionValue(std::int64_t value);
    // 3 high, 2 medium, anything else low.
    static std::string convertCoarseConversionValueFromProtoValue(std::int64_t value);
    std::int32_t SKANFetchRetryLimit();
    bool shouldFetchSKANConversionValue();
    void scheduleSKANCVFetchAfterDataUpload();
    void handleSKANFetchResponse(const std::optional<platform::WDLNetworkResponse>& response,
                                 const platform::Data& data,
                                 const std::optional<platform::Error>& error);
    void updateSKANPostbackConversionValueFromResponse(
        const KLVPBSkAdNetworkConversionValueResponse& response);
    void handleSKANUpdatePostbackCompletion(const KLVPBSkAdNetworkConversionValueResponse& response,
                                            const std::optional<platform::Error>& error);
    void maybeScheduleSKANCVFetchRetry();
    void stopProcessingSKANResponseAndResetRetryCount();
    // The largest answer body read, compressed or inflated.
    static constexpr std::size_t kMaximumSKANResponseSize = 1024 * 1024;

    // ---- On-device conversion (KLVMeasurement_PSM.cpp), worker queue -------------------------
    bool shouldRetrievePSMResponse();
    bool shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress);
    bool shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber);
    bool shouldRetrievePSMResponseWithHashedIdentifier(const std::string& hashedIdentifier,
                                                       bool isPhone);
    void retrievePSMResponse();
    void maybeSchedulePSMRetry();
    void handlePSMValueOnWorkerQueue(const std::string& value);
    void incrementPSMCountOnWorkerQueueWithName(const std::string& name);

    // Worker queue only.
    KLVAttributionState& attribution() { return attribution_; }

    // ---- App state (KLVMeasurement_AppState.cpp), main thread ----------------------------------
    // With the internal blocklist on, refreshes a configuration 7 days old; asks for a
    // conversion value.
    void handleAppDidBecomeActiveEvent();
    // Writes the persisted state, holds a background task and queues an upload behind the
    // front door's pending operations.
    void handleAppWillResignActiveEvent();
    // Entering the foreground and the task's expiry: writes the state and ends the task.
    void terminateBackgroundTask();

    // platform::WDLNetworkLoggerDelegate: the network component's lines go to the monitor.
    void WDLNetwork_logWithLevel(int level, std::int64_t messageCode, std::string_view message,
                                 const std::vector<platform::Object>& contexts) override;

  protected:
    // Its creation lands in installSharedInstance.
    friend class KLVMeasurementService;

    // Opens the database; a test's stand-in may fail it. Called at most twice per start attempt.
    virtual std::unique_ptr<KLVDatabase> openDatabase();
    // Where the front door's call lands for the process's service (tests install stand-ins).
    static void installSharedInstance(const std::function<std::shared_ptr<KLVMeasurement>()>& make);

  private:
    // Sets an internal property through the user-property half and checks it was stored; a
    // failed query or a missing row is logged under the codes given.
    bool setAndCheckUserProperty(const std::string& name, std::int64_t value, double setTime,
                                 std::int64_t queryFailureCode, const char* queryFailure,
                                 std::int64_t missingCode, const char* missing);
    // Persists a changed version and reports the change when an earlier one was known.
    void reportVersionChange(const std::optional<std::string>& current,
                             std::optional<std::string> stored, bool isOS);

    // Schedules `block(service)` under the block ID, holding the service weakly: the block does
    // nothing once the service is gone.
    template <typename Block>
    void scheduleWeak(const char* blockID, Block block) {
        std::weak_ptr<KLVMeasurement> weak = weak_from_this();
        scheduler_->scheduleOnWorkerQueueBlockID(blockID,
                                                 [weak, block = std::move(block)]() mutable {
                                                     if (auto self = weak.lock()) block(*self);
                                                 });
    }

    // Worker queue only; see invalidatePersistedValueCaches().
    std::optional<double> midnightOffsetCache_;
    std::optional<std::optional<platform::Dictionary>> defaultEventParametersCache_;
    std::optional<platform::Object> adCampaignInfoBufferCache_;
    std::optional<platform::Dictionary> cachedDefaultEventParameters();
    // The metadata record of stored events with what it was made of (KLVMeasurement_Write.cpp).
    struct StoredMetadata;
    std::shared_ptr<StoredMetadata> storedMetadata_;
    // Grows with each change of the persisted ad campaign buffer.
    std::uint64_t adCampaignInfoChanges_ = 0;
    // The identity's answer to shouldSetLastAdvertisingIDResetUserProperty at a change count.
    std::optional<std::pair<std::uint64_t, bool>> lastAdvertisingIDResetCache_;
    // The record for the next stored event: the kept one while nothing it was made of changed.
    // Null after a failed user-property read (logged), which is not kept.
    std::shared_ptr<const StoredMetadata> currentStoredMetadata();

    // Logged events on their way to the worker queue: the batch of the block queued last for
    // them, and that block's number on the worker queue.
    // Logged events whose writes are not committed yet: counted when logged, and again once
    // their transaction (or their group's) has ended.
    std::atomic<std::int64_t> loggedEventsNotStored_{0};
    std::mutex loggedEventsMutex_;
    std::shared_ptr<KLVLoggedEventBatch> openLoggedEventBatch_;
    std::uint64_t openLoggedEventBatchNumber_ = 0;
    // Set once the time to store has run out (stopStoringEvents); read by the worker before
    // each logged event. `writingLoggedEvents_` is true while the worker handles a batch; both
    // under storingMutex_, whose condition tells the stop that the batch has ended.
    std::atomic<bool> storingStopped_{false};
    std::mutex storingMutex_;
    std::condition_variable storingChanged_;
    bool writingLoggedEvents_ = false;

    const std::string databaseName_;
    std::atomic<bool> didInitializeComponents_{false};
    std::mutex initializeComponentsLock_;
    std::shared_ptr<KLVAlarm> alarm_;
    std::shared_ptr<KLVAudience> audience_;
    // Worker queue only: the dynamic and sequence times of the bundle being made.
    std::unique_ptr<KLVAudienceTimestampsCache> audienceTimestampsCache_;
    std::shared_ptr<KLVDatabase> database_;
    // Written once on the worker queue at start, read from any thread.
    mutable std::mutex componentsMutex_;
    std::shared_ptr<KLVIdentity> identity_;
    std::shared_ptr<KLVRemoteConfig> remoteConfig_;
    std::shared_ptr<platform::WDLNetwork> network_;
    std::shared_ptr<KLVPersistedConfig> persistedConfig_;
    std::shared_ptr<KLVScheduler> scheduler_;
    std::shared_ptr<KLVEManager> experimentManager_;
    std::shared_ptr<KLVSessionReporter> sessionReporter_;
    std::atomic<std::uint64_t> backgroundUpdateTask_{kKLVInvalidBackgroundTask};
    double initTimestamp_ = 0;
    std::optional<std::string> previousZKTAppID_;
    std::atomic<bool> foundAdPersonalizationPlistFlag_{false};
    // Worker queue only.
    std::unique_ptr<KLVTCFClient> tcfClient_;
    double suspendedUploadTimestamp_ = 0;
    const std::string appID_;
    const std::optional<std::vector<std::string>> safelistedEvents_;
    bool shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
    std::atomic<bool> enabled_{false};
    bool wasEnabledDuringInitialization_ = false;
    std::atomic<bool> isAnalyticsCollectionEnabled_;
    std::atomic<bool> isAnalyticsCollectionDeactivated_;
    std::atomic<bool> isNetworkRequestPending_{false};
    bool shouldUpdateNPAUserProperty_ = false;
    // Worker queue only: the batch in flight.
    std::optional<std::vector<std::int64_t>> uploadingBundleIDs_;
    std::int64_t lastEventEndTimestampMsec_ = 0;
    // Worker queue only.
    KLVAttributionState attribution_;
};

}  // namespace engine
