#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/database/DatabaseTestSupport.h"

namespace engine {
namespace {

using platform::Error;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

class ConditionalPropertiesTableTest : public testing::DatabaseEventTest {
  protected:
    KLVEvent event(const std::string& name, std::int64_t n) {
        return KLVEvent::initWithOrigin("jux", false, name, 1000, 0, platform::Dictionary{{"n", n}})
            .value();
    }
    // Waiting since `age` seconds with the timeout, unless `active` (then triggered `age` ago).
    KLVConditionalUserProperty property(const std::string& name, double age, double timeout,
                                        const std::string& trigger = "", bool active = false) {
        KLVConditionalUserProperty p;
        p.setName(name);
        p.setOrigin("jux");
        p.setValue(KLVValue::initWithString("v"));
        p.setTriggerEventName(trigger);
        p.setTriggerTimeout(timeout);
        p.setTimeToLive(timeout);
        p.setActive(active);
        p.setCreationTimestamp(clock_->now() - age);
        p.setTriggeredTimestamp(active ? clock_->now() - age : 0);
        return p;
    }
    std::vector<std::string> names(
        const std::optional<std::vector<KLVConditionalUserProperty>>& ps) {
        std::vector<std::string> out;
        for (const auto& p : ps.value())
            out.push_back(p.name());
        return out;
    }
};

TEST_F(ConditionalPropertiesTableTest, RowWithThreeEventsRoundTrips) {
    auto stored = property("p", 0, 60, "purchase");
    stored.setValue(KLVValue::initWithInt64(42));
    stored.setTriggeredEvent(event("t", 1));
    stored.setTimedOutEvent(event("o", 2));
    stored.setExpiredEvent(event("x", 3));
    ASSERT_TRUE(database_->updateConditionalUserProperty(stored));
    const auto back = database_->conditionalUserPropertyWithName("p").value();
    EXPECT_EQ(back.origin(), "jux");
    EXPECT_EQ(back.value(), KLVValue::initWithInt64(42));
    EXPECT_EQ(back.triggerEventName(), "purchase");
    EXPECT_EQ(back.creationTimestamp(), clock_->now());
    EXPECT_EQ(back.triggeredEvent()->name(), "t");
    EXPECT_EQ(back.timedOutEvent()->parameters().at("n"), KLVValue::initWithInt64(2));
    EXPECT_EQ(back.expiredEvent()->name(), "x");

    // Written again without trigger name and events: the upsert leaves them NULL.
    ASSERT_TRUE(database_->updateConditionalUserProperty(property("p", 0, 60)));
    const auto bare = database_->conditionalUserPropertyWithName("p").value();
    EXPECT_EQ(bare.triggerEventName(), "");
    EXPECT_FALSE(bare.triggeredEvent() || bare.timedOutEvent() || bare.expiredEvent());
    Error error;
    EXPECT_FALSE(database_->conditionalUserPropertyWithName("absent", &error));
    EXPECT_EQ(error.code, 0);
}

TEST_F(ConditionalPropertiesTableTest, DueQueriesUseTheCurrentTime) {
    ASSERT_TRUE(database_->updateConditionalUserProperty(property("late", 10, 5)));
    ASSERT_TRUE(database_->updateConditionalUserProperty(property("waiting", 10, 20)));
    ASSERT_TRUE(database_->updateConditionalUserProperty(property("buy", 3, 5, "purchase")));
    ASSERT_TRUE(database_->updateConditionalUserProperty(property("gone", 10, 5, "", true)));
    ASSERT_TRUE(database_->updateConditionalUserProperty(property("live", 3, 5, "", true)));
    EXPECT_THAT(names(database_->timedOutConditionalUserPropertiesWithError()),
                ElementsAre("late"));
    EXPECT_THAT(names(database_->expiredConditionalUserPropertiesWithError()), ElementsAre("gone"));
    EXPECT_THAT(names(database_->triggeredConditionalUserPropertiesWithEventName("purchase")),
                ElementsAre("buy"));
    EXPECT_THAT(names(database_->triggeredConditionalUserPropertiesWithEventName("other")),
                ElementsAre());
}

TEST_F(ConditionalPropertiesTableTest, PrefixAndOriginMatchLiterally) {
    for (const char* name : {"ab_c", "abxc", "Ab_c"})
        ASSERT_TRUE(database_->updateConditionalUserProperty(property(name, 0, 1)));
    auto other = property("ab_z", 0, 1);
    other.setOrigin("j_x");
    ASSERT_TRUE(database_->updateConditionalUserProperty(other));
    EXPECT_THAT(names(database_->conditionalUserPropertiesWithPrefix("", "")),
                UnorderedElementsAre("ab_c", "abxc", "Ab_c", "ab_z"));
    EXPECT_THAT(names(database_->conditionalUserPropertiesWithPrefix("ab_", "jux")),
                ElementsAre("ab_c"));
    EXPECT_THAT(names(database_->conditionalUserPropertiesWithPrefix("", "j_x")),
                ElementsAre("ab_z"));
    EXPECT_THAT(names(database_->conditionalUserPropertiesWithPrefix("a%", "")), ElementsAre());
}

TEST_F(ConditionalPropertiesTableTest, TableHoldsAThousandNames) {
    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 0; i < 1000; ++i) {
            if (!database_->updateConditionalUserProperty(property("p" + std::to_string(i), 0, 1)))
                return false;
        }
        return true;
    }));
    Error error;
    EXPECT_FALSE(database_->updateConditionalUserProperty(property("p1000", 0, 1), &error));
    EXPECT_EQ(error.description, "Failed to insert data type. Table is full");
    EXPECT_TRUE(database_->updateConditionalUserProperty(property("p999", 0, 2)));
}

TEST_F(ConditionalPropertiesTableTest, UnreadableRowIsLeftOutOfAnswers) {
    ASSERT_TRUE(database_->updateConditionalUserProperty(property("good", 10, 5)));
    ASSERT_TRUE(database_->updateConditionalUserProperty(property("bad", 10, 5)));
    ASSERT_TRUE(database_->sqliteStore().updateRecord(
        {{"expired_event", platform::Data{0xff, 0x01}}}, "conditional_properties", "name",
        platform::Object("bad")));
    EXPECT_THAT(names(database_->timedOutConditionalUserPropertiesWithError()),
                ElementsAre("good"));
    EXPECT_EQ(logCount(12059), 1u);
}

}  // namespace
}  // namespace engine
