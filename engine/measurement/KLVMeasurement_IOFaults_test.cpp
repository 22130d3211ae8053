// The running service under I/O faults and a full disk. The Nth read, write or sync of its
// database fails, for N = 1, 2, ... over one whole event write, one bundling and one
// configuration apply, until an attempt passes untouched: a failure is reported on the log and
// leaves the stored state as it was (or, where SQLite worked round the fault, as a clean attempt
// leaves it), and the next attempt succeeds. A database that has reached its page limit fails
// writes with their codes, loses nothing committed, and takes writes again once it has room.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/audiences/AudienceTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/identity/KLVIdentity.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "engine/settings/SettingsTestSupport.h"
#include "engine/stores/KLVFileLocations.h"
#include "engine/stores/SqliteFaultVfs.h"

namespace engine {
namespace {

using State = std::vector<std::int64_t>;
using testing::SqliteFaultVfs;

class ServiceIOFaultTest : public LiveServiceTest {
  protected:
    void SetUp() override {
        LiveServiceTest::SetUp();
        // Only the measurement database: the experiments database is used by another thread.
        vfs_.watchOnly(KLVMeasurementFilePath(kKLVMeasurementDatabaseName));
        startService();
    }
    void TearDown() override {
        vfs_.disarm();
        LiveServiceTest::TearDown();
    }

    struct Operation {
        std::function<void()> prepare;  // runs untouched before each attempt
        std::function<bool()> attempt;  // on the test thread; false when it reports failure
        std::function<State()> state;
        std::function<State(const State&)> effect;  // what a clean attempt leaves
    };

    // An error line of the monitor since the log was last cleared.
    bool reportedAnError() {
        for (const auto& line : logLines()) {
            if (line.find(" error <") != std::string::npos) return true;
        }
        return false;
    }

    void sweep(const Operation& operation) {
        for (const auto kind :
             {SqliteFaultVfs::kRead, SqliteFaultVfs::kWrite, SqliteFaultVfs::kSync}) {
            for (int n = 1;; ++n) {
                // Every operation reads and writes the file (with synchronous=NORMAL a commit to
                // the write-ahead log need not sync): a first attempt untouched by either means
                // the fault file was not the database's.
                if (n == 2 || kind == SqliteFaultVfs::kSync) ranIntoAFault_ = true;
                SCOPED_TRACE("operation kind " + std::to_string(kind) + ", fault " +
                             std::to_string(n));
                ASSERT_LT(n, 500) << "the operation never passed untouched";
                operation.prepare();
                const State before = operation.state();
                onWorker([&](KLVMeasurement& s) {
                    // A cold page cache, so that the operation reads the file and not only memory.
                    sqlite3_db_release_memory(s.database()->sqliteStore().sqliteHandle());
                    vfs_.failNth(kind, n);
                });
                clearLogLines();
                const bool ok = operation.attempt();
                drain();
                const bool fired = vfs_.fired();
                vfs_.disarm();
                const State after = operation.state();
                if (!fired) {
                    EXPECT_TRUE(ok);
                    EXPECT_EQ(after, operation.effect(before));
                    EXPECT_TRUE(ranIntoAFault_) << "no fault ever reached the database";
                    ranIntoAFault_ = false;
                    break;
                }
                if (after == operation.effect(before)) {
                    // SQLite worked round the fault, or it hit a read after the commit.
                } else {
                    EXPECT_EQ(after, before) << "half committed";
                    EXPECT_FALSE(ok) << "a failure reported as success";
                    EXPECT_TRUE(reportedAnError()) << "a failure nobody was told of";
                }
                operation.prepare();
                const State retryBefore = operation.state();
                clearLogLines();
                EXPECT_TRUE(operation.attempt()) << "the next attempt failed";
                drain();
                ASSERT_EQ(operation.state(), operation.effect(retryBefore))
                    << "the next attempt failed";
            }
        }
    }

    std::int64_t count(const std::string& table) {
        std::int64_t rows = -1;
        onWorker([&](KLVMeasurement& s) {
            rows = s.database()->sqliteStore().rowCountForTableWithName(table).value_or(-1);
        });
        return rows;
    }
    std::int64_t eventsCountedToday() {
        std::int64_t all = -1;
        onWorker([&](KLVMeasurement& s) {
            if (const auto counts = s.database()->dailyCounts()) all = counts->allEventsCount();
        });
        return all;
    }
    // Logs one event through the service; true when it is stored.
    bool logStored(const std::string& name) {
        const auto before = count("raw_events");
        log(name, {{"n", 1}});
        return count("raw_events") == before + 1;
    }

    SqliteFaultVfs vfs_;
    bool ranIntoAFault_ = false;
};

TEST_F(ServiceIOFaultTest, OneEventWrite) {
    // Warm: the event's name and metadata rows exist, so each write adds one raw event and counts
    // it, and nothing else.
    ASSERT_TRUE(logStored("shop"));
    sweep({[] {}, [this] { return logStored("shop"); },
           [this] {
               return State{count("raw_events"), count("raw_events_metadata"), count("events"),
                            eventsCountedToday()};
           },
           [](const State& s) {
               return State{s[0] + 1, s[1], s[2], s[3] + 1};
           }});
}

TEST_F(ServiceIOFaultTest, OneBundling) {
    sweep({[this] {
               while (count("raw_events") < 3)
                   ASSERT_TRUE(logStored("shop"));
           },
           [this] {
               bool ok = false;
               onWorker([&](KLVMeasurement& s) { ok = s.bundleRawEvents(); });
               return ok;
           },
           [this] {
               return State{count("raw_events"), count("queue")};
           },
           [](const State& s) {
               return State{0, s[1] + 1};
           }});
}

TEST_F(ServiceIOFaultTest, OneConfigurationApply) {
    std::int64_t version = 1;
    const auto config = [&](std::int64_t v) {
        auto message = testing::makeConfig(kAppID, {{"measurement.upload.interval", "3600"}}, v);
        NANOSetArray(message, KLVPBMeasurementConfig::audiences,
                     std::vector<KLVPBAudience>{testing::audience(
                         static_cast<std::int32_t>(v), {testing::eventFilter(1, "shop")})});
        return message.protoBuffer().value_or(platform::Data{});
    };
    // As a download applies it: for this app, with its audiences.
    service_->identity()->setAppIDFromZKT(kAppID);
    onWorker([&](KLVMeasurement& s) { ASSERT_TRUE(s.applyFetchedConfiguration(config(1))); });
    sweep({[] {},
           [&] {
               bool ok = false;
               onWorker([&](KLVMeasurement& s) {
                   ok = s.applyFetchedConfiguration(config(version + 1));
               });
               if (ok) ++version;
               return ok;
           },
           [this] {
               std::int64_t stored = -1;
               std::int64_t inForce = -1;
               std::int64_t audience = -1;
               onWorker([&](KLVMeasurement& s) {
                   if (const auto c = s.database()->queryMeasurementConfigWithError())
                       stored = NANOGetInt64(*c, KLVPBMeasurementConfig::version);
                   inForce = s.remoteConfigInstance()->version();
                   const auto ids = s.database()->allAudienceIDs();
                   if (ids && ids->size() == 1) audience = ids->front();
               });
               return State{stored, inForce, audience};
           },
           [](const State& s) {
               return State{s[0] + 1, s[0] + 1, s[0] + 1};
           }});
}

// The service's database on a disk that has run full: its page limit is the pages it has.
class ServiceFullDatabaseTest : public LiveServiceTest {
  protected:
    void SetUp() override {
        LiveServiceTest::SetUp();
        startService();
    }
    // The first value a pragma answers on the service's own connection.
    std::string pragmaText(const std::string& statement) {
        std::string value;
        onWorker([&](KLVMeasurement& s) {
            sqlite3_exec(
                s.database()->sqliteStore().sqliteHandle(), ("PRAGMA " + statement).c_str(),
                [](void* out, int, char** values, char**) {
                    auto& text = *static_cast<std::string*>(out);
                    if (text.empty() && values[0]) text = values[0];
                    return 0;
                },
                &value, nullptr);
        });
        return value;
    }
    std::int64_t pragma(const std::string& statement) {
        const auto text = pragmaText(statement);
        return text.empty() ? -1 : std::atoll(text.c_str());
    }
    std::vector<std::int64_t> storedSequences() {
        std::vector<std::int64_t> out;
        for (const auto& raw : storedRawEvents(*service_)) {
            const auto& parameters = raw.rawEvent().parameters();
            const auto value = parameters.find("seq");
            out.push_back(value != parameters.end() && value->second.isInt64()
                              ? value->second.int64Value()
                              : -1);
        }
        return out;
    }
    // Logs one event with a sequence number and a bulky payload; true when it is stored.
    bool logNumbered(std::int64_t sequence) {
        platform::Dictionary parameters{{"seq", sequence}};
        for (int i = 0; i < 20; ++i)
            parameters.emplace("p" + std::to_string(i), std::string(90, 'a' + i));
        const auto before = storedRawEvents(*service_).size();
        log("fill", parameters);
        return storedRawEvents(*service_).size() == before + 1;
    }
};

TEST_F(ServiceFullDatabaseTest, WritesFailWithTheirCodesLoseNothingAndResumeWithRoom) {
    std::vector<std::int64_t> committed;
    for (std::int64_t sequence = 0; sequence < 5; ++sequence) {
        ASSERT_TRUE(logNumbered(sequence));
        committed.push_back(sequence);
    }
    const auto pages = pragma("page_count");
    ASSERT_GT(pages, 0);
    ASSERT_EQ(pragma("max_page_count = " + std::to_string(pages)), pages);

    // Free pages take some more; then the disk is full and every write fails, reported.
    std::int64_t sequence = 5;
    int refused = 0;
    for (; sequence < 2000 && refused < 3; ++sequence) {
        clearLogLines();
        if (logNumbered(sequence)) {
            ASSERT_EQ(refused, 0) << "a write succeeded between refused ones";
            committed.push_back(sequence);
            continue;
        }
        ++refused;
        // The step that failed says why (SQLITE_FULL), and so does the transaction.
        EXPECT_EQ(logCount(12056), 1u);
        const auto lines = logLines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& line) {
                                    return line.find(" error <") != std::string::npos &&
                                           line.find("Data loss.") != std::string::npos &&
                                           line.find(
                                               "failed with sqlite code 13 and error "
                                               "message \"database or disk is full\"") !=
                                               std::string::npos;
                                }),
                  1);
    }
    ASSERT_EQ(refused, 3) << "the database never ran full";
    EXPECT_EQ(storedSequences(), committed);

    // Room is made: the next write is stored, after everything committed before.
    ASSERT_GT(pragma("max_page_count = " + std::to_string(pages * 4)), pages);
    ASSERT_TRUE(logNumbered(sequence));
    committed.push_back(sequence);
    EXPECT_EQ(storedSequences(), committed);
    EXPECT_EQ(pragmaText("integrity_check"), "ok");
}

}  // namespace
}  // namespace engine
