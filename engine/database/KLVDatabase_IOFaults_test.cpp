// I/O faults, as SQLite tests itself: the Nth read, write or sync fails, for N = 1, 2, ... over
// one whole operation until an attempt passes untouched. A failure must be reported, leave the
// database as it was (nothing half committed), and the next attempt must succeed.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/database/DatabaseTestSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/stores/SqliteFaultVfs.h"

namespace engine {
namespace {

using platform::Error;
using State = std::vector<std::int64_t>;
using testing::SqliteFaultVfs;

constexpr std::int64_t kFingerprint = 5;

class KLVDatabaseIOFaultTest : public testing::DatabaseEventTest {
  protected:
    // The connection must close before the fault VFS it was opened through goes.
    void TearDown() override {
        database_.reset();
        DatabaseEventTest::TearDown();
    }

    struct Operation {
        std::function<void()> prepare;  // runs untouched before each attempt
        std::function<bool(Error*)> attempt;
        std::function<State()> state;
        std::function<State(State)> effect;  // the state a successful attempt leaves
    };

    void sweep(const Operation& operation) {
        for (const auto kind :
             {SqliteFaultVfs::kRead, SqliteFaultVfs::kWrite, SqliteFaultVfs::kSync}) {
            for (int n = 1;; ++n) {
                SCOPED_TRACE("operation kind " + std::to_string(kind) + ", fault " +
                             std::to_string(n));
                ASSERT_LT(n, 500) << "the operation never passed untouched";
                operation.prepare();
                const State before = operation.state();
                // A cold page cache, so that the operation reads the file and not only memory.
                sqlite3_db_release_memory(database_->sqliteStore().sqliteHandle());
                vfs_.failNth(kind, n);
                Error error;
                const bool ok = operation.attempt(&error);
                const bool fired = vfs_.fired();
                vfs_.disarm();
                const State after = operation.state();
                if (!fired) {
                    EXPECT_TRUE(ok) << error.description;
                    EXPECT_EQ(after, operation.effect(before));
                    break;
                }
                // A fault SQLite worked round may end in success; then all of it is there.
                EXPECT_EQ(after, ok ? operation.effect(before) : before) << error.description;
                if (!ok) {
                    EXPECT_FALSE(error.description.empty());
                }
                operation.prepare();
                const State retryBefore = operation.state();
                Error retryError;
                ASSERT_TRUE(operation.attempt(&retryError)) << retryError.description;
                EXPECT_EQ(operation.state(), operation.effect(retryBefore));
            }
        }
    }

    std::int64_t count(const char* table) {
        return database_->sqliteStore().rowCountForTableWithName(table).value_or(-1);
    }
    bool writeEvent(Error* error) {
        const auto event =
            KLVEvent::initWithOrigin("app", false, "_e", testing::kTestNow, 0, {{"value", 7}});
        return database_->performTransaction(
            [&](Error* inner) {
                return database_->insertRawEvent(*event, kFingerprint, false, inner);
            },
            error);
    }

    SqliteFaultVfs vfs_;
};

TEST_F(KLVDatabaseIOFaultTest, OneEventWrite) {
    sweep({[] {}, [this](Error* error) { return writeEvent(error); },
           [this] { return State{count("raw_events")}; }, [](State s) { return State{s[0] + 1}; }});
}

// At the cap: the count of stored events (read afresh each time), the deletion of the oldest and
// the new row, in one transaction.
TEST_F(KLVDatabaseIOFaultTest, OneEventWriteAtTheCap) {
    useSettings({{"measurement.store.max_stored_events_per_app", "3"}});
    const auto rowIDs = [this] {
        State ids;
        const auto rows = database_->sqliteStore().recordsForQuery(
            "SELECT rowid FROM raw_events ORDER BY rowid", {});
        for (const auto& row : rows.value_or(std::vector<KLVDatabase::Row>{}))
            ids.push_back(row.at("rowid").asInteger());
        return ids;
    };
    const auto event =
        KLVEvent::initWithOrigin("app", false, "_e", testing::kTestNow, 0, {{"value", 7}});
    sweep({[this] {
               while (count("raw_events") < 3) {
                   ASSERT_TRUE(writeEvent(nullptr));
               }
               database_->forgetMirroredContents();
           },
           [&](Error* error) {
               return database_->performTransaction(
                   [&](Error* inner) {
                       return database_->deleteRawEventsOverAbsoluteLimit(inner) == 1 &&
                              database_->insertRawEvent(*event, kFingerprint, false, inner);
                   },
                   error);
           },
           rowIDs,
           [](State s) {
               s.erase(s.begin());
               s.push_back(s.back() + 1);
               return s;
           }});
}

TEST_F(KLVDatabaseIOFaultTest, OneBundling) {
    const auto bundle = [this](Error* error) {
        return database_->performTransaction(
            [&](Error* inner) {
                const auto events =
                    database_->rawEventsWithMetadataFingerprint(kFingerprint, inner, {});
                if (!events || events->empty()) return false;
                KLVPBMeasurementBundle message;
                NANOSetString(message, KLVPBMeasurementBundle::app_id, testing::kTestAppID);
                NANOSetInt64(message, KLVPBMeasurementBundle::end_timestamp_millis,
                             std::int64_t(testing::kTestNow * 1000));
                std::vector<KLVPBEvent> protos;
                for (const auto& event : *events) {
                    protos.push_back(event.rawEvent().protoEvent());
                }
                NANOSetArray(message, KLVPBMeasurementBundle::events, protos);
                return database_->insertBundle(message, false, inner) &&
                       database_->deleteRawEventsWithMaxRowID(events->back().rowID(), inner);
            },
            error);
    };
    sweep({[this] {
               while (count("raw_events") < 3) {
                   ASSERT_TRUE(writeEvent(nullptr));
               }
           },
           bundle,
           [this] {
               return State{count("raw_events"), count("queue")};
           },
           [](State s) {
               return State{0, s[1] + 1};
           }});
}

TEST_F(KLVDatabaseIOFaultTest, OneConfigurationApply) {
    std::int64_t version = 0;
    sweep({[] {},
           [&](Error* error) {
               KLVPBMeasurementConfig config;
               NANOSetInt64(config, KLVPBMeasurementConfig::version, version + 1);
               NANOSetString(config, KLVPBMeasurementConfig::app_id, testing::kTestAppID);
               if (!database_->updateRemoteConfig(config, error)) return false;
               ++version;
               return true;
           },
           [this] {
               const auto config = database_->queryMeasurementConfigWithError();
               return State{config ? NANOGetInt64(*config, KLVPBMeasurementConfig::version) : 0};
           },
           [](State s) { return State{s[0] + 1}; }});
}

}  // namespace
}  // namespace engine
