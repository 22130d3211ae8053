#pragma once

// The measurement engine's persistent state, on one SQLite store: raw events waiting for
// bundling, the upload queue, per-event aggregates, user properties, audience filters and their
// results, conditional user properties, purchase and subscription fingerprints, complex events,
// and one row of engine metadata. This file gives the opening sequence, the schema check, the
// generic row operations the table operations share, the transaction wrapper, and the metadata
// row with its daily counters; the table families add their operations to this class.
//
// The database takes no lock: its owner uses it from one serial queue (the worker queue). Every
// operation answers false or nothing on failure with the error set when one is asked for; an empty
// list means no row matched.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/database/KLVConditionalUserProperty.h"
#include "engine/database/KLVDailyCounts.h"
#include "engine/database/KLVQueuedBundle.h"
#include "engine/events/KLVEvent.h"
#include "engine/events/KLVEventAggregates.h"
#include "engine/events/KLVEventFilter.h"
#include "engine/events/KLVFilterResult.h"
#include "engine/events/KLVPropertyFilter.h"
#include "engine/events/KLVRawEventData.h"
#include "engine/events/KLVUserAttribute.h"
#include "engine/messages/KLVPBMessages.h"
#include "engine/settings/KLVRemoteConfigStorage.h"
#include "engine/stores/KLVAppMetadata.h"
#include "engine/stores/KLVSqliteStore.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVPersistedConfig;

inline constexpr char kKLVMeasurementDatabaseName[] = "nexory-app-measurement.sql";

class KLVDatabase : public KLVRemoteConfigStorage {
  public:
    using Row = KLVSqliteStore::Row;
    using Record = KLVSqliteStore::Record;
    // Turns one row into an object; nullopt skips the row.
    template <typename T>
    using CreateDataTypeBlock = std::function<std::optional<T>(const Row& row, platform::Error*)>;

    // Opens the file `name` in the engine's directory, ensures every table and the metadata row.
    // `persistedConfig` gives the day offset of the daily counters.
    static std::unique_ptr<KLVDatabase> initWithDatabaseName(
        std::string_view name, std::shared_ptr<KLVPersistedConfig> persistedConfig,
        platform::Error* error = nullptr);

    // Deletes the database file and opens a fresh one at the same path.
    [[nodiscard]] bool reset(platform::Error* error = nullptr);
    // Runs `block` in one exclusive transaction: true commits, false rolls back. Answers whether
    // it committed; a failure is logged (12056) with its cause, which also goes to `error`. The
    // second form hands the block the error to fill, so that its own cause is the one reported.
    [[nodiscard]] bool performTransaction(const std::function<bool()>& block,
                                          platform::Error* error = nullptr);
    [[nodiscard]] bool performTransaction(const std::function<bool(platform::Error*)>& block,
                                          platform::Error* error = nullptr);

    // One transaction for a run of writes that arrive together; inside it each
    // performTransaction() is a savepoint that rolls back alone (KLVSqliteStore's grouped
    // transaction). beginGroupUnit() marks where the writes of the next event begin. The end
    // commits and then checkpoints when due (noteEventsWritten); when the commit fails, the
    // events' writes are committed again one event at a time up to the first that cannot be,
    // and each event lost from there on is logged (12056) as a failed transaction of its own.
    [[nodiscard]] bool beginGroupedTransaction(platform::Error* error = nullptr);
    void beginGroupUnit() { sqliteStore_->beginGroupUnit(); }
    [[nodiscard]] bool endGroupedTransaction(platform::Error* error = nullptr);
    bool isInGroupedTransaction() const { return sqliteStore_->isInGroupedTransaction(); }
    // Grows each time a grouped transaction's writes were lost (see KLVSqliteStore).
    std::uint64_t lostGroupCount() const { return sqliteStore_->lostGroupCount(); }
    // Counts stored events: every kEventsPerCheckpoint of them, once no grouped transaction is
    // open, the write-ahead log is copied into the file, so that a commit is one append to the
    // log and the copying (with its two syncs) happens at a known rhythm.
    void noteEventsWritten(std::int64_t count);
    static constexpr std::int64_t kEventsPerCheckpoint = 1000;

    // --- Contents kept in memory ---------------------------------------------------------------

    // What the event writer and the upload schedule ask for every event is answered from memory
    // once read: the daily counters, the names that have an aggregates row, whether conditional
    // properties exist, which metadata fingerprints are stored, whether raw events or bundles are
    // stored (any of them real-time) and the latest time of each. This class's own writes keep them
    // current; a roll-back (the store counts them), reset() and forgetMirroredContents() drop them,
    // and the next read fills them again, and so does a commit of another connection to the file
    // (another process, a tool), noticed when the next transaction begins. forgetMirroredContents()
    // drops them at once.
    void forgetMirroredContents();
    // Drops the mirrors when another connection committed since the last look (transactions
    // look when they begin).
    void noticeChangesElsewhere();
    // Whether the name has an aggregates row; nothing (with the error) on failure.
    std::optional<bool> hasEventAggregatesWithName(std::string_view name,
                                                   platform::Error* error = nullptr);
    std::optional<bool> hasConditionalUserProperties(platform::Error* error = nullptr);
    // Changes whenever the stored user properties may have changed: a write, a roll-back, a reset.
    std::uint64_t userAttributesVersion();

    // The opening sequence; `context` ("Init" or "Reset") only names it in log lines. A file
    // whose tables do not match their declaration is deleted, so that the next start opens a new
    // one; a file that merely could not be read or written now is kept.
    [[nodiscard]] bool initializeDatabaseResourcesWithContext(std::string_view context,
                                                              const std::string& path,
                                                              platform::Error* error = nullptr);
    [[nodiscard]] bool ensureAllTables(platform::Error* error = nullptr);
    // Creates the app_metadata row (rowid 1) when missing.
    bool initializeAppMetadata();

    // --- Generic row operations ----------------------------------------------------------------

    // Every row of the table in rowid order, at most `tableLimit` (-1: all), as converted.
    template <typename T>
    std::optional<std::vector<T>> allDataTypesFromTableWithName(
        const std::string& tableName, std::int64_t tableLimit, platform::Error* error,
        const CreateDataTypeBlock<T>& createDataTypeBlock);
    // The rows whose `columnName` equals `columnValue`, as converted; fails (code 2) when rows
    // were read and none converted.
    template <typename T>
    std::optional<std::vector<T>> dataTypesFromTableWithName(
        const std::string& tableName, const std::string& columnName,
        const platform::Object& columnValue, platform::Error* error,
        const CreateDataTypeBlock<T>& createDataTypeBlock);
    [[nodiscard]] bool insertDataType(const Record& record, const std::string& tableName,
                                      platform::Error* error = nullptr);
    // Writes (INSERT OR REPLACE) when a row with the key exists or the table holds fewer than
    // `tableLimit` rows; otherwise fails with code 2, "Failed to insert data type. Table is full".
    [[nodiscard]] bool upsertDataType(const Record& record, const std::string& tableName,
                                      const std::string& columnName,
                                      const platform::Object& columnValue, std::int64_t tableLimit,
                                      platform::Error* error = nullptr);
    // Sets the record's columns in the rows whose key matches; fails when there is none.
    [[nodiscard]] bool updateDataType(const Record& record, const std::string& tableName,
                                      const std::string& columnName,
                                      const platform::Object& columnValue,
                                      platform::Error* error = nullptr);

    // --- Metadata row and daily counters -------------------------------------------------------

    // The counters as stored (the day unchanged); a row without counters reads as today with
    // all counters 0.
    std::optional<KLVDailyCounts> dailyCounts(platform::Error* error = nullptr);
    [[nodiscard]] bool updateDailyCounts(const KLVDailyCounts& dailyCounts,
                                         platform::Error* error = nullptr);
    // Nothing without an error when the row is missing.
    std::optional<KLVAppMetadata> queryAppMetadata(platform::Error* error = nullptr);
    [[nodiscard]] bool updateAppMetadata(const KLVAppMetadata& appMetadata,
                                         platform::Error* error = nullptr);
    // Stores the downloaded configuration with the current time; one without an app ID is refused.
    [[nodiscard]] bool updateRemoteConfig(const KLVPBMeasurementConfig& config,
                                          platform::Error* error = nullptr) override;
    [[nodiscard]] bool updateRemoteConfigSuccessfulTimestamp(double timestamp,
                                                             platform::Error* error = nullptr);
    // The stored configuration; nothing (without an error) when none is stored.
    std::optional<KLVPBMeasurementConfig> queryMeasurementConfigWithError(
        platform::Error* error = nullptr) override;
    // Seconds since 1970 of the last successful fetch, or nothing.
    std::optional<platform::Object> lastRemoteConfigUpdateTimestamp(
        platform::Error* error = nullptr) override;

    // --- Raw events and bundle metadata (KLVDatabase_RawEvents.cpp) ---------------------------

    // Stores the metadata under its fingerprint unless that fingerprint is stored already.
    [[nodiscard]] bool insertIfNotExistsRawEventMetadata(const KLVPBMeasurementBundle& metadata,
                                                         platform::Error* error = nullptr);
    // The same for metadata already encoded, with its fingerprint (`klv_64LSBMD5` of `bytes`):
    // a writer that needs the fingerprint itself encodes and hashes once.
    [[nodiscard]] bool insertIfNotExistsRawEventMetadata(const platform::Data& bytes,
                                                         std::int64_t fingerprint,
                                                         platform::Error* error = nullptr);
    // The stored metadata; nothing, with an error, when absent.
    std::optional<KLVPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(
        std::int64_t metadataFingerprint, platform::Error* error = nullptr);
    [[nodiscard]] bool deleteRawEventMetadataWithMetadataFingerprint(
        std::int64_t metadataFingerprint, platform::Error* error = nullptr);
    // Deletes the metadata rows no raw event refers to.
    [[nodiscard]] bool deleteUnusedRawEventsMetadata(platform::Error* error = nullptr);
    [[nodiscard]] bool insertRawEvent(const KLVEvent& event, std::int64_t metadataFingerprint,
                                      bool isRealtime, platform::Error* error = nullptr);
    // The oldest raw events (at most 1000) of one fingerprint, in row order. `eventFilter` (may
    // be empty) sees the number accepted so far and each row: false stops the read without it.
    // Rows that do not convert are skipped; nothing (with the error) when none converted.
    std::optional<std::vector<KLVRawEventData>> rawEventsWithMetadataFingerprint(
        std::int64_t metadataFingerprint, platform::Error* error,
        const KLVSqliteStore::RowFilter& eventFilter);
    // The same read for bundling, each row decoded once and read by column: `eventFilter` sees
    // the columns that place a row in its run and the row's event (null, with the reason, when
    // it does not convert).
    struct RawEventRow {
        std::int64_t rowID = 0;  // 0 for a non-integer row ID
        double timestamp = 0;    // 0 for a non-numeric timestamp
        std::int64_t dataSize = 0;
        const KLVRawEventData* event = nullptr;
        // The row makes an event (`event` may stay null for a reader that does not build it).
        bool converts = false;
        const platform::Error* conversionError = nullptr;
    };
    using RawEventFilter = std::function<bool(std::size_t acceptedCount, const RawEventRow& row)>;
    std::optional<std::vector<KLVRawEventData>> rawEventsWithMetadataFingerprintForBundling(
        std::int64_t metadataFingerprint, platform::Error* error,
        const RawEventFilter& eventFilter);
    // The bundling read for a caller that builds its events itself: `visit` sees each row's
    // columns (a missing, NULL or mistyped column is absent; the views last until `visit`
    // returns) and answers whether the read goes on. False on a read failure.
    struct RawEventColumns {
        std::optional<std::int64_t> rowID;
        std::optional<std::span<const std::uint8_t>> data;
        std::optional<std::int64_t> fingerprint;
        std::string_view name;  // empty unless text
        double timestamp = 0;   // 0 unless a number
    };
    [[nodiscard]] bool readRawEventsWithMetadataFingerprintForBundling(
        std::int64_t metadataFingerprint, platform::Error* error,
        const std::function<bool(const RawEventColumns& columns)>& visit);
    static std::optional<KLVRawEventData> rawEventDataFromColumns(const RawEventColumns& columns,
                                                                  platform::Error* error);
    // One raw_events row (with its rowid) as a raw event, array parameters included.
    std::optional<KLVRawEventData> rawEventDataFromDictionary(const Row& row,
                                                              platform::Error* error = nullptr);
    // The fingerprint of the oldest raw event; nothing without an error when there is none.
    std::optional<std::int64_t> nextMetadataFingerprintToProcess(platform::Error* error = nullptr);
    [[nodiscard]] bool deleteRawEventsWithMaxRowID(std::int64_t maxRowID,
                                                   platform::Error* error = nullptr);
    // Keeps the newest maxEventsStored - 1 raw events; the number deleted.
    std::optional<std::int64_t> deleteRawEventsOverAbsoluteLimit(platform::Error* error = nullptr);
    // Deletes raw events further than `maxAge` seconds from now (either way), then the metadata
    // left unused.
    [[nodiscard]] bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge,
                                                               platform::Error* error = nullptr);
    std::optional<bool> isRawEventsTableEmpty(platform::Error* error = nullptr);
    // Seconds since 1970; nothing without an error when the table is empty.
    std::optional<double> queryLatestRawEventTime(platform::Error* error = nullptr);
    std::optional<bool> containsRawEventWithMetadataFingerprint(std::int64_t metadataFingerprint,
                                                                platform::Error* error = nullptr);
    std::optional<bool> containsRealtimeRawEventsWithError(platform::Error* error = nullptr);

    // --- Upload queue (KLVDatabase_Queue.cpp) --------------------------------------------------

    // Stores the bundle gzip-compressed, after the periodic stale-data deletion. A bundle needs
    // an app ID and an end time; one further than the maximum queue time from now is stored with
    // a warning.
    [[nodiscard]] bool insertBundle(const KLVPBMeasurementBundle& bundle, bool isRealtime,
                                    platform::Error* error = nullptr);
    // The oldest bundles, at most `countLimit`, while their encoded sizes add up to at most
    // `sizeLimit` bytes (the first is always taken; the first that does not fit ends the read).
    // The same with the bundle already encoded (`encoded`); `bundle` gives the fields checked.
    [[nodiscard]] bool insertBundle(const KLVPBMeasurementBundle& bundle,
                                    const platform::Data& encoded, bool isRealtime,
                                    platform::Error* error = nullptr);
    // The queue row that follows `afterRowID` (0 for the oldest), read as
    // queryBundlesWithCountLimit reads each of its rows: `rowID` 0 when no row follows, no `bundle`
    // when the row does not decode. Nothing on a read failure. Lets the upload hold one decoded
    // bundle at a time.
    struct NextQueuedBundle {
        std::optional<KLVQueuedBundle> bundle;
        std::int64_t rowID = 0;  // the row read; 0 when none follows
    };
    std::optional<NextQueuedBundle> queuedBundleAfterRowID(std::int64_t afterRowID,
                                                           platform::Error* error = nullptr);
    std::optional<std::vector<KLVQueuedBundle>> queryBundlesWithCountLimit(
        std::int64_t countLimit, std::int64_t sizeLimit, platform::Error* error = nullptr);
    std::optional<std::vector<KLVQueuedBundle>> queryBundlesWithRowIDs(
        const std::vector<std::int64_t>& rowIDs, platform::Error* error = nullptr);
    // Raises retry_count by 1 in the rows (a NULL or maximal counter stays as it is).
    [[nodiscard]] bool incrementRetryCounterForBundlesWithIDs(
        const std::vector<std::int64_t>& rowIDs, platform::Error* error = nullptr);
    [[nodiscard]] bool deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs,
                                               platform::Error* error = nullptr);
    std::optional<bool> isQueuedBundleTableEmpty(platform::Error* error = nullptr);
    // Seconds since 1970; nothing without an error when the queue is empty.
    std::optional<double> queryLatestBundleTime(platform::Error* error = nullptr);
    std::optional<bool> containsRealtimeBundlesWithError(platform::Error* error = nullptr);
    // Deletes stale raw events and bundles once per deletion interval: true when it ran, false
    // when it was not due, nothing on failure.
    std::optional<bool> maybeDeleteStaleData(platform::Error* error = nullptr);
    [[nodiscard]] bool deleteStaleBundlesOlderThanMaxAge(double maxAge,
                                                         platform::Error* error = nullptr);

    // --- Event aggregates (KLVDatabase_EventAggregates.cpp) ------------------------------------

    // At most 1000, in rowid order.
    std::optional<std::vector<KLVEventAggregates>> allEventAggregates(
        platform::Error* error = nullptr);
    // Nothing without an error when there is no row.
    std::optional<KLVEventAggregates> eventAggregatesWithName(std::string_view name,
                                                              platform::Error* error = nullptr);
    // Nothing without an error when there is no snapshot table or no row.
    std::optional<KLVEventAggregates> eventAggregatesSnapshotWithName(
        std::string_view name, platform::Error* error = nullptr);
    std::optional<KLVEventAggregates> eventAggregatesWithName(std::string_view name,
                                                              const std::string& tableName,
                                                              platform::Error* error = nullptr);
    // Replaces the row of the name; a new name is refused once 1000 names are stored.
    [[nodiscard]] bool updateEventAggregates(const KLVEventAggregates& eventAggregates,
                                             platform::Error* error = nullptr);
    [[nodiscard]] bool clearCurrentSessionCounts(platform::Error* error = nullptr);
    [[nodiscard]] bool deleteAllEventAggregates(platform::Error* error = nullptr);
    [[nodiscard]] bool deleteAllEventAggregatesInSnapshot(platform::Error* error = nullptr);
    // Rows whose name does not begin with "_".
    std::optional<std::int64_t> publicEventCount(platform::Error* error = nullptr);
    // Replaces events_snapshot with a copy of events.
    [[nodiscard]] bool createEventsSnapshotTable(platform::Error* error = nullptr);
    // Puts the snapshot back into events (keeping the current "_f" row when the snapshot has no
    // first open counted) and empties the snapshot.
    [[nodiscard]] bool restoreFromEventsSnapshotTable(platform::Error* error = nullptr);

    // --- User properties, purchases and subscriptions (KLVDatabase_UserAttributes.cpp) ---------

    // Nothing without an error when absent.
    std::optional<KLVUserAttribute> userAttributeWithName(std::string_view name,
                                                          platform::Error* error = nullptr);
    // Without `includingInternal`, properties named "_...", with a reserved prefix or reserved
    // by the user-property name map are left out.
    std::optional<std::vector<KLVUserAttribute>> userAttributesIncludingInternal(
        bool includingInternal, platform::Error* error = nullptr);
    // The properties whose names begin with "_ltv_", most recently set first.
    std::optional<std::vector<KLVUserAttribute>> allLifetimeValueUserAttributes(
        platform::Error* error = nullptr);
    // Replaces the row of the name; a new name is refused once 1000 are stored. Array values and
    // empty strings are refused.
    [[nodiscard]] bool updateUserAttribute(const KLVUserAttribute& userAttribute,
                                           platform::Error* error = nullptr);
    [[nodiscard]] bool deleteUserAttributeWithName(std::string_view name,
                                                   platform::Error* error = nullptr);
    std::optional<bool> containsUserAttributeWithName(std::string_view name,
                                                      platform::Error* error = nullptr);
    std::optional<std::int64_t> userAttributeCountForOrigin(std::string_view origin,
                                                            platform::Error* error = nullptr);
    std::optional<std::int64_t> publicUserAttributeCount(platform::Error* error = nullptr);
    // True when newly recorded, false when known already or empty; nothing on failure. Keeps
    // the newest 1000 fingerprints.
    std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint,
                                                                platform::Error* error = nullptr);
    // The same contract; the trim is deleteSubscriptionsOverLimit().
    std::optional<bool> insertIfNotDuplicateSubscriptionID(std::string_view subscriptionID,
                                                           platform::Error* error = nullptr);
    // Keeps the newest 1000 subscriptions; the number deleted.
    std::optional<std::int64_t> deleteSubscriptionsOverLimit(platform::Error* error = nullptr);

    // --- Audience filters, results and complex events (KLVDatabase_Audiences.cpp) --------------

    // The filters of the event (the property), in row order; their three flags come from the
    // stored message, not from the session_scoped column. An empty name is refused (code 1).
    // Whether any event filter is stored; nothing on a read failure.
    std::optional<bool> containsEventFilters(platform::Error* error = nullptr);
    std::optional<std::vector<KLVEventFilter>> eventFiltersForEventName(
        std::string_view name, platform::Error* error = nullptr);
    std::optional<std::vector<KLVPropertyFilter>> propertyFiltersForPropertyName(
        std::string_view name, platform::Error* error = nullptr);
    // Upserts by (audience_id, filter_id); an empty list, or a filter without name or data, is
    // refused. The first failure stops: rows written before it stay unless the caller's
    // transaction rolls back.
    [[nodiscard]] bool updateEventFilters(const std::vector<KLVEventFilter>& eventFilters,
                                          platform::Error* error = nullptr);
    [[nodiscard]] bool updatePropertyFilters(const std::vector<KLVPropertyFilter>& propertyFilters,
                                             platform::Error* error = nullptr);
    // Deletes the rows with the filters' keys; an empty list is refused (code 1).
    [[nodiscard]] bool deleteEventFilters(const std::vector<KLVEventFilter>& eventFilters,
                                          platform::Error* error = nullptr);
    [[nodiscard]] bool deletePropertyFilters(const std::vector<KLVPropertyFilter>& propertyFilters,
                                             platform::Error* error = nullptr);
    [[nodiscard]] bool deleteAllEventFilters(platform::Error* error = nullptr);
    [[nodiscard]] bool deleteAllPropertyFilters(platform::Error* error = nullptr);
    // Each audience with a stored event or property filter, once.
    std::optional<std::vector<std::int32_t>> allAudienceIDs(platform::Error* error = nullptr);
    // Audience to the IDs of its filters whose session_scoped column is 1, in row order.
    std::optional<std::map<std::int32_t, std::vector<std::int32_t>>> allSessionScopedFilters(
        platform::Error* error = nullptr);

    std::optional<std::map<std::int32_t, KLVFilterResult>> allFilterResults(
        platform::Error* error = nullptr);
    // Nothing without an error when the audience has no stored result.
    std::optional<KLVFilterResult> filterResultForAudienceID(std::int32_t audienceID,
                                                             platform::Error* error = nullptr);
    // Upserts by audience; empty previous results are stored as NULL. An empty list, or a result
    // without current results, is refused.
    [[nodiscard]] bool updateFilterResults(const std::vector<KLVFilterResult>& filterResults,
                                           platform::Error* error = nullptr);
    // Deletes the results of the audiences; an empty list is refused (code 1).
    [[nodiscard]] bool deleteFilterResults(const std::vector<KLVFilterResult>& filterResults,
                                           platform::Error* error = nullptr);

    [[nodiscard]] bool updateComplexEventForAudienceEvaluationWithEventID(
        std::int64_t eventID, std::int64_t childEventCount, const KLVEvent& mainEvent,
        platform::Error* error = nullptr);
    // The main event and the number of children still to process; nothing without an error when
    // none is stored.
    std::optional<std::pair<KLVEvent, std::int64_t>> mainEventAndChildCountPairWithEventID(
        std::int64_t eventID, platform::Error* error = nullptr);
    [[nodiscard]] bool deleteComplexEventForAudienceEvaluationWithEventID(
        std::int64_t eventID, platform::Error* error = nullptr);

    // --- Conditional user properties (KLVDatabase_ConditionalProperties.cpp) -------------------

    // Nothing without an error when absent.
    std::optional<KLVConditionalUserProperty> conditionalUserPropertyWithName(
        std::string_view name, platform::Error* error = nullptr);
    // Replaces the row of the name (absent events and trigger name become NULL); a new name is
    // refused once 1000 are stored. A property needs a name, an origin and a value (code 3).
    [[nodiscard]] bool updateConditionalUserProperty(const KLVConditionalUserProperty& property,
                                                     platform::Error* error = nullptr);
    [[nodiscard]] bool deleteConditionalUserPropertyWithName(std::string_view name,
                                                             platform::Error* error = nullptr);
    // Due at the current time: inactive ones past their trigger timeout (either way from their
    // creation), active ones past their time to live, inactive ones waiting for the event.
    // A row whose events do not decode is logged (12059) and left out of every answer.
    std::optional<std::vector<KLVConditionalUserProperty>>
    timedOutConditionalUserPropertiesWithError(platform::Error* error = nullptr);
    std::optional<std::vector<KLVConditionalUserProperty>>
    expiredConditionalUserPropertiesWithError(platform::Error* error = nullptr);
    std::optional<std::vector<KLVConditionalUserProperty>>
    triggeredConditionalUserPropertiesWithEventName(std::string_view eventName,
                                                    platform::Error* error = nullptr);
    // Names beginning with `prefix` and, when `origin` is not empty, that origin; both compared
    // literally and case-sensitively. Empty prefix and origin list every property.
    std::optional<std::vector<KLVConditionalUserProperty>> conditionalUserPropertiesWithPrefix(
        std::string_view prefix, std::string_view origin, platform::Error* error = nullptr);
    // The rows matching an SQL condition with its `?` values bound.
    std::optional<std::vector<KLVConditionalUserProperty>> conditionalUserPropertiesWithCondition(
        const std::string& condition, const KLVSqliteStore::ParameterValues& parameterValues,
        platform::Error* error = nullptr);

    KLVSqliteStore& sqliteStore() { return *sqliteStore_; }
    const std::shared_ptr<KLVPersistedConfig>& persistedConfig() const { return persistedConfig_; }

  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    explicit KLVDatabase(Key) {}

  private:
    // The rows for the two templates, after their argument checks (`hasBlock` included).
    std::optional<std::vector<Row>> rowsFromTableWithName(const std::string& tableName,
                                                          std::int64_t tableLimit, bool hasBlock,
                                                          platform::Error* error);
    std::optional<std::vector<Row>> rowsFromTableWithName(const std::string& tableName,
                                                          const std::string& columnName,
                                                          const platform::Object& columnValue,
                                                          bool hasBlock, platform::Error* error);
    static void failNoneConverted(platform::Error* error);
    [[nodiscard]] bool updateMetadataRow(const Record& record, platform::Error* error);
    std::int32_t currentDay();

    // Unknown until read; see forgetMirroredContents().
    struct Mirrors {
        std::optional<KLVDailyCounts> dailyCounts;
        std::optional<bool> rawEventsEmpty;
        // The outer nothing: unknown; the inner one: no time stored.
        std::optional<std::optional<double>> latestRawEventTime;
        std::optional<bool> realtimeRawEvents;
        // The number of raw events: at the cap of stored events it says how many of the oldest
        // must go without counting the table for every event.
        std::optional<std::int64_t> rawEventCount;
        std::optional<bool> bundlesEmpty;
        std::optional<std::optional<double>> latestBundleTime;
        std::optional<bool> realtimeBundles;
        std::unordered_set<std::string> aggregateNames;
        // Metadata fingerprints known to be stored.
        std::unordered_set<std::int64_t> metadataFingerprints;
        std::optional<bool> conditionalProperties;
    };
    // The mirrors, dropped first when the store rolled back since they were filled.
    Mirrors& mirrors();
    void forgetRawEventMirrors();
    void forgetBundleMirrors();
    // The store's row-change handler: a write made outside the paths that keep the mirrors
    // (a deletion, any change of the queue, the properties or the counters' row) drops what it
    // may have changed.
    void rowChanged(int operation, std::string_view table);
    static void noteInsertedTime(std::optional<std::optional<double>>& latest, double time);

    std::unique_ptr<KLVSqliteStore> sqliteStore_;
    std::shared_ptr<KLVPersistedConfig> persistedConfig_;
    Mirrors mirrors_;
    std::uint64_t mirroredRollbackCount_ = 0;
    std::optional<std::int64_t> dataVersion_;
    std::uint64_t userAttributesVersion_ = 0;
    std::int64_t eventsSinceCheckpoint_ = 0;
};

template <typename T>
std::optional<std::vector<T>> KLVDatabase::allDataTypesFromTableWithName(
    const std::string& tableName, std::int64_t tableLimit, platform::Error* error,
    const CreateDataTypeBlock<T>& createDataTypeBlock) {
    const auto rows =
        rowsFromTableWithName(tableName, tableLimit, static_cast<bool>(createDataTypeBlock), error);
    if (!rows) return std::nullopt;
    std::vector<T> objects;
    for (const auto& row : *rows) {
        if (auto object = createDataTypeBlock(row, error)) objects.push_back(std::move(*object));
    }
    return objects;
}

template <typename T>
std::optional<std::vector<T>> KLVDatabase::dataTypesFromTableWithName(
    const std::string& tableName, const std::string& columnName,
    const platform::Object& columnValue, platform::Error* error,
    const CreateDataTypeBlock<T>& createDataTypeBlock) {
    const auto rows = rowsFromTableWithName(tableName, columnName, columnValue,
                                            static_cast<bool>(createDataTypeBlock), error);
    if (!rows) return std::nullopt;
    std::vector<T> objects;
    for (const auto& row : *rows) {
        if (auto object = createDataTypeBlock(row, error)) objects.push_back(std::move(*object));
    }
    if (!rows->empty() && objects.empty()) {
        failNoneConverted(error);
        return std::nullopt;
    }
    return objects;
}

}  // namespace engine
