#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/base/EngineTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/measurement/KLVMeasurement.h"
#include "engine/measurement/MeasurementTestSupport.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/settings/SettingsTestSupport.h"
#include "platform/security/Random.h"
#include "testkit/ManualClock.h"

#include <sqlite3.h>

namespace engine {
namespace {

using platform::Dictionary;

// An event of a queued bundle: its name and integer parameters.
struct BundledEvent {
    std::string name;
    std::map<std::string, std::int64_t> ints;
};

// A real service on a real database under the manual clock; bundling is driven by hand.
class BundlingTest : public LiveServiceTest {
  protected:
    void SetUp() override {
        LiveServiceTest::SetUp();
        startService();
    }
    void TearDown() override {
        platform::setRandomUniformSource({});
        LiveServiceTest::TearDown();
    }
    static KLVPBEventConfig eventConfig(const char* name, std::int32_t samplingRate,
                                        bool blocklisted = false) {
        KLVPBEventConfig config;
        NANOSetString(config, KLVPBEventConfig::name, name);
        if (samplingRate) NANOSetInt32(config, KLVPBEventConfig::sampling_rate, samplingRate);
        if (blocklisted) NANOSetBool(config, KLVPBEventConfig::blocklisted, true);
        return config;
    }
    void log(const std::string& name, Dictionary parameters = {}) {
        const bool isPublic = name.front() != '_';
        LiveServiceTest::log(name, parameters, isPublic, isPublic ? "app" : "auto");
    }
    bool bundle() {
        bool made = false;
        onWorker([&](KLVMeasurement& s) { made = s.bundleRawEvents(); });
        return made;
    }
    std::vector<KLVPBMeasurementBundle> queued() {
        std::vector<KLVPBMeasurementBundle> out;
        onWorker([&](KLVMeasurement& s) {
            auto read = s.database()->queryBundlesWithCountLimit(100, 1 << 24);
            ASSERT_TRUE(read);
            for (auto& q : *read)
                out.push_back(std::move(q.bundle));
        });
        return out;
    }
    static std::vector<BundledEvent> events(const KLVPBMeasurementBundle& bundle) {
        std::vector<BundledEvent> out;
        const auto list = NANOGetArray<KLVPBEvent>(bundle, KLVPBMeasurementBundle::events);
        for (const auto& e : list.value_or(std::vector<KLVPBEvent>{})) {
            BundledEvent b{NANOGetString(e, KLVPBEvent::name).value_or(""), {}};
            const auto params = NANOGetArray<KLVPBEventParam>(e, KLVPBEvent::params);
            for (const auto& p : params.value_or(std::vector<KLVPBEventParam>{})) {
                if (NANOHasField(p, KLVPBEventParam::int_value))
                    b.ints[*NANOGetString(p, KLVPBEventParam::name)] =
                        NANOGetInt64(p, KLVPBEventParam::int_value);
            }
            out.push_back(std::move(b));
        }
        return out;
    }
    std::int64_t rows(const char* table) {
        std::int64_t n = -1;
        onWorker([&](KLVMeasurement& s) {
            n = *s.database()->sqliteStore().rowCountForTableWithName(table);
        });
        return n;
    }
};

TEST_F(BundlingTest, BundlesCarryTimesIndexesAndChainToTheirPredecessor) {
    const std::int64_t t0 = static_cast<std::int64_t>(clock_->now() * 1000);
    log("shop", {{"n", 3}});
    clock_->advance(2);
    log("shop");
    ASSERT_TRUE(bundle());
    EXPECT_EQ(rows("raw_events"), 0);
    EXPECT_EQ(rows("raw_events_metadata"), 0);
    EXPECT_FALSE(bundle());  // nothing left

    clock_->advance(10);
    log("view");
    ASSERT_TRUE(bundle());
    const auto bundles = queued();
    ASSERT_EQ(bundles.size(), 2u);
    const auto& first = bundles[0];
    const auto& second = bundles[1];
    ASSERT_EQ(events(first).size(), 2u);
    EXPECT_EQ(events(first)[0].ints.at("n"), 3);
    EXPECT_EQ(NANOGetInt32(first, KLVPBMeasurementBundle::bundle_index), 1);
    EXPECT_EQ(NANOGetInt64(first, KLVPBMeasurementBundle::start_timestamp_millis), t0);
    EXPECT_EQ(NANOGetInt64(first, KLVPBMeasurementBundle::end_timestamp_millis), t0 + 2000);
    EXPECT_FALSE(NANOHasField(first, KLVPBMeasurementBundle::previous_start_timestamp_millis));

    EXPECT_EQ(NANOGetInt32(second, KLVPBMeasurementBundle::bundle_index), 2);
    EXPECT_EQ(NANOGetInt64(second, KLVPBMeasurementBundle::previous_start_timestamp_millis), t0);
    EXPECT_EQ(NANOGetInt64(second, KLVPBMeasurementBundle::previous_end_timestamp_millis),
              t0 + 2000);
    EXPECT_EQ(NANOGetInt64(second, KLVPBMeasurementBundle::start_timestamp_millis), t0 + 12000);
}

TEST_F(BundlingTest, BlocklistedRunsAreConsumedWithoutABundle) {
    log("old_name");
    log("old_name");
    configure({}, {eventConfig("old_name", 0, true)});
    EXPECT_TRUE(bundle());
    EXPECT_EQ(rows("raw_events"), 0);
    EXPECT_EQ(rows("raw_events_metadata"), 0);
    EXPECT_TRUE(queued().empty());
}

TEST_F(BundlingTest, ARunThatDoesNotDecodeIsDeletedInsteadOfBlockingBundling) {
    log("broken");
    log("broken");
    // Spoilt through a second connection, as another process could.
    const auto spoil = [&] {
        onWorker([](KLVMeasurement& s) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(s.database()->sqliteStore().databasePath().c_str(), &db),
                      SQLITE_OK);
            EXPECT_EQ(
                sqlite3_exec(db, "UPDATE raw_events SET data = x'ffff'", nullptr, nullptr, nullptr),
                SQLITE_OK);
            sqlite3_close(db);
        });
    };
    spoil();
    EXPECT_TRUE(bundle());  // a run of nothing but broken rows goes
    EXPECT_EQ(rows("raw_events_metadata"), 0);
    EXPECT_TRUE(queued().empty());

    // Broken rows among good ones leave with the good ones' bundle.
    log("broken");
    spoil();
    log("fine");
    EXPECT_TRUE(bundle());
    EXPECT_EQ(rows("raw_events"), 0);
    const auto bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    ASSERT_EQ(events(bundles[0]).size(), 1u);
    EXPECT_EQ(events(bundles[0])[0].name, "fine");
}

TEST_F(BundlingTest, EngagementAddsToLifetimeEngagementUnlessFirstRun) {
    log("_e", {{"_et", 1500}});
    log("_e", {{"_et", 700}, {"_fr", 1}});
    log("_e", {{"_et", 300}});
    ASSERT_TRUE(bundle());
    const auto bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    std::int64_t lte = -1;
    const auto attributes =
        NANOGetArray<KLVPBUserAttribute>(bundles[0], KLVPBMeasurementBundle::user_attributes);
    for (const auto& a : attributes.value_or(std::vector<KLVPBUserAttribute>{})) {
        if (NANOGetString(a, KLVPBUserAttribute::name) == "_lte")
            lte = NANOGetInt64(a, KLVPBUserAttribute::int_value);
    }
    EXPECT_EQ(lte, 1800);
    EXPECT_EQ(events(bundles[0]).size(), 3u);
}

TEST_F(BundlingTest, SamplingKeepsTheDaysExemptEventAndTheRollWinners) {
    configure({{"measurement.event_sampling_enabled", "1"}},
              {eventConfig("_tap", 10), eventConfig("one", 1)});
    // Scripted rolls: 0 wins, anything else loses.
    std::vector<std::uint32_t> rolls = {3, 5, 0, 7};
    std::size_t next = 0;
    platform::setRandomUniformSource([&](std::uint32_t) { return rolls.at(next++); });
    log("_tap", {{"_eid", 42}});
    log("_tap", {{"_eid", 43}});
    log("_tap");
    log("_tap", {{"_eid", 44}});
    log("one");
    ASSERT_TRUE(bundle());  // one run: all share their metadata
    EXPECT_FALSE(bundle());
    const auto bundles = queued();
    std::vector<BundledEvent> all;
    for (const auto& b : bundles)
        for (auto& e : events(b))
            all.push_back(e);
    // First: lost, but the first of the day (no earlier day known): kept as exempt.
    // Second: lost on the same day: dropped. Third: won. Fourth: lost: dropped, "_eid" noted.
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].name, "_tap");
    EXPECT_EQ(all[0].ints.at("_sr"), 10);
    EXPECT_EQ(all[0].ints.at("_efs"), 1);
    EXPECT_EQ(all[1].ints.at("_sr"), 10);
    EXPECT_EQ(all[1].ints.count("_efs"), 0u);
    // Rate 1 is never sampled.
    EXPECT_EQ(all[2].name, "one");
    EXPECT_EQ(all[2].ints.count("_sr"), 0u);
    EXPECT_EQ(next, 4u);
    onWorker([&](KLVMeasurement& s) {
        const auto tap = s.database()->eventAggregatesWithName("_tap");
        ASSERT_TRUE(tap);
        EXPECT_EQ(tap->lastSampledComplexEventID(), 44);
        EXPECT_EQ(tap->lastSamplingRate(), 10);
        EXPECT_TRUE(tap->lastExemptFromSampling());
    });
}

TEST_F(BundlingTest, ARunSampledAwayIsDeletedAndAnswersYes) {
    configure({{"measurement.event_sampling_enabled", "1"}}, {eventConfig("_tap", 100)});
    platform::setRandomUniformSource([](std::uint32_t) { return 1u; });
    log("_tap");
    ASSERT_TRUE(bundle());  // the day's exempt event
    log("_tap");
    log("_tap");
    EXPECT_TRUE(bundle());
    EXPECT_EQ(rows("raw_events"), 0);
    EXPECT_EQ(queued().size(), 1u);
}

}  // namespace
}  // namespace engine
