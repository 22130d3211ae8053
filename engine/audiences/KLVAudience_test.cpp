#include "engine/audiences/KLVAudience.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "engine/audiences/AudienceTestSupport.h"
#include "engine/database/DatabaseTestSupport.h"

namespace engine {
namespace {

using namespace engine::testing;
using platform::Data;
using ::testing::ElementsAre;
using ::testing::Pair;

using Timestamps = std::vector<std::pair<std::int32_t, std::vector<std::int64_t>>>;

class KLVAudienceTest : public DatabaseEventTest {
  protected:
    void SetUp() override {
        DatabaseEventTest::SetUp();
        audience_ = KLVAudience::initWithDatabase(database_);
    }

    void store(const std::vector<KLVPBAudience>& audiences) {
        ASSERT_TRUE(
            database_->performTransaction([&] { return audience_->updateAudiences(audiences); }));
    }
    // Rows of a filter table as "audience/filter/name".
    std::vector<std::string> rows(const std::string& table, const std::string& nameColumn) {
        std::vector<std::string> out;
        const auto all = database_->sqliteStore().recordsForQuery(
            "SELECT * FROM " + table + " ORDER BY audience_id, filter_id", {});
        for (const auto& row : all.value_or(std::vector<KLVDatabase::Row>{})) {
            out.push_back(std::to_string(row.at("audience_id").asInteger()) + "/" +
                          std::to_string(row.at("filter_id").asInteger()) + "/" +
                          row.at(nameColumn).asString());
        }
        return out;
    }
    // One event of the name with a count of `count` and the parameters.
    bool event(const std::string& name, double timestamp, const KLVParameters& parameters = {},
               KLVAudienceTimestampsCache* cache = nullptr, std::int32_t count = 1) {
        const auto aggregates = *KLVEventAggregates::initWithName(name, count, count, count, 0);
        return audience_->evaluateFiltersForEventName(name, parameters, aggregates, timestamp,
                                                      cache);
    }
    bool property(const std::string& name, KLVValue value, double time,
                  KLVAudienceTimestampsCache* cache = nullptr) {
        return audience_->evaluateFiltersForUserProperty(
            *KLVUserAttribute::initWithOrigin("app", name, std::move(value), time), cache, time);
    }
    DecodedResult current(std::int32_t audienceID) {
        const auto result = database_->filterResultForAudienceID(audienceID);
        return result ? decoded(result->currentResults()) : DecodedResult{};
    }

    std::shared_ptr<KLVAudience> audience_;
};

const KLVValue kYes = KLVValue::initWithString("yes");
const KLVValue kNo = KLVValue::initWithString("no");
KLVPBFilter isYes(const char* param = "p") {
    return filterOf(stringFilter(5, "yes"), param);
}

TEST_F(KLVAudienceTest, StoresValidAudiencesUnderInternalNames) {
    store({audience(1, {eventFilter(0, "session_start", {isYes("session_id"), isYes("mine")})},
                    {propertyFilter(1, "user_id", isYes(""), {.sessionScoped = true})}),
           audience(2, {eventFilter(10, "_e")}),  // refused: filter ID out of range
           audience(3, {eventFilter(4, "custom", {}, std::nullopt, {.dynamic = true})})});
    EXPECT_THAT(rows("event_filters", "event_name"), ElementsAre("1/0/_s", "3/4/custom"));
    EXPECT_THAT(rows("property_filters", "property_name"), ElementsAre("1/1/_id"));
    const auto stored = database_->eventFiltersForEventName("_s");
    ASSERT_TRUE(stored && stored->size() == 1);
    const auto message = *KLVPBEventFilter::initWithBuffer(stored->front().data());
    EXPECT_EQ(NANOGetString(message, KLVPBEventFilter::event_name), "_s");
    const auto parameters = *NANOGetArray<KLVPBFilter>(message, KLVPBEventFilter::filters);
    EXPECT_EQ(NANOGetString(parameters[0], KLVPBFilter::param_name), "_sid");
    EXPECT_EQ(NANOGetString(parameters[1], KLVPBFilter::param_name), "mine");
    EXPECT_TRUE(database_->propertyFiltersForPropertyName("_id")->front().isSessionScoped());

    // Over the audience limit nothing changes; an empty list empties.
    store(std::vector<KLVPBAudience>(101, audience(5, {eventFilter(0, "_e")})));
    EXPECT_EQ(rows("event_filters", "event_name").size(), 2u);
    store({});
    EXPECT_TRUE(rows("event_filters", "event_name").empty());
    EXPECT_TRUE(rows("property_filters", "property_name").empty());
}

TEST_F(KLVAudienceTest, FailingStepWritesNothing) {
    store({audience(1, {eventFilter(0, "_e")})});
    ASSERT_TRUE(database_->sqliteStore().dropTableWithName("property_filters"));
    EXPECT_FALSE(database_->performTransaction(
        [&] { return audience_->updateAudiences({audience(2, {eventFilter(0, "_f")})}); }));
    EXPECT_EQ(logCount(6011), 1u);
    EXPECT_THAT(rows("event_filters", "event_name"), ElementsAre("1/0/_e"));
}

TEST_F(KLVAudienceTest, BitsBeyondTheFirstWordAndStickiness) {
    useSettings({{"measurement.audience.filter_max_count_per_audience", "100"}});
    store({audience(1, {eventFilter(70, "_e", {isYes()}),
                        eventFilter(3, "_e", {isYes()}, std::nullopt, {.dynamic = true})})});
    ASSERT_TRUE(event("_e", 100, {{"p", kNo}}));
    EXPECT_EQ(current(1).status, (std::vector<std::int64_t>{8, 1 << 6}));
    EXPECT_EQ(current(1).results, (std::vector<std::int64_t>{0, 0}));
    ASSERT_TRUE(event("_e", 101, {{"p", kYes}}));
    EXPECT_EQ(current(1).results, (std::vector<std::int64_t>{8, 1 << 6}));
    EXPECT_THAT(current(1).dynamic, ElementsAre(Pair(3, 101)));
    // Once true, an event filter stays true; the plain one is not evaluated again.
    clearLogLines();
    ASSERT_TRUE(event("_e", 102, {}));
    EXPECT_EQ(logCount(7009), 1u);  // only the dynamic filter looked for the parameter
    ASSERT_TRUE(event("_e", 103, {{"p", kNo}}));
    EXPECT_EQ(current(1).results, (std::vector<std::int64_t>{8, 1 << 6}));
    EXPECT_THAT(current(1).dynamic, ElementsAre(Pair(3, 101)));
}

TEST_F(KLVAudienceTest, PropertyFiltersTurnFalseOnlyWhenDynamicAndNotSessionScoped) {
    store({audience(1, {},
                    {propertyFilter(0, "_p", isYes(""), {.dynamic = true}),
                     propertyFilter(1, "_p", isYes(""), {.sessionScoped = true}),
                     propertyFilter(2, "_p", isYes(""))})});
    ASSERT_TRUE(property("_p", kYes, 50));
    EXPECT_EQ(current(1).results, (std::vector<std::int64_t>{7}));
    ASSERT_TRUE(property("_p", kNo, 60));
    EXPECT_EQ(current(1).status, (std::vector<std::int64_t>{7}));
    EXPECT_EQ(current(1).results, (std::vector<std::int64_t>{6}));
    EXPECT_THAT(current(1).dynamic, ElementsAre(Pair(0, 50), Pair(1, 50)));
}

TEST_F(KLVAudienceTest, SequenceAndDynamicTimes) {
    store({audience(1, {eventFilter(0, "_e", {}, std::nullopt, {.sequence = true}),
                        eventFilter(1, "_e", {}, std::nullopt, {.dynamic = true})})});
    KLVAudienceTimestampsCache cache;
    for (const double time : {100.2, 100.9, 101.0, 99.5})
        ASSERT_TRUE(event("_e", time, {}, &cache));
    EXPECT_EQ(current(1).sequence, (Timestamps{{0, {99, 100, 101}}}));
    EXPECT_THAT(current(1).dynamic, ElementsAre(Pair(1, 101)));

    // A new run starts from the latest stored sequence time only.
    KLVAudienceTimestampsCache next;
    ASSERT_TRUE(event("_e", 200, {}, &next));
    EXPECT_EQ(current(1).sequence, (Timestamps{{0, {101, 200}}}));
    EXPECT_THAT(current(1).dynamic, ElementsAre(Pair(1, 200)));
}

TEST_F(KLVAudienceTest, TimestampsCache) {
    KLVSequenceTimestampsCache sequence(1);
    sequence.setUserPropertyTimestamp(20, 3);
    sequence.setUserPropertyTimestamp(10, 3);
    EXPECT_EQ(sequence.sequenceTimestampsForFilterID(3), (std::vector<double>{10}));
    EXPECT_EQ(sequence.sequenceTimestampsForFilterID(4), std::nullopt);

    KLVPBResultData stored;
    KLVPBSequenceFilterResultTimestamp entry;
    NANOSetInt32(entry, KLVPBSequenceFilterResultTimestamp::filter_id, 2);
    NANOSetArray(entry, KLVPBSequenceFilterResultTimestamp::eval_timestamps,
                 platform::Array{10, 20, 30});
    NANOSetArray(stored, KLVPBResultData::sequence_filter_timestamps, std::vector{entry});
    KLVAudienceTimestampsCache cache;
    cache.populateCachedTimestamps(KLVFilterResult(1, *stored.protoBuffer(), {}), 1);
    cache.populateCachedTimestamps(std::nullopt, 2);
    cache.populateCachedTimestamps(std::nullopt, 1);  // the first load wins
    const auto times = cache.sequenceTimestampsForAudienceID(1);
    ASSERT_TRUE(times);
    KLVPBResultData back;
    NANOSetArray(back, KLVPBResultData::sequence_filter_timestamps, *times);
    EXPECT_EQ(decoded(back).sequence, (Timestamps{{2, {30}}}));
    EXPECT_TRUE(cache.sequenceTimestampsForAudienceID(2)->empty());
    EXPECT_TRUE(cache.dynamicTimestampsForAudienceID(2).empty());
    EXPECT_EQ(cache.sequenceTimestampsForAudienceID(3), std::nullopt);
}

TEST_F(KLVAudienceTest, TwoBundlesInARow) {
    store({audience(1, {eventFilter(0, "_e", {}, std::nullopt, {.sequence = true})}),
           audience(2, {eventFilter(0, "_f", {isYes()})})});
    KLVAudienceTimestampsCache cache;
    ASSERT_TRUE(event("_e", 10, {}, &cache));
    ASSERT_TRUE(event("_e", 20, {}, &cache));
    // Audience 2 has a result whose status words are all zero: not reported, kept as it is.
    const KLVFilterResult empty =
        KLVAudience::updatedFilterResultWithFilterID(0, 2, std::nullopt, std::nullopt, nullptr);
    ASSERT_TRUE(database_->updateFilterResults({empty}));

    const auto first = audience_->resultsForBundling();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 1u);
    EXPECT_TRUE(NANOGetBool((*first)[0], KLVPBAudienceLeafFilterResult::new_audience));
    EXPECT_FALSE(NANOHasField((*first)[0], KLVPBAudienceLeafFilterResult::previous_data));
    EXPECT_EQ(database_->filterResultForAudienceID(2), empty);

    const auto second = audience_->resultsForBundling();
    ASSERT_TRUE(second && second->size() == 1);
    const auto& leaf = (*second)[0];
    EXPECT_EQ(NANOGetInt32(leaf, KLVPBAudienceLeafFilterResult::audience_id), 1);
    EXPECT_TRUE(NANOHasField(leaf, KLVPBAudienceLeafFilterResult::new_audience));
    EXPECT_FALSE(NANOGetBool(leaf, KLVPBAudienceLeafFilterResult::new_audience));
    EXPECT_FALSE(NANOHasField(leaf, KLVPBAudienceLeafFilterResult::previous_data));
    const auto sent =
        *NANOGetMessage<KLVPBResultData>(leaf, KLVPBAudienceLeafFilterResult::current_data);
    EXPECT_EQ(decoded(sent).sequence, (Timestamps{{0, {20}}}));
    // The previous results are what was reported as current, before the cut.
    EXPECT_EQ(decoded(database_->filterResultForAudienceID(1)->previousResults()).sequence,
              (Timestamps{{0, {10, 20}}}));

    // A change shows the previous data.
    ASSERT_TRUE(event("_e", 30));
    const auto third = audience_->resultsForBundling();
    ASSERT_TRUE(third && third->size() == 1);
    const auto previous =
        NANOGetMessage<KLVPBResultData>((*third)[0], KLVPBAudienceLeafFilterResult::previous_data);
    ASSERT_TRUE(previous);
    // The stored previous results are those reported as current last time, before the cut.
    EXPECT_EQ(decoded(*previous).sequence, (Timestamps{{0, {10, 20}}}));
    EXPECT_EQ(current(1).sequence, (Timestamps{{0, {20, 30}}}));
}

TEST_F(KLVAudienceTest, SessionClearing) {
    useSettings({{"measurement.audience.filter_max_count_per_audience", "100"}});
    store({audience(1, {eventFilter(0, "_e", {}, std::nullopt, {.sessionScoped = true}),
                        eventFilter(65, "_e", {}, std::nullopt, {.dynamic = true})}),
           audience(2, {eventFilter(1, "_e", {}, std::nullopt, {.sessionScoped = true})})});
    ASSERT_TRUE(event("_e", 40));
    EXPECT_THAT(current(1).dynamic, ElementsAre(Pair(0, 40), Pair(65, 40)));
    const Data before = database_->filterResultForAudienceID(1)->currentResults();

    ASSERT_TRUE(audience_->clearEvaluationResultsForSessionScopedFilters());
    EXPECT_EQ(current(1).status, (std::vector<std::int64_t>{0, 2}));
    EXPECT_EQ(current(1).results, (std::vector<std::int64_t>{0, 2}));
    EXPECT_THAT(current(1).dynamic, ElementsAre(Pair(65, 40)));
    EXPECT_EQ(database_->filterResultForAudienceID(1)->previousResults(), before);
    EXPECT_EQ(database_->filterResultForAudienceID(2), std::nullopt);
}

TEST_F(KLVAudienceTest, PruningOverTheLimit) {
    useSettings({{"measurement.audience.filter_result_max_count", "2"}});
    store({audience(1, {eventFilter(0, "_e")}), audience(2, {eventFilter(0, "_e")}),
           audience(3, {eventFilter(0, "_e")})});
    ASSERT_TRUE(event("_e", 1));
    // Over the limit but nothing stale: nothing deleted, and the definitions are stored.
    store({audience(1, {eventFilter(0, "_f")}), audience(2, {eventFilter(0, "_e")})});
    EXPECT_EQ(database_->allFilterResults()->size(), 3u);
    EXPECT_THAT(rows("event_filters", "event_name"), ElementsAre("1/0/_f", "2/0/_e"));
    // Audience 3 was dropped by the previous configuration: now its result is stale.
    store({audience(1, {eventFilter(0, "_f")})});
    EXPECT_THAT(*database_->allAudienceIDs(), ElementsAre(1));
    std::vector<std::int32_t> left;
    const auto results = database_->allFilterResults();
    for (const auto& [id, result] : *results)
        left.push_back(id);
    EXPECT_THAT(left, ElementsAre(1, 2));
}

TEST_F(KLVAudienceTest, UserAttributeMessages) {
    store({audience(1, {},
                    {propertyFilter(0, "_p", filterOf(numberFilter(3, "5")), {.dynamic = true})})});
    KLVPBUserAttribute message;
    NANOSetString(message, KLVPBUserAttribute::name, "_p");
    NANOSetInt64(message, KLVPBUserAttribute::set_timestamp_millis, 7'000);
    EXPECT_TRUE(audience_->evaluateFiltersForNanoUserProperty(message, nullptr, std::nullopt));
    EXPECT_EQ(database_->filterResultForAudienceID(1), std::nullopt);
    NANOSetString(message, KLVPBUserAttribute::string_value, "5.0");
    ASSERT_TRUE(audience_->evaluateFiltersForNanoUserProperty(message, nullptr, std::nullopt));
    EXPECT_THAT(current(1).dynamic, ElementsAre(Pair(0, 7)));
    ASSERT_TRUE(audience_->evaluateFiltersForNanoUserProperty(message, nullptr, 9.5));
    EXPECT_THAT(current(1).dynamic, ElementsAre(Pair(0, 9)));
}

TEST_F(KLVAudienceTest, DatabaseFailuresAnswerFalse) {
    store({audience(1, {eventFilter(0, "_e")}, {propertyFilter(1, "_p", isYes(""))})});
    ASSERT_TRUE(database_->sqliteStore().dropTableWithName("audience_filter_values"));
    EXPECT_FALSE(event("_e", 1));
    EXPECT_EQ(logCount(6001), 1u);
    EXPECT_FALSE(property("_p", kYes, 1));
    EXPECT_EQ(logCount(6005), 1u);
    EXPECT_EQ(audience_->resultsForBundling(), std::nullopt);
    EXPECT_EQ(logCount(6019), 1u);
    EXPECT_FALSE(audience_->clearEvaluationResultsForSessionScopedFilters());
    EXPECT_EQ(logCount(6041), 1u);
    ASSERT_TRUE(database_->sqliteStore().dropTableWithName("event_filters"));
    EXPECT_FALSE(event("_e", 1));
    EXPECT_EQ(logCount(6000), 1u);
}

// The stored results, as raw bytes, by audience.
std::map<std::int32_t, std::pair<Data, Data>> storedResults(KLVDatabase& database) {
    std::map<std::int32_t, std::pair<Data, Data>> out;
    for (const auto& [id, result] :
         database.allFilterResults().value_or(std::map<std::int32_t, KLVFilterResult>{})) {
        out[id] = {result.currentResults(), result.previousResults()};
    }
    return out;
}

TEST_F(KLVAudienceTest, ABundlesKeptStateStoresWhatEvaluatingEachEventAloneStores) {
    store(
        {audience(1, {eventFilter(0, "buy", {isYes()}),
                      eventFilter(1, "buy", {}, std::nullopt, {.dynamic = true})}),
         audience(2,
                  {eventFilter(0, "buy", {isYes()}, std::nullopt, {.sequence = true}),
                   eventFilter(1, "view", {}, numberFilter(2, "2"))},
                  {propertyFilter(2, "level", filterOf(numberFilter(2, "3")), {.dynamic = true})}),
         audience(3, {eventFilter(5, "view", {isYes("q")}, std::nullopt, {.sessionScoped = true})}),
         audience(4, {eventFilter(0, "never")})});
    // A result stored before the bundle: its previous results must survive.
    KLVPBResultData before;
    NANOSetArray(before, KLVPBResultData::status, platform::Array{std::int64_t{1}});
    NANOSetArray(before, KLVPBResultData::results, platform::Array{std::int64_t{0}});
    KLVPBSequenceFilterResultTimestamp times;
    NANOSetInt32(times, KLVPBSequenceFilterResultTimestamp::filter_id, 0);
    NANOSetArray(times, KLVPBSequenceFilterResultTimestamp::eval_timestamps,
                 platform::Array{std::int64_t{40}, std::int64_t{50}});
    NANOSetArray(before, KLVPBResultData::sequence_filter_timestamps, std::vector{times});
    const KLVFilterResult seeded(2, *before.protoBuffer(), Data{9, 9});
    // The bundle's evaluations, in order: events (name, time, parameters, count) and a property.
    const auto run = [&](KLVAudienceTimestampsCache* cache) {
        ASSERT_TRUE(event("buy", 100.2, {{"p", kNo}}, cache));
        ASSERT_TRUE(event("view", 100.5, {{"q", kYes}}, cache, 1));
        ASSERT_TRUE(event("buy", 100.9, {{"p", kYes}}, cache));
        ASSERT_TRUE(event("view", 101.0, {}, cache, 3));        // "q" missing: no result for 3
        ASSERT_TRUE(event("buy", 99.0, {{"p", kYes}}, cache));  // earlier than the last
        ASSERT_TRUE(event("buy", 102.0, {{"p", kYes}}, cache));
        ASSERT_TRUE(property("level", KLVValue::initWithInt64(5), 103.0, cache));
        ASSERT_TRUE(event("other", 104.0, {}, cache));
    };
    const auto seed = [&] {
        ASSERT_TRUE(database_->sqliteStore().deleteRecordsFromTableWithName(
            "audience_filter_values", "1", {}));
        ASSERT_TRUE(database_->updateFilterResults({seeded}));
    };

    seed();
    KLVAudienceTimestampsCache alone;
    run(&alone);
    const auto expected = storedResults(*database_);
    ASSERT_EQ(expected.size(), 3u);

    seed();
    KLVAudienceTimestampsCache bundle;
    bundle.keepBundleState();
    run(&bundle);
    // Nothing is written before the bundle asks.
    EXPECT_EQ(storedResults(*database_).size(), 1u);
    EXPECT_TRUE(audience_->saveBundleResults(bundle));
    EXPECT_EQ(storedResults(*database_), expected);
    // Saved once: a second save writes nothing new.
    EXPECT_TRUE(audience_->saveBundleResults(bundle));
    EXPECT_EQ(storedResults(*database_), expected);

    // Filters are known once per name for the bundle; a bundle without any asks no further.
    EXPECT_EQ(audience_->hasEventFiltersForEventName("buy", bundle), true);
    EXPECT_EQ(audience_->hasEventFiltersForEventName("other", bundle), false);
    store({});
    KLVAudienceTimestampsCache empty;
    empty.keepBundleState();
    EXPECT_EQ(audience_->hasEventFiltersForEventName("buy", empty), false);
    EXPECT_EQ(audience_->hasEventFiltersForEventName("buy", bundle), true);  // kept for its bundle
}

}  // namespace
}  // namespace engine
