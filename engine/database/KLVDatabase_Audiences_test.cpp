#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "engine/database/DatabaseTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/messages/NANOAccessors.h"

namespace engine {
namespace {

using platform::Data;
using platform::Error;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

// An encoded EventFilter (or PropertyFilter) with only the session-scoped flag of the message.
template <typename Message>
Data filterData(std::int32_t sessionScopedIndex, bool sessionScoped) {
    Message message;
    NANOSetBool(message, sessionScopedIndex, sessionScoped);
    NANOSetInt32(message, 0, 1);  // filter_id, so that the data is never empty
    return *message.protoBuffer();
}

class KLVDatabaseAudiencesTest : public testing::DatabaseEventTest {
  protected:
    static KLVEventFilter eventFilter(std::int32_t audience, std::int32_t filter,
                                      bool columnSessionScoped, bool messageSessionScoped,
                                      const std::string& name = "_s") {
        return KLVEventFilter(
            audience, filter, name,
            filterData<KLVPBEventFilter>(KLVPBEventFilter::session_scoped, messageSessionScoped),
            columnSessionScoped, false, false);
    }
    static std::vector<std::pair<std::int32_t, std::int32_t>> keys(
        const std::optional<std::vector<KLVEventFilter>>& filters) {
        std::vector<std::pair<std::int32_t, std::int32_t>> out;
        for (const auto& f : filters.value_or(std::vector<KLVEventFilter>{}))
            out.emplace_back(f.audienceID(), f.filterID());
        return out;
    }
};

TEST_F(KLVDatabaseAudiencesTest, FlagsComeFromTheMessageAndTheColumnFromTheObject) {
    ASSERT_TRUE(database_->updateEventFilters({eventFilter(1, 0, true, false),
                                               eventFilter(1, 1, false, true),
                                               eventFilter(2, 0, false, false, "_e")}));
    const auto filters = database_->eventFiltersForEventName("_s");
    ASSERT_TRUE(filters);
    ASSERT_EQ(filters->size(), 2u);
    EXPECT_FALSE((*filters)[0].isSessionScoped());
    EXPECT_TRUE((*filters)[1].isSessionScoped());
    const KLVPropertyFilter property(
        3, 4, "_ldl", filterData<KLVPBPropertyFilter>(KLVPBPropertyFilter::session_scoped, true),
        true, false, false);
    ASSERT_TRUE(database_->updatePropertyFilters({property}));
    const auto properties = database_->propertyFiltersForPropertyName("_ldl");
    ASSERT_TRUE(properties && properties->size() == 1);
    EXPECT_TRUE(properties->front().isSessionScoped());
    EXPECT_EQ(properties->front().data(), property.data());

    const auto scoped = database_->allSessionScopedFilters();
    ASSERT_TRUE(scoped);
    EXPECT_EQ(*scoped, (std::map<std::int32_t, std::vector<std::int32_t>>{{1, {0}}, {3, {4}}}));
    const auto audiences = database_->allAudienceIDs();
    ASSERT_TRUE(audiences);
    EXPECT_THAT(*audiences, UnorderedElementsAre(1, 2, 3));
}

TEST_F(KLVDatabaseAudiencesTest, UpsertAndDeleteByKey) {
    ASSERT_TRUE(database_->updateEventFilters(
        {eventFilter(1, 1, false, false), eventFilter(1, 2, false, false),
         eventFilter(1, 3, false, false), eventFilter(2, 2, false, false)}));
    ASSERT_TRUE(database_->updateEventFilters({eventFilter(1, 1, false, true)}));
    const auto all = database_->eventFiltersForEventName("_s");
    EXPECT_EQ(keys(all).size(), 4u);
    ASSERT_TRUE(database_->deleteEventFilters(
        {eventFilter(1, 2, false, false), eventFilter(1, 3, false, false)}));
    const auto left = database_->eventFiltersForEventName("_s");
    EXPECT_THAT(keys(left), UnorderedElementsAre(std::make_pair(1, 1), std::make_pair(2, 2)));
    for (const auto& f : *left) {
        // The second write of (1, 1) won.
        EXPECT_EQ(f.isSessionScoped(), f.filterID() == 1) << f.filterID();
    }
    ASSERT_TRUE(database_->deleteAllEventFilters());
    EXPECT_THAT(keys(database_->eventFiltersForEventName("_s")), ElementsAre());
}

TEST_F(KLVDatabaseAudiencesTest, Refusals) {
    const KLVEventFilter noName(1, 1, "", Data{1}, false, false, false);
    const KLVEventFilter noData(1, 1, "_s", Data{}, false, false, false);
    const KLVPropertyFilter noPropertyName(1, 1, "", Data{1}, false, false, false);
    const KLVFilterResult noResults(1, Data{}, Data{1});
    const struct {
        const char* label;
        std::function<bool(Error*)> call;
        std::int64_t code;
        const char* description;
    } cases[] = {
        {"empty name",
         [&](Error* e) { return database_->eventFiltersForEventName("", e).has_value(); }, 1,
         "Received empty event name for getting event filters"},
        {"empty update", [&](Error* e) { return database_->updateEventFilters({}, e); }, 1,
         "Received empty event filters to update"},
        {"no name", [&](Error* e) { return database_->updateEventFilters({noName}, e); }, 3,
         "Received event filter with empty event name for getting dictionary representation"},
        {"no data", [&](Error* e) { return database_->updateEventFilters({noData}, e); }, 3,
         "Received event filter with empty data for getting dictionary representation"},
        {"no property name",
         [&](Error* e) { return database_->updatePropertyFilters({noPropertyName}, e); }, 3,
         "Received property filter with empty property name for getting dictionary "
         "representation"},
        {"empty delete", [&](Error* e) { return database_->deletePropertyFilters({}, e); }, 1,
         "Received empty property filters to delete"},
        {"no results", [&](Error* e) { return database_->updateFilterResults({noResults}, e); }, 3,
         "Received filter result with empty data for getting dictionary representation"},
        {"empty result delete", [&](Error* e) { return database_->deleteFilterResults({}, e); }, 1,
         "Received empty filter results to delete"},
    };
    for (const auto& c : cases) {
        Error error;
        EXPECT_FALSE(c.call(&error)) << c.label;
        EXPECT_EQ(error.code, c.code) << c.label;
        EXPECT_EQ(error.description, c.description) << c.label;
    }
}

TEST_F(KLVDatabaseAudiencesTest, FilterResults) {
    ASSERT_TRUE(database_->updateFilterResults(
        {KLVFilterResult(3, Data{1, 2}, Data{}), KLVFilterResult(5, Data{3}, Data{4})}));
    Error error;
    const auto three = database_->filterResultForAudienceID(3, &error);
    ASSERT_TRUE(three);
    EXPECT_EQ(*three, KLVFilterResult(3, Data{1, 2}, Data{}));
    EXPECT_EQ(database_->filterResultForAudienceID(4, &error), std::nullopt);
    EXPECT_EQ(error.code, 0);
    const auto all = database_->allFilterResults();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 2u);
    EXPECT_EQ(all->at(5).previousResults(), (Data{4}));
    ASSERT_TRUE(database_->deleteFilterResults({all->at(3), all->at(3), all->at(5)}));
    EXPECT_TRUE(database_->allFilterResults()->empty());
}

TEST_F(KLVDatabaseAudiencesTest, ComplexEvents) {
    const auto event = KLVEvent::initWithOrigin("app", true, "level_up", 1000.5, 0,
                                                platform::Dictionary{{"level", 3}});
    ASSERT_TRUE(event);
    Error error;
    EXPECT_EQ(database_->mainEventAndChildCountPairWithEventID(7, &error), std::nullopt);
    EXPECT_EQ(error.code, 0);
    ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(7, 4, *event));
    const auto stored = database_->mainEventAndChildCountPairWithEventID(7);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->first.name(), "level_up");
    EXPECT_EQ(stored->first.parameters().at("level"), KLVValue::initWithInt64(3));
    EXPECT_EQ(stored->second, 4);
    ASSERT_TRUE(database_->deleteComplexEventForAudienceEvaluationWithEventID(7));
    EXPECT_EQ(database_->mainEventAndChildCountPairWithEventID(7), std::nullopt);
}

}  // namespace
}  // namespace engine
