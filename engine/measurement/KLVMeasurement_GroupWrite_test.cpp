// Events logged together are written together: what is stored, counted, refused and reported must
// be what writing them one by one gives, also when one of them fails.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/events/KLVErrorEvent.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVEventListenerNotifier.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVConsentSettingsUtil.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVFileLocations.h"
#include "engine/stores/KLVPersistedConfig.h"
#include "engine/stores/SqliteFaultVfs.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/ProcessInfo.h"
#include "testkit/ManualClock.h"
#include "testkit/TempHome.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;

constexpr char kAppID[] = "1:1001:ios:abc";
constexpr int kEvents = 1000;
// The codes a write reports when it refuses or loses an event (12056: a transaction failed).
constexpr std::int64_t kReportedCodes[] = {12056, 23055, 23056, 23057, 23065, 23071};

// Everything the writes leave behind, comparable across two runs on fresh stores. Identifiers
// drawn at random (the app instance ID, the session stitching token) are left out of the
// metadata; everything else is compared byte for byte.
struct Outcome {
    std::vector<std::string> rows;
    std::vector<std::string> counters;
    std::vector<std::string> aggregates;
    std::vector<std::string> properties;
    std::vector<std::int64_t> errorCodes;
    std::map<std::int64_t, std::size_t> reports;
    bool operator==(const Outcome&) const = default;
};

std::string hex(const platform::Data& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const auto byte : bytes) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 15]);
    }
    return out;
}

class GroupWriteTest : public EngineTest {
  protected:
    enum class Rhythm { OneByOne, Burst };
    using Step = std::function<void(KLVMeasurement&)>;
    // Logs the events of a run; `settle` waits until the worker has handled what was logged.
    using Workload = std::function<void(KLVMeasurement&, const std::function<void()>& settle)>;

    // A fresh store and service on the manual clock; `kEvents` events in the rhythm, a user
    // property set before every 250th; `onStore` runs on the worker queue before the first.
    Outcome run(Rhythm rhythm, const Step& onStore = {}) {
        return runWorkload(onStore, [rhythm](KLVMeasurement& service, const auto& settle) {
            const double start = platform::Clock::current().now();
            for (int i = 0; i < kEvents; ++i) {
                if (i % 250 == 125) {
                    service.setUserAttribute(KLVUserAttribute::initWithOrigin(
                        "app", "level", KLVValue::initWithInt64(i), start));
                }
                // A new name per event until 600, past the name limit; then names seen before.
                std::string name = "e" + std::to_string(i % 600);
                Dictionary parameters{{"i", Object(i)}};
                if (i % 9 == 0) name = "purchase";
                // Two items every 11th event; five items in each of the last hundred, which
                // takes the count of all events past its limit after the public limit stopped
                // the rest.
                if (i % 11 == 0 || i >= 900) {
                    platform::Array items;
                    for (int k = 0; k < (i >= 900 ? 5 : 2); ++k)
                        items.push_back(Object(Dictionary{{"item_id", Object(std::to_string(k))}}));
                    parameters["items"] = Object(std::move(items));
                }
                const bool internal = i % 97 == 0;
                if (internal) name = "_err";
                if (internal) parameters = {{"_err", Object(1)}};
                service.logEventWithOrigin(internal ? "auto" : "app", !internal, name, parameters,
                                           start + i * 0.001, true, false, false, nullptr, {});
                if (rhythm == Rhythm::OneByOne) settle();
            }
        });
    }

    // The same with the events `workload` logs; `beforeStart` runs once the data root is made.
    Outcome runWorkload(const Step& onStore, const Workload& workload,
                        const std::function<void()>& beforeStart = {}) {
        testkit::TempHome home;
        if (beforeStart) beforeStart();
        testkit::ScopedManualClock clock;
        std::vector<std::int64_t> errorCodes;
        std::mutex mutex;
        KLVSetInternalEventLogger(
            [&](const std::string&, const std::string& name, const Dictionary& parameters) {
                const auto code = parameters.find("_err");
                std::lock_guard lock(mutex);
                if (name == "_err" && code != parameters.end())
                    errorCodes.push_back(code->second.asInteger());
            });
        holdExperimentFetch();
        KLVMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false, std::nullopt);
        auto service = KLVMeasurement::sharedInstance();
        EXPECT_TRUE(service);
        if (!service) return {};
        const auto onWorker = [&](const Step& step) {
            service->scheduler()->workerQueue()->sync([&] { step(*service); });
        };
        onWorker([](KLVMeasurement&) {});
        forgetFirstOpen(*service);
        // Limits the run crosses: all events, public events, the number of public names.
        const auto config =
            testing::makeConfig(kAppID, {{"measurement.upload.max_events_per_day", "740"},
                                         {"measurement.upload.max_public_events_per_day", "700"},
                                         {"measurement.upload.max_error_events_per_day", "5"},
                                         {"measurement.upload.max_event_name_cardinality", "500"}});
        onWorker([&](KLVMeasurement& s) {
            ASSERT_TRUE(s.remoteConfigInstance()->updateMeasurementConfig(config));
        });
        if (onStore) onWorker(onStore);
        std::map<std::int64_t, std::size_t> before;
        for (const auto code : kReportedCodes)
            before[code] = logCount(code);

        workload(*service, [&] { onWorker([](KLVMeasurement&) {}); });
        onWorker([](KLVMeasurement&) {});

        Outcome outcome;
        onWorker([&](KLVMeasurement& s) {
            auto& db = *s.database();
            const auto rows = db.sqliteStore().recordsForQuery(
                "SELECT name, timestamp, data, is_realtime, metadata_fingerprint FROM raw_events "
                "ORDER BY rowid",
                {});
            for (const auto& row : rows.value_or(std::vector<KLVDatabase::Row>{})) {
                auto metadata = db.queryRawEventsMetadataWithFingerprint(
                    row.at("metadata_fingerprint").asInteger());
                std::string normalized = "missing";
                if (metadata) {
                    NANOClearField(*metadata, KLVPBMeasurementBundle::app_instance_id);
                    NANOClearField(*metadata, KLVPBMeasurementBundle::session_stitching_token);
                    NANOClearField(*metadata, KLVPBMeasurementBundle::vendor_device_id);
                    normalized = hex(metadata->protoBuffer().value_or(platform::Data{}));
                }
                outcome.rows.push_back(row.at("name").asString() + " " +
                                       row.at("timestamp").description() + " " +
                                       hex(row.at("data").asData()) + " " +
                                       row.at("is_realtime").description() + " " + normalized);
            }
            const auto counts = db.dailyCounts();
            if (counts) {
                outcome.counters = {std::to_string(counts->allEventsCount()),
                                    std::to_string(counts->publicEventsCount()),
                                    std::to_string(counts->errorEventsCount()),
                                    std::to_string(counts->conversionsCount()),
                                    std::to_string(counts->realtimeCount())};
            }
            for (const auto& aggregates :
                 db.allEventAggregates().value_or(std::vector<KLVEventAggregates>{})) {
                outcome.aggregates.push_back(aggregates.name());
            }
            for (const auto& attribute : db.userAttributesIncludingInternal(true).value_or(
                     std::vector<KLVUserAttribute>{})) {
                outcome.properties.push_back(attribute.name() + "=" +
                                             attribute.value().description());
            }
            s.alarm()->cancel();
        });
        {
            std::lock_guard lock(mutex);
            outcome.errorCodes = errorCodes;
        }
        for (const auto code : kReportedCodes)
            outcome.reports[code] = logCount(code) - before[code];
        KLVSetInternalEventLogger({});
        service.reset();
        return outcome;
    }

    static void expectSame(const Outcome& burst, const Outcome& oneByOne) {
        ASSERT_EQ(burst.rows.size(), oneByOne.rows.size());
        for (std::size_t i = 0; i < burst.rows.size(); ++i)
            ASSERT_EQ(burst.rows[i], oneByOne.rows[i]) << "row " << i;
        EXPECT_EQ(burst.counters, oneByOne.counters);
        EXPECT_EQ(burst.aggregates, oneByOne.aggregates);
        EXPECT_EQ(burst.properties, oneByOne.properties);
        EXPECT_EQ(burst.errorCodes, oneByOne.errorCodes);
        EXPECT_EQ(burst.reports, oneByOne.reports);
    }
};

TEST_F(GroupWriteTest, ABurstIsStoredCountedAndRefusedAsOneByOne) {
    const Outcome oneByOne = run(Rhythm::OneByOne);
    const Outcome burst = run(Rhythm::Burst);
    expectSame(burst, oneByOne);
    // The run reached every limit it was made for.
    // The count of all events went past its limit (its message is written only when the count
    // meets the limit exactly, and the last hundred events step over it).
    ASSERT_EQ(burst.counters.size(), 5u);
    EXPECT_GT(std::stoi(burst.counters[0]), 740);
    EXPECT_GT(burst.reports.at(23056), 0u);
    EXPECT_GT(burst.reports.at(23057), 0u);
    EXPECT_GT(burst.reports.at(23065), 0u);
    EXPECT_EQ(burst.reports.at(23071), 0u);
    EXPECT_NE(std::find(burst.errorCodes.begin(), burst.errorCodes.end(), 8),
              burst.errorCodes.end());
    EXPECT_NE(std::find(burst.errorCodes.begin(), burst.errorCodes.end(), 16),
              burst.errorCodes.end());
    EXPECT_GT(burst.rows.size(), 400u);
}

// The 500th event cannot be stored: once as a statement SQLite undoes alone, once as a failure that
// makes SQLite drop the whole transaction (as an I/O error does), which the events written before
// it in the same transaction must survive.
TEST_F(GroupWriteTest, AFailureOfThe500thLosesThatEventAloneAndIsReported) {
    for (const char* raise : {"ABORT", "ROLLBACK"}) {
        SCOPED_TRACE(raise);
        const Step plant = [raise](KLVMeasurement& s) {
            // The run stamps event i at start + i ms: the 500th is the one near start + 0.499.
            const double start = platform::Clock::current().now();
            char bounds[96];
            std::snprintf(bounds, sizeof bounds, "%.17g AND %.17g", start + 0.4985, start + 0.4995);
            const std::string trigger =
                std::string(
                    "CREATE TEMP TRIGGER planted BEFORE INSERT ON raw_events WHEN "
                    "NEW.timestamp BETWEEN ") +
                bounds + " BEGIN SELECT RAISE(" + raise + ", 'planted'); END";
            ASSERT_EQ(sqlite3_exec(s.database()->sqliteStore().sqliteHandle(), trigger.c_str(),
                                   nullptr, nullptr, nullptr),
                      SQLITE_OK);
        };
        const Outcome oneByOne = run(Rhythm::OneByOne, plant);
        const Outcome burst = run(Rhythm::Burst, plant);
        expectSame(burst, oneByOne);
        EXPECT_EQ(burst.reports.at(23071), 1u);
        const auto e499 = std::count_if(burst.rows.begin(), burst.rows.end(), [](const auto& row) {
            return row.rfind("e499 ", 0) == 0 || row.rfind("e498 ", 0) == 0;
        });
        EXPECT_EQ(e499, 1);  // the 499th is there, the 500th is not
        EXPECT_GT(burst.rows.size(), 400u);
    }
}

// A group of 500 events whose commit the disk has no room for: written again one event at a time,
// the events that fit are kept, exactly those writing them one by one keeps, and each event lost
// is logged as a failed transaction of its own (12056), as one by one. The disk then has room
// again and the next event is stored.
TEST_F(GroupWriteTest, AFailedCommitOfAGroupOf500KeepsWhatOneByOneKeeps) {
    constexpr int kGroup = 500;
    testing::SqliteFaultVfs vfs;
    const auto watchLog = [&] {
        vfs.watchOnly(KLVMeasurementFilePath(kKLVMeasurementDatabaseName) + "-wal");
    };
    // The log starts over at its beginning with the next commit and may not grow past 24 pages:
    // more than one event's commit needs, less than the group's.
    const Step fillDisk = [&](KLVMeasurement& s) {
        ASSERT_TRUE(s.database()->sqliteStore().checkpoint());
        vfs.limitFileSize(32 + 24 * (24 + 4096));
    };
    const std::string padding(120, 'p');
    const auto workload = [&](Rhythm rhythm) -> Workload {
        return [&, rhythm](KLVMeasurement& service, const std::function<void()>& settle) {
            const double start = platform::Clock::current().now();
            const auto logTick = [&](int i) {
                service.logEventWithOrigin("app", true, "tick",
                                           {{"i", Object(i)}, {"padding", Object(padding)}},
                                           start + i * 0.001, true, false, false, nullptr, {});
            };
            // In a burst the worker is held until all of them are logged: one group of 500.
            std::promise<void> release;
            if (rhythm == Rhythm::Burst) {
                service.scheduler()->workerQueue()->async(
                    [future = release.get_future().share()] { future.wait(); });
            }
            for (int i = 0; i < kGroup; ++i) {
                logTick(i);
                if (rhythm == Rhythm::OneByOne) settle();
            }
            if (rhythm == Rhythm::Burst) release.set_value();
            settle();
            EXPECT_TRUE(vfs.fired());
            service.scheduler()->workerQueue()->sync([&] { vfs.disarm(); });
            logTick(kGroup);
            settle();
        };
    };
    const Outcome oneByOne = runWorkload(fillDisk, workload(Rhythm::OneByOne), watchLog);
    const Outcome burst = runWorkload(fillDisk, workload(Rhythm::Burst), watchLog);
    expectSame(burst, oneByOne);
    // The first events fitted, in order, and the one after the disk had room again.
    const auto numbers = [](const Outcome& outcome) {
        std::vector<std::string> names;
        for (const auto& row : outcome.rows)
            names.push_back(row.substr(0, row.find(' ')));
        return names;
    };
    const auto stored = numbers(burst);
    ASSERT_GT(stored.size(), 1u);
    const std::size_t kept = stored.size() - 1;
    EXPECT_LT(kept, static_cast<std::size_t>(kGroup));
    EXPECT_EQ(stored, std::vector<std::string>(stored.size(), "tick"));
    EXPECT_EQ(burst.reports.at(12056), kGroup - kept);
    EXPECT_EQ(burst.reports.at(23071), 0u);
    EXPECT_NE(logLine(12056).find("] Transaction failed. Failed to end transaction"),
              std::string::npos)
        << logLine(12056);
}

// The events of a group count as not stored until its commit, as the end of the process tells
// them (a lone event until its own).
TEST_F(GroupWriteTest, EventsCountAsNotStoredUntilTheirTransactionEnds) {
    for (const auto rhythm : {Rhythm::Burst, Rhythm::OneByOne}) {
        std::vector<std::int64_t> seen;
        std::int64_t after = -1;
        runWorkload({}, [&](KLVMeasurement& service, const std::function<void()>& settle) {
            KLVSetEventListenerNotifier([&](const KLVEvent& event) {
                if (event.name() == "tick") seen.push_back(service.loggedEventsNotStored());
            });
            // In a burst the worker is held until all ten are logged: one group.
            std::promise<void> release;
            if (rhythm == Rhythm::Burst) {
                service.scheduler()->workerQueue()->async(
                    [held = release.get_future().share()] { held.wait(); });
            }
            for (int i = 0; i < 10; ++i) {
                service.logEventWithOrigin("app", true, "tick", {{"i", Object(i)}},
                                           platform::Clock::current().now(), true, false, false,
                                           nullptr, {});
                if (rhythm == Rhythm::OneByOne) settle();
            }
            if (rhythm == Rhythm::Burst) release.set_value();
            settle();
            after = service.loggedEventsNotStored();
            KLVSetEventListenerNotifier({});
        });
        EXPECT_EQ(seen, std::vector<std::int64_t>(10, rhythm == Rhythm::Burst ? 10 : 1));
        EXPECT_EQ(after, 0);
    }
}

// When the time to store runs out, the group being written is let finish and nothing is stored
// after it: the events counted as lost are exactly those the database lacks, also after the
// service has lived on and been given more. The stop is asked for while the worker handles the
// k-th event of one batch of 650 (two groups: 500 and 150), on the worker itself (it cannot wait
// there) or from another thread, which waits for the group to end.
TEST_F(GroupWriteTest, EventsCountedAsLostAtStopAreThoseTheDatabaseLacks) {
    constexpr int kLogged = 650;
    for (const bool fromWorker : {true, false}) {
        for (const int k : {1, 300, 500, 501, 650}) {
            SCOPED_TRACE(::testing::Message() << (fromWorker ? "on the worker" : "from a thread")
                                              << ", stop at event " << k);
            std::int64_t counted = -1, countedLater = -1;
            std::size_t stored = 0, storedLater = 0;
            runWorkload({}, [&](KLVMeasurement& service, const std::function<void()>& settle) {
                const auto logTicks = [&](int count) {
                    for (int i = 0; i < count; ++i) {
                        service.logEventWithOrigin("app", true, "tick", {{"i", Object(i)}},
                                                   platform::Clock::current().now(), true, false,
                                                   false, nullptr, {});
                    }
                };
                const auto storedTicks = [&] {
                    std::size_t rows = 0;
                    service.scheduler()->workerQueue()->sync([&] {
                        rows = service.database()
                                   ->sqliteStore()
                                   .recordsForQuery(
                                       "SELECT rowid FROM raw_events WHERE name = 'tick'", {})
                                   .value_or(std::vector<KLVDatabase::Row>{})
                                   .size();
                    });
                    return rows;
                };
                std::thread stopper;
                std::promise<std::int64_t> stopCount;
                int seen = 0;
                KLVSetEventListenerNotifier([&](const KLVEvent& event) {
                    if (event.name() != "tick" || ++seen != k) return;
                    if (fromWorker) {
                        EXPECT_FALSE(service.stopStoringEvents(0));
                        return;
                    }
                    stopper = std::thread([&] {
                        EXPECT_TRUE(service.stopStoringEvents(60));
                        stopCount.set_value(service.loggedEventsNotStored());
                    });
                });
                // The worker is held until all are logged: one batch.
                std::promise<void> release;
                service.scheduler()->workerQueue()->async(
                    [held = release.get_future().share()] { held.wait(); });
                logTicks(kLogged);
                release.set_value();
                settle();
                if (stopper.joinable()) {
                    stopper.join();
                    counted = stopCount.get_future().get();
                } else {
                    counted = service.loggedEventsNotStored();
                }
                stored = storedTicks();
                // The process lives on, and more is logged: none of it is stored.
                logTicks(20);
                settle();
                countedLater = service.loggedEventsNotStored();
                storedLater = storedTicks();
                KLVSetEventListenerNotifier({});
            });
            // The group of the stop is committed up to the event under way: on the worker the
            // stop comes exactly there, from a thread at that event or later.
            if (fromWorker) {
                EXPECT_EQ(stored, static_cast<std::size_t>(k));
            } else {
                EXPECT_GE(stored, static_cast<std::size_t>(k));
            }
            EXPECT_EQ(counted, kLogged - static_cast<std::int64_t>(stored));
            EXPECT_EQ(storedLater, stored);
            EXPECT_EQ(countedLater, counted + 20);
        }
    }
}

// The metadata record is kept between events: each change it is made of must show up in the very
// next event's record, and nothing of before may stay.
class MetadataCacheTest : public LiveServiceTest {
  public:
    // For the cases' changes.
    using LiveServiceTest::clock_;
    using LiveServiceTest::configure;
    using LiveServiceTest::onWorker;
    using LiveServiceTest::service_;

  protected:
    void SetUp() override {
        LiveServiceTest::SetUp();
        startService();
    }
    void TearDown() override {
        if (service_) {
            service_->alarm()->cancel();
            drain();
        }
        LiveServiceTest::TearDown();
    }
    // The metadata of the newest stored event.
    KLVPBMeasurementBundle newestMetadata() {
        std::optional<KLVPBMeasurementBundle> metadata;
        onWorker([&](KLVMeasurement& s) {
            auto& db = *s.database();
            const auto fingerprint = db.sqliteStore().numberForQuery(
                "SELECT metadata_fingerprint FROM raw_events ORDER BY rowid DESC LIMIT 1", {});
            ASSERT_TRUE(fingerprint);
            metadata = db.queryRawEventsMetadataWithFingerprint(fingerprint->asInteger());
        });
        return metadata.value_or(KLVPBMeasurementBundle{});
    }
    static std::string text(const KLVPBMeasurementBundle& metadata, std::int32_t field) {
        return NANOGetString(metadata, field).value_or("<none>");
    }
    static std::vector<std::string> properties(const KLVPBMeasurementBundle& metadata) {
        std::vector<std::string> names;
        for (const auto& attribute :
             NANOGetArray<KLVPBUserAttribute>(metadata, KLVPBMeasurementBundle::user_attributes)
                 .value_or(std::vector<KLVPBUserAttribute>{})) {
            names.push_back(NANOGetString(attribute, KLVPBUserAttribute::name).value_or(""));
        }
        return names;
    }
};

TEST_F(MetadataCacheTest, EachChangeShowsInTheNextEventsMetadata) {
    using Bundle = KLVPBMeasurementBundle;
    struct Case {
        const char* what;
        std::function<void(MetadataCacheTest&)> change;
        std::function<void(const Bundle& before, const Bundle& after)> check;
    };
    const Case cases[] = {
        {"a user property",
         [](MetadataCacheTest& t) {
             t.service_->setUserAttribute(KLVUserAttribute::initWithOrigin(
                 "app", "tier", KLVValue::initWithString("gold"), t.clock_->now()));
         },
         [](const Bundle& before, const Bundle& after) {
             const auto names = properties(after);
             EXPECT_EQ(std::count(names.begin(), names.end(), "tier"), 1);
             EXPECT_EQ(properties(before).size() + 1, names.size());
         }},
        {"the app instance ID",
         [](MetadataCacheTest& t) { t.service_->identity()->setAppInstanceID("NEWAPPINSTANCE"); },
         [](const Bundle&, const Bundle& after) {
             EXPECT_EQ(text(after, Bundle::app_instance_id), "NEWAPPINSTANCE");
         }},
        {"a new session number",
         [](MetadataCacheTest& t) {
             t.service_->persistedConfig()->setSessionNumber(
                 t.service_->persistedConfig()->sessionNumber() + 1);
         },
         [](const Bundle& before, const Bundle& after) {
             EXPECT_NE(text(after, Bundle::session_stitching_token),
                       text(before, Bundle::session_stitching_token));
         }},
        {"the language",
         [](MetadataCacheTest&) {
             platform::ProcessInfo::processInfo().setEnvironment({{"LANG", "de_AT.UTF-8"}});
         },
         [](const Bundle&, const Bundle& after) {
             EXPECT_EQ(text(after, Bundle::user_default_language), "de-at");
         }},
        {"a reset",
         [](MetadataCacheTest& t) {
             EXPECT_TRUE(t.service_->resetAnalyticsDataWithAppInstanceID("RESETINSTANCE"));
         },
         [](const Bundle&, const Bundle& after) {
             EXPECT_EQ(text(after, Bundle::app_instance_id), "RESETINSTANCE");
             const auto names = properties(after);
             EXPECT_EQ(std::count(names.begin(), names.end(), "tier"), 0);
         }},
        {"a new configuration",
         [](MetadataCacheTest& t) {
             t.configure({{"measurement.upload.dma_consent_enabled", "0"}});
         },
         [](const Bundle& before, const Bundle& after) {
             EXPECT_TRUE(NANOHasField(before, Bundle::consent_diagnostics));
             EXPECT_FALSE(NANOHasField(after, Bundle::consent_diagnostics));
         }},
        // After the reset: a day later the held experiments fetch is due.
        {"the session stitching token's lifetime",
         [](MetadataCacheTest& t) {
             t.onWorker([](KLVMeasurement& s) { s.alarm()->cancel(); });
             t.clock_->advance(86400);
         },
         [](const Bundle& before, const Bundle& after) {
             EXPECT_NE(text(after, Bundle::session_stitching_token),
                       text(before, Bundle::session_stitching_token));
         }},
        {"consent",
         [](MetadataCacheTest&) {
             KLVConsentSettingsUtil::setConsentSettings(
                 Dictionary{{kKLVConsentTypeAnalyticsStorage, Object(kKLVConsentDenied)}});
         },
         [](const Bundle& before, const Bundle& after) {
             EXPECT_TRUE(NANOHasField(before, Bundle::app_instance_id));
             EXPECT_FALSE(NANOHasField(after, Bundle::app_instance_id));
             EXPECT_EQ(text(after, Bundle::consent_signals).substr(3, 1), "0");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log("before_change");
        log("before_change");
        const auto before = newestMetadata();
        c.change(*this);
        drain();
        log("after_change");
        c.check(before, newestMetadata());
    }
}

}  // namespace
}  // namespace engine
