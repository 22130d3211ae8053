#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "engine/base/EngineTestSupport.h"
#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVMonitor.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVDebugText.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/KLVRawEventMetadata.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVPEventEditing.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "testkit/ManualClock.h"

#include <sqlite3.h>

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

struct Stored {
    std::string name;
    std::string origin;
    KLVParameters parameters;
};

// A real service on a real database in the test's temporary folder, under a manual clock.
class EventPipelineTest : public LiveServiceTest {
  protected:
    void start(std::optional<std::vector<std::string>> safelist = std::nullopt) {
        KLVSetInternalEventLogger(
            [this](const std::string&, const std::string& name, const Dictionary& parameters) {
                std::lock_guard lock(mutex_);
                const auto code = parameters.find("_err");
                if (name == "_err" && code != parameters.end())
                    errors_.push_back(code->second.asInteger());
            });
        allowDebugLines();
        startService(std::move(safelist));
    }
    void TearDown() override {
        // An upload the events scheduled must not start while the shared instances are reset
        // under it (ThreadSanitizer saw it read the process environment being destroyed).
        if (service_) {
            service_->alarm()->cancel();
            drain();
        }
        KLVSetInternalEventLogger({});
        KLVPEventEditing::setFactory({});
        monitor().setDebugModeEnabled(false);
        LiveServiceTest::TearDown();
    }
    // Changes the schema through a second connection, as another process could.
    void execute(const std::string& sql) {
        onWorker([&](KLVMeasurement& s) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(s.database()->sqliteStore().databasePath().c_str(), &db),
                      SQLITE_OK);
            EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        });
    }
    std::vector<Stored> stored() {
        std::vector<Stored> out;
        for (const auto& raw : storedRawEvents(*service_))
            out.push_back(
                {raw.rawEvent().name(), raw.rawEvent().origin(), raw.rawEvent().parameters()});
        return out;
    }
    std::vector<std::string> storedNames() {
        std::vector<std::string> names;
        for (const auto& s : stored())
            names.push_back(s.name);
        return names;
    }
    std::int64_t count(const std::string& query) {
        std::int64_t n = -1;
        onWorker([&](KLVMeasurement& s) {
            n = s.database()->sqliteStore().numberForQuery(query, {}).value().asInteger();
        });
        return n;
    }
    KLVDailyCounts counts() {
        std::optional<KLVDailyCounts> c;
        onWorker([&](KLVMeasurement& s) { c = s.database()->dailyCounts(); });
        return c.value();
    }
    std::vector<std::int64_t> errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    void clearErrors() {
        std::lock_guard lock(mutex_);
        errors_.clear();
    }

    std::mutex mutex_;
    std::vector<std::int64_t> errors_;
};

TEST_F(EventPipelineTest, DefaultParametersJoinEventsButNotErrorEventsAndEventValuesWin) {
    start();
    onWorker([](KLVMeasurement& s) {
        s.handleSetDefaultEventParametersOnWorkerQueue(
            Dictionary{{"shared", Object("default")}, {"extra", Object(7)}}, false);
    });
    log("my_event", {{"shared", Object("own")}});
    log("_err", {{"_err", Object(3)}}, false, "auto");
    const auto rows = stored();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(*rows[0].parameters.at("shared").stringValue(), "own");
    EXPECT_EQ(rows[0].parameters.at("extra").int64Value(), 7);
    EXPECT_EQ(rows[1].parameters.count("extra"), 0u);
}

TEST_F(EventPipelineTest, DefaultParameterRules) {
    start();
    struct Case {
        const char* what;
        std::optional<Dictionary> first, second;
        std::vector<std::string> keys;
        std::vector<std::int64_t> errorCodes;
        std::int64_t messageCode;
    };
    Dictionary many;
    std::vector<std::string> first25;
    for (int i = 0; i < 30; ++i) {
        many["p" + std::to_string(100 + i)] = Object(i);
        if (i < 25) first25.push_back("p" + std::to_string(100 + i));
    }
    const Case cases[] = {
        {"nil clears", Dictionary{{"a", Object(1)}}, std::nullopt, {}, {}, 23216},
        {"null removes one",
         Dictionary{{"a", Object(1)}, {"b", Object(2)}},
         Dictionary{{"a", Object()}},
         {"b"},
         {},
         23216},
        {"array refused",
         Dictionary{{"a", Object(1)}},
         Dictionary{{"x", Object::array({1})}},
         {"a"},
         {27},
         23213},
        {"trimmed to the limit", Dictionary{}, many, first25, {26}, 23215},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        configure({{"measurement.upload.max_public_event_params", "25"}});
        onWorker([&](KLVMeasurement& s) {
            s.handleSetDefaultEventParametersOnWorkerQueue(std::nullopt, false);
            s.handleSetDefaultEventParametersOnWorkerQueue(c.first, false);
            clearErrors();
            clearLogLines();
            s.handleSetDefaultEventParametersOnWorkerQueue(c.second, false);
        });
        std::vector<std::string> keys;
        for (const auto& [key, value] :
             service_->persistedConfig()->defaultEventParameters().value_or(Dictionary{})) {
            keys.push_back(key);
        }
        EXPECT_EQ(keys, c.keys);
        EXPECT_EQ(errors(), c.errorCodes);
        EXPECT_TRUE(logCount(c.messageCode) > 0);
    }
}

TEST_F(EventPipelineTest, InterceptorTakesPublicEventsWithScreenParametersMerged) {
    start();
    std::vector<std::string> seen;
    const KLVLogEventInterceptor interceptor = [&](const std::string&, const std::string& name,
                                                   const Dictionary& parameters, double) {
        seen.push_back(name + ":" + Object(parameters).description());
    };
    const Dictionary screen{{"_sn", Object("Home")}};
    service_->logEventWithOrigin("app", true, "tapped", {{"x", Object(1)}}, 1, true, false, false,
                                 interceptor, screen);
    service_->logEventWithOrigin("app", false, "_internal", {}, 1, true, false, false, interceptor,
                                 {});
    drain();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_THAT(seen[0], HasSubstr("_sn"));
    EXPECT_THAT(storedNames(), ElementsAre("_internal"));
}

TEST_F(EventPipelineTest, AllowlistMarksListedEventsAndDropsOthers) {
    start(std::vector<std::string>{"kept"});
    log("kept");
    log("other");
    ASSERT_THAT(storedNames(), ElementsAre("kept"));
    EXPECT_EQ(stored()[0].parameters.at("pe_safelisted").int64Value(), 1);
    EXPECT_THAT(logLine(23174), HasSubstr("not in allowlist"));
}

TEST_F(EventPipelineTest, RolloutSessionStartsAndAppExceptions) {
    start();
    log("_ssr", {}, false, "auto");  // nothing stored, no value: a duplicate
    log("_ssr", {{"_ffr", Object("r1")}}, false, "auto");
    log("_s", {}, false, "auto");                          // "_ssr" written first
    log("_ssr", {{"_ffr", Object("r1")}}, false, "auto");  // duplicate of the stored value
    log("_ae", {}, false, "auto");
    EXPECT_THAT(storedNames(), ElementsAre("_ssr", "_ssr", "_s", "_ae"));
    EXPECT_EQ(*stored()[3].parameters.at("_ffr").stringValue(), "r1");
}

TEST_F(EventPipelineTest, SubscriptionDuplicatesAndTheFailingTrim) {
    start();
    const Dictionary purchase{
        {"subscription", Object(1)}, {"_did", Object(42)}, {"product_id", Object("gold")}};
    log("_iap", purchase, false, "auto");
    log("_iap", purchase, false, "auto");
    log("_assc", {}, false, "auto");  // no "_did": kept
    EXPECT_THAT(storedNames(), ElementsAre("_iap", "_assc"));
    EXPECT_EQ(logCount(23182), 1u);

    // Trimming old subscription rows fails: a purchase whose ID was just stored is still kept.
    execute(
        "WITH RECURSIVE n(i) AS (SELECT 1000 UNION ALL SELECT i + 1 FROM n WHERE i < 1999) "
        "INSERT INTO subscriptions SELECT i FROM n");
    execute(
        "CREATE TRIGGER no_trim BEFORE DELETE ON subscriptions BEGIN SELECT RAISE(ABORT, "
        "'trim'); END");
    log("_iap", {{"subscription", Object(1)}, {"_did", Object(43)}}, false, "auto");
    EXPECT_THAT(storedNames(), ElementsAre("_iap", "_assc", "_iap"));
}

TEST_F(EventPipelineTest, BlockedEventsAndTheirErrorEvents) {
    start();
    configure({}, {testing::makeEventConfig("blocked_one", true)});
    log("blocked_one");
    EXPECT_EQ(errors(), std::vector<std::int64_t>{11});
    configure({{"measurement.upload.blacklist_public", "1"}});
    log("anything");
    EXPECT_EQ(errors(), std::vector<std::int64_t>{11});
    EXPECT_TRUE(storedNames().empty());
}

TEST_F(EventPipelineTest, DailyLimits) {
    start();
    configure({{"measurement.upload.max_events_per_day", "3"}});
    for (int i = 0; i < 5; ++i)
        log("e" + std::to_string(i));
    EXPECT_THAT(storedNames(), ElementsAre("e0", "e1", "e2"));
    EXPECT_EQ(logCount(23055), 1u);
    EXPECT_EQ(counts().allEventsCount(), 5);
}

TEST_F(EventPipelineTest, PublicLimitLogsAnErrorEventForEveryDrop) {
    start();
    configure({{"measurement.upload.max_public_events_per_day", "1"}});
    log("p0");
    log("p1");
    log("p2");
    log("_internal", {}, false);
    EXPECT_THAT(storedNames(), ElementsAre("p0", "_internal"));
    EXPECT_EQ(errors(), (std::vector<std::int64_t>{16, 16}));
    EXPECT_EQ(logCount(23057), 1u);
    EXPECT_EQ(counts().allEventsCount(), 2);
    EXPECT_EQ(counts().publicEventsCount(), 3);
}

TEST_F(EventPipelineTest, ArrayItemsCountTowardsAllEvents) {
    start();
    const Object items = Object::array({Object::dict({{"item_id", Object("a")}}),
                                        Object::dict({{"item_id", Object("b")}}),
                                        Object::dict({{"item_id", Object("c")}})});
    log("view_item_list", {{"items", items}});
    EXPECT_EQ(counts().allEventsCount(), 4);
}

TEST_F(EventPipelineTest, NameCardinalityAndAbsoluteLimit) {
    start();
    configure({{"measurement.upload.max_event_name_cardinality", "500"},
               {"measurement.store.max_stored_events_per_app", "3"}});
    onWorker([](KLVMeasurement& s) {
        for (int i = 0; i < 500; ++i) {
            const auto a = KLVEventAggregates::initWithName("n" + std::to_string(i), 0, 0, 0, 0);
            ASSERT_TRUE(s.database()->updateEventAggregates(*a));
        }
    });
    log("brand_new");
    EXPECT_EQ(errors(), std::vector<std::int64_t>{8});
    for (int i = 0; i < 4; ++i)
        log("n" + std::to_string(i));
    EXPECT_THAT(storedNames(), ElementsAre("n1", "n2", "n3"));
    EXPECT_THAT(logLine(23070), HasSubstr("1"));
}

TEST_F(EventPipelineTest, AFailingInsertCommitsNothing) {
    start();
    log("before");
    const auto countsBefore = counts();
    execute(
        "CREATE TRIGGER no_insert BEFORE INSERT ON raw_events BEGIN SELECT RAISE(ABORT, "
        "'full'); END");
    log("after");
    EXPECT_EQ(counts(), countsBefore);
    EXPECT_EQ(count("SELECT COUNT(*) FROM events WHERE name = 'after'"), 0);
    EXPECT_THAT(storedNames(), ElementsAre("before"));
    EXPECT_TRUE(logCount(23071) > 0);
}

TEST_F(EventPipelineTest, DebugModeMarksStoredEventsRealtimeAndDebug) {
    start();
    monitor().setDebugModeEnabled(true);
    for (int i = 0; i < 12; ++i)
        log("d" + std::to_string(i));
    EXPECT_EQ(count("SELECT COUNT(*) FROM raw_events WHERE is_realtime = 1"), 12);
    EXPECT_TRUE(stored()[11].parameters.at("_dbg").int64Value() == 1);
}

TEST_F(EventPipelineTest, EqualMetadataIsStoredOnceAndFirstOpenBumpsItsCount) {
    start();
    KLVMeasurement::setPreviousFirstOpenCount(Object(5));
    log("a");
    log("b");
    log("_f", {}, false, "auto");
    EXPECT_EQ(count("SELECT COUNT(*) FROM raw_events_metadata"), 1);
    EXPECT_EQ(KLVMeasurement::previousFirstOpenCount(), Object(std::int64_t{6}));
}

TEST_F(EventPipelineTest, CampaignInfoGoesIntoLaterMetadata) {
    start();
    log("_cmp", {{"nclid", Object("click")}}, false, "auto");
    log("later");
    std::optional<KLVPBMeasurementBundle> metadata;
    onWorker([&](KLVMeasurement& s) {
        const auto fp = s.database()->nextMetadataFingerprintToProcess().value();
        metadata = s.database()->queryRawEventsMetadataWithFingerprint(fp);
    });
    const auto info =
        NANOGetMessage<KLVPBAdCampaignInfo>(*metadata, KLVPBMeasurementBundle::ad_campaign_info);
    ASSERT_TRUE(info);
    EXPECT_EQ(NANOGetString(*info, KLVPBAdCampaignInfo::rclid), "click");
}

class FakeContext : public KLVPEventContext {
  public:
    const KLVPEvent& inputEvent() const override { return input; }
    const KLVPEvent& outputEvent() const override { return output; }
    const std::vector<KLVPEvent>& eventsToLog() const override { return created; }
    KLVPEvent input, output;
    std::vector<KLVPEvent> created;
};

class FakeEditor : public KLVPEventEditing {
  public:
    void setModuleCreator(KLVPModuleCreator, const std::string&) override {}
    bool loadProgram(const KLVPBProgram&, platform::Error*) override { return true; }
    bool handleEvent(const KLVPEvent& event, platform::Error* error) override {
        if (event.name == "broken") {
            *error = {"editing", 1, "failed", {}};
            return false;
        }
        context.output = event;
        context.created.clear();
        // Nothing to store but the event itself: false, and no error.
        if (event.name == "untouched") return false;
        context.output.parameters["edited"] = Object(1);
        context.created = {KLVPEvent::initWithName("_made", event.timestamp, {})};
        return true;
    }
    bool hasEdits() const override { return true; }
    bool hasCreatedEvents() const override { return true; }
    const KLVPEventContext& eventContext() const override { return context; }
    FakeContext context;
};

TEST_F(EventPipelineTest, EditedAndCreatedEventsAndAnEditingError) {
    KLVPEventEditing::setFactory([] { return std::make_shared<FakeEditor>(); });
    start();
    auto config = testing::makeConfig(kAppID);
    NANOSetArray(config, KLVPBMeasurementConfig::dynamic_event_editing,
                 std::vector<KLVPBProgram>(1));
    apply(config);
    log("changed");
    log("untouched");
    log("broken");
    EXPECT_THAT(storedNames(), ElementsAre("changed", "_made", "untouched", "broken"));
    const auto rows = stored();
    EXPECT_EQ(rows[0].parameters.count("edited"), 1u);
    EXPECT_EQ(rows[1].origin, "app");
    EXPECT_EQ(rows[3].parameters.count("edited"), 0u);
    EXPECT_THAT(logLine(23223), HasSubstr("Event editing failed"));
    EXPECT_EQ(logCount(23223), 1u);
}

// ---- User properties ----------------------------------------------------------------------

KLVUserAttribute property(const std::string& origin, const std::string& name, KLVValue value) {
    return KLVUserAttribute::initWithOrigin(origin, name, std::move(value), 1000).value();
}

TEST_F(EventPipelineTest, UserPropertyLimitsPerOriginAndForPublicNames) {
    start();
    configure({{"measurement.upload.max_public_user_properties", "25"}});
    struct Case {
        std::string origin;
        std::string prefix;
    };
    for (const Case& c : {Case{"auto", "_u"}, Case{"app", "p"}}) {
        SCOPED_TRACE(c.prefix);
        clearErrors();
        onWorker([&](KLVMeasurement& s) {
            for (int i = 0; i < 25; ++i) {
                EXPECT_TRUE(s.setUserPropertyInDatabaseOnWorkerQueue(
                    property(c.origin, c.prefix + std::to_string(i), KLVValue::initWithInt64(i))));
            }
            EXPECT_FALSE(s.setUserPropertyInDatabaseOnWorkerQueue(
                property(c.origin, c.prefix + "new", KLVValue::initWithInt64(1))));
            // A known name still updates.
            EXPECT_TRUE(s.setUserPropertyInDatabaseOnWorkerQueue(
                property(c.origin, c.prefix + "3", KLVValue::initWithString("x"))));
        });
        EXPECT_EQ(errors(), std::vector<std::int64_t>{9});
    }
    EXPECT_EQ(logCount(23084), 2u);
}

TEST_F(EventPipelineTest, ChangingTheUserIDClearsTheResetMarkAndReadBackKeepsTypes) {
    start();
    struct Case {
        const char* newID;
        bool markKept;
    };
    for (const Case& c : {Case{"same", true}, Case{"other", false}}) {
        SCOPED_TRACE(c.newID);
        Dictionary read;
        onWorker([&](KLVMeasurement& s) {
            ASSERT_TRUE(s.setUserPropertyInDatabaseOnWorkerQueue(
                property("app", "_id", KLVValue::initWithString("same"))));
            ASSERT_TRUE(s.setUserPropertyInDatabaseOnWorkerQueue(
                property("auto", "_lair", KLVValue::initWithInt64(1))));
            ASSERT_TRUE(s.setUserPropertyInDatabaseOnWorkerQueue(
                property("app", "ratio", KLVValue::initWithDouble(0.5))));
            ASSERT_TRUE(s.setUserPropertyInDatabaseOnWorkerQueue(
                property("app", "_id", KLVValue::initWithString(c.newID))));
            read = s.userPropertiesOnWorkerQueueIncludingInternal(true);
        });
        EXPECT_EQ(read.count("_lair"), c.markKept ? 1u : 0u);
        EXPECT_EQ(read.at("_id"), Object(c.newID));
        EXPECT_EQ(read.at("ratio"), Object(0.5));
    }
}

TEST_F(EventPipelineTest, SessionIDAnswers) {
    start();
    std::vector<std::string> answers;
    const auto ask = [&] {
        service_->sessionIDWithCompletion(
            [&](std::int64_t id, std::optional<platform::Error> error) {
                answers.push_back(error ? error->description : std::to_string(id));
            });
        drain();
    };
    ask();
    onWorker([](KLVMeasurement& s) {
        s.setUserPropertyInDatabaseOnWorkerQueue(
            property("auto", "_sid", KLVValue::initWithInt64(1234)));
    });
    ask();
    EXPECT_THAT(answers, ElementsAre("Session ID not found", "1234"));
}

// ---- Consent fields of a bundle -----------------------------------------------------------

TEST(RawEventMetadataTest, ConsentSignalsDecideTheIdentifiers) {
    struct Case {
        std::string signals;
        bool gate;
        std::uint64_t status;
        bool resettable, vendor, instance;
        std::optional<std::string> storedSignals;
    };
    const Case cases[] = {
        {"G111", false, 3, true, false, true, "G111"},
        {"G110", false, 3, true, false, false, "G110"},  // analytics denied
        {"G101", false, 3, false, true, true, "G101"},   // ad storage denied
        {"11", false, 3, true, false, true, std::nullopt},
        {"G111", true, 3, true, false, true, "G111"},  // authorised: the gate stays open
        {"G111", true, 2, false, true, true, "G111"},  // denied: vendor ID instead
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signals + " " + std::to_string(c.status));
        KLVIdentity::Snapshot identity;
        identity.appleConsentStatus = c.status;
        identity.hasLimitedAdTracking = true;
        identity.resettableDeviceID = "IDFA";
        identity.identifierForVendor = "IDFV";
        identity.appInstanceID = "AIID";
        KLVPBMeasurementBundle bundle;
        NANOSetString(bundle, KLVPBMeasurementBundle::session_stitching_token, "tok");
        KLVApplyConsentSignalsToBundle(bundle, c.signals, c.gate, identity, true);
        using B = KLVPBMeasurementBundle;
        EXPECT_EQ(NANOHasField(bundle, B::resettable_device_id), c.resettable);
        EXPECT_EQ(NANOHasField(bundle, B::vendor_device_id), c.vendor);
        EXPECT_EQ(NANOHasField(bundle, B::app_instance_id), c.instance);
        EXPECT_EQ(NANOHasField(bundle, B::session_stitching_token), c.instance);
        EXPECT_EQ(NANOGetString(bundle, B::consent_signals), c.storedSignals);
    }
}

// ---- Debug text ---------------------------------------------------------------------------

TEST_F(EventPipelineTest, DebugTextLayoutAndNames) {
    const Dictionary parameters{{"b", Object(1)}, {"A", Object(2)}, {"_err", Object(0)}};
    EXPECT_EQ(KLVDebugEventName("_f"), "_f");
    EXPECT_EQ(KLVDebugParameters(parameters), Object(parameters).description());
    monitor().setDebugModeEnabled(true);
    EXPECT_EQ(KLVDebugEventName("_f"), "first_open (_f)");
    EXPECT_EQ(KLVDebugEventName("custom"), "custom");
    EXPECT_EQ(KLVDebugUserPropertyName("_exp_7"), "experiment_id (_exp_7)");
    EXPECT_EQ(KLVDebugParameters(parameters), "{\n    A = 2;\n    b = 1;\n    pe_error (_err) = " +
                                                  std::string(errorCodeNames().at(0)) + " (0);\n}");
}

}  // namespace
}  // namespace engine
