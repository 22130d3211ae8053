#pragma once

// Test support (header only): a measurement service that records what reaches its worker-queue
// halves, made the process's shared instance.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/environment/KLVDefaultIdentitySupport.h"
#include "engine/environment/KLVServerHosts.h"
#include "engine/experiments/KLVETaskManager.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "engine/stores/KLVUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Object.h"
#include "platform/net/HttpClient.h"
#include "testkit/LoopbackServer.h"
#include "testkit/ManualClock.h"

namespace engine {

// The monitor's health record, where silent lines (levels 2 and 5) land: the count of monitored
// lines and the first one's message since it was last read (reading empties it).
inline std::string healthRecord() {
    return monitor().monitoringDataForDispatchWithSamplePeriod(0, 0).value_or("");
}

struct RecordedEvent {
    std::string origin;
    bool isPublicEvent = false;
    std::string name;
    platform::Dictionary parameters;
    double timestamp = 0;
    bool enabled = false;
    bool ignoreEnabled = false;
    bool ignoreInterceptor = false;
    bool hasInterceptor = false;
    platform::Dictionary screenParameters;

    // For failure messages: every field by name, dictionaries as their descriptions.
    friend void PrintTo(const RecordedEvent& event, std::ostream* os) {
        *os << "RecordedEvent{origin: " << platform::Object(event.origin).description()
            << ", public: " << ::testing::PrintToString(event.isPublicEvent)
            << ", name: " << platform::Object(event.name).description()
            << ", parameters: " << platform::Object(event.parameters).description()
            << ", timestamp: " << platform::shortestNumberText(event.timestamp)
            << ", enabled: " << ::testing::PrintToString(event.enabled)
            << ", ignoreEnabled: " << ::testing::PrintToString(event.ignoreEnabled)
            << ", ignoreInterceptor: " << ::testing::PrintToString(event.ignoreInterceptor)
            << ", hasInterceptor: " << ::testing::PrintToString(event.hasInterceptor)
            << ", screenParameters: " << platform::Object(event.screenParameters).description()
            << '}';
    }
};

struct RecordingOptions {
    std::string appID = "1:1001:ios:abc";
    bool enabled = true;
    bool deactivated = false;
    // How many database openings fail before one succeeds.
    int failingDatabaseOpens = 0;
    bool resetSucceeds = true;
    // False: the wipe fails without touching anything, as a failed database reset does.
    bool wipeSucceeds = true;
    std::optional<platform::Object> disableAdPersonalization;
};

// Creating a real service starts the experiments manager, whose first fetch is due 10 s later,
// or 4 h after a recent success. Tests that are not about experiments record a success now
// (under the clock the test runs on), so that neither a manual clock nor a slow run reaches the
// fetch. An analytics reset still fetches at once.
inline void holdExperimentFetch() {
    KLVUserDefaults(std::string(kKLVExperimentSuiteName))
        .setDouble(platform::Clock::current().now(), kKLVExperimentFetchSuccessTimestampKey);
}

// A real service's start reports the first open ("_f" and "_e" events, the "_fot" and "_fi"
// properties, their daily counts). Tests of the pipeline that count rows from an empty store
// take that out again once the start has run.
inline void forgetFirstOpen(KLVMeasurement& service) {
    service.scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [&service] {
        auto& database = *service.database();
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(database.sqliteStore().databasePath().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "DELETE FROM raw_events; DELETE FROM raw_events_metadata; "
                               "DELETE FROM user_attributes; DELETE FROM events;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        const auto counts = database.dailyCounts();
        ASSERT_TRUE(counts);
        ASSERT_TRUE(database.updateDailyCounts(
            KLVDailyCounts::initWithDay(counts->day(), 0, 0, 0, 0, 0, 0)));
    });
}

class RecordingMeasurement : public KLVMeasurement {
  public:
    using Options = RecordingOptions;

    static Parts partsFor(const Options& options) {
        Parts parts;
        parts.databaseName = "nexory-app-measurement.sql";
        parts.persistedConfig = KLVPersistedConfig::sharedInstance();
        parts.scheduler = std::make_shared<KLVScheduler>(kKLVWorkerQueueLabel);
        parts.alarm =
            std::make_shared<KLVAlarm>(parts.scheduler->workerQueue(), "Measurement timer");
        parts.appID = options.appID;
        parts.isAnalyticsCollectionEnabled = options.enabled;
        parts.isAnalyticsCollectionDeactivated = options.deactivated;
        return parts;
    }

    explicit RecordingMeasurement(const Options& options)
        : KLVMeasurement(partsFor(options)), options_(options) {}

    // Makes a recording service (or one of its subclasses) the shared instance (its enable is
    // then scheduled) and waits for that first worker block.
    template <typename Service = RecordingMeasurement>
    static std::shared_ptr<Service> install(const Options& options = {}) {
        std::shared_ptr<Service> made;
        installSharedInstance([&] {
            made = std::make_shared<Service>(options);
            return made;
        });
        if (made) made->drain();
        return made;
    }

    void drain() {
        scheduler()->workerQueue()->sync([] {});
    }

    std::vector<RecordedEvent> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int databaseOpens() const { return databaseOpens_; }
    int wipes() const { return wipes_; }

    void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                         const std::string& name,
                                         const platform::Dictionary& parameters, double timestamp,
                                         bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                                         const KLVLogEventInterceptor& interceptor,
                                         const platform::Dictionary& screen) override {
        std::lock_guard lock(mutex_);
        events_.push_back({origin, isPublicEvent, name, parameters, timestamp, enabled,
                           ignoreEnabled, ignoreInterceptor, bool(interceptor), screen});
    }
    void setUserAttributeOnWorkerQueue(const KLVUserAttribute& attribute) override {
        record("set " + attribute.origin() + " " + attribute.name() + "=" +
               attribute.value().description());
    }
    void removeUserAttributeOnWorkerQueue(const KLVUserAttribute& attribute) override {
        record("remove " + attribute.name());
    }
    void setUserDataOnWorkerQueue(const platform::Dictionary& userData) override {
        record("userData " + platform::Object(userData).description());
    }
    void setDefaultEventParametersOnWorkerQueue(
        const std::optional<platform::Dictionary>& parameters) override {
        record("defaults " + (parameters ? platform::Object(*parameters).description() : "nil"));
    }
    bool resetAnalyticsDataOnWorkerQueueWithTimestamp(
        double, const std::optional<std::string>& appInstanceID) override {
        record("reset " + appInstanceID.value_or("nil"));
        return options_.resetSucceeds;
    }
    std::optional<platform::Object> shouldDisableAdPersonalization() override {
        return options_.disableAdPersonalization;
    }
    // The first open's and "_npa"'s properties would show among the recorded calls; tests of
    // the life cycle call the service's own.
    void reportFirstOpenOnWorkerQueue() override {}
    void setPersonalizedAdsUserPropertyOnWorkerQueue() override {}
    bool wipeoutAnalyticsDataAndResetComponents() override {
        ++wipes_;
        return options_.wipeSucceeds && KLVMeasurement::wipeoutAnalyticsDataAndResetComponents();
    }

  protected:
    std::unique_ptr<KLVDatabase> openDatabase() override {
        if (databaseOpens_++ < options_.failingDatabaseOpens) return nullptr;
        return KLVMeasurement::openDatabase();
    }

  private:
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    Options options_;
    std::mutex mutex_;
    std::vector<RecordedEvent> events_;
    std::vector<std::string> calls_;
    std::atomic<int> databaseOpens_{0};
    std::atomic<int> wipes_{0};
};

// The identity support asks the platform for the advertising identifier on a queue of its own,
// waits a few milliseconds and otherwise answers what it had before: on a busy machine the first
// answer comes late, and one refresh of the identity may even read the identifier but still take
// tracking as limited. Asks until the platform's answer `identifier` has arrived, so that every
// later read (the start's, a refresh's) finds it. Call it after the platform identity support is
// set and before the service starts.
inline void waitForAdvertisingIdentifier(const std::string& identifier) {
    const auto support = KLVDefaultIdentitySupport::sharedInstance();
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (support->resettableDeviceID() != identifier) {
        ASSERT_LT(std::chrono::steady_clock::now(), guard)
            << "the platform never answered the advertising identifier " << identifier;
    }
}

// Sends the requests for `host` to the TLS loopback server, whose certificate is trusted.
inline void useLoopbackHost(const testkit::LoopbackServer& server, const std::string& host) {
    auto& client = platform::HttpClient::shared();
    client.setTrustedCertificates(server.certificatePEM());
    ASSERT_TRUE(client.setConnectTo(host, "127.0.0.1", server.port()));
}

// The measurement hosts (upload and configuration) are `host`, as the app's Info.plist (written
// in `bundleFolder`) names them, and their requests go to the TLS loopback server.
inline void useLoopbackMeasurementHost(const testkit::LoopbackServer& server,
                                       const std::string& host,
                                       const std::filesystem::path& bundleFolder) {
    useLoopbackHost(server, host);
    testing::useMainBundle(bundleFolder, {{"CFBundleIdentifier", "com.example.tessaline"},
                                          {kKLVUploadHostInfoPlistKey, host},
                                          {kKLVConfigHostInfoPlistKey, host}});
}

// The answer of PRAGMA integrity_check ("ok" for a whole file), through a connection of its own.
inline std::string databaseIntegrity(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return "cannot open";
    }
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> connection(db, sqlite3_close);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) != SQLITE_OK)
        return sqlite3_errmsg(db);
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> finalizer(statement,
                                                                          sqlite3_finalize);
    std::string answer;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        if (!answer.empty()) answer += "\n";
        answer += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    return answer;
}

// Waits until the service has no network request out. The flag is read on the worker queue,
// where a completion clears it and a request it chains sets it again within one block.
inline void waitForNetworkIdle(KLVMeasurement& service) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool pending = true;
    while (pending) {
        ASSERT_LT(std::chrono::steady_clock::now(), guard)
            << "the service's network request was never answered";
        service.scheduler()->workerQueue()->sync(
            [&] { pending = service.isNetworkRequestPending(); });
    }
}

// The stored raw events, oldest first.
inline std::vector<KLVRawEventData> storedRawEvents(KLVMeasurement& service) {
    std::vector<KLVRawEventData> out;
    service.scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [&] {
        auto& db = *service.database();
        const auto rows =
            db.sqliteStore().recordsForQuery("SELECT rowid, * FROM raw_events ORDER BY rowid", {});
        for (const auto& row : rows.value_or(std::vector<platform::Dictionary>{})) {
            if (auto raw = db.rawEventDataFromDictionary(row)) out.push_back(std::move(*raw));
        }
    });
    return out;
}

// A real shared service on a real database in the test's temporary folder, under the manual
// clock. `startService` creates it; the test drives the worker queue by hand.
class LiveServiceTest : public EngineTest {
  protected:
    static constexpr char kAppID[] = "1:1001:ios:abc";

    void startService(std::optional<std::vector<std::string>> allowlist = std::nullopt,
                      bool holdExperiments = true) {
        if (holdExperiments) holdExperimentFetch();
        KLVMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false,
                                                          std::move(allowlist));
        service_ = KLVMeasurement::sharedInstance();
        ASSERT_TRUE(service_);
        drain();
        ASSERT_TRUE(service_->database());
        forgetFirstOpen(*service_);
    }
    // The reset of the shared instances stops the service's queues only if it holds the last
    // reference to the service.
    void TearDown() override {
        service_.reset();
        EngineTest::TearDown();
    }
    void drain() {
        service_->scheduler()->workerQueue()->sync([] {});
    }
    template <typename F>
    void onWorker(F f) {
        service_->scheduler()->workerQueue()->sync([&] { f(*service_); });
    }
    void configure(const testing::SettingList& settings,
                   const std::vector<KLVPBEventConfig>& events = {}) {
        auto config = testing::makeConfig(kAppID, settings);
        if (!events.empty()) NANOSetArray(config, KLVPBMeasurementConfig::event_config, events);
        apply(config);
    }
    void apply(const KLVPBMeasurementConfig& config) {
        onWorker([&](KLVMeasurement& s) {
            ASSERT_TRUE(s.remoteConfigInstance()->updateMeasurementConfig(config));
        });
    }
    void log(const std::string& name, platform::Dictionary parameters = {}, bool isPublic = true,
             const std::string& origin = "app") {
        service_->logEventWithOrigin(origin, isPublic, name, parameters, clock_->now(), true, false,
                                     false, nullptr, {});
        drain();
    }

    testkit::ScopedManualClock clock_;
    std::shared_ptr<KLVMeasurement> service_;
};

}  // namespace engine
