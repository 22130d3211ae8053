#include "engine/measurement/KLVConditionalUserPropertyController.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "engine/base/EngineTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/measurement/MeasurementTestSupport.h"

namespace engine {
namespace {

using platform::Dictionary;
using ::testing::ElementsAre;

// A real service and database in the test's folder, under a manual clock.
class ConditionalUserPropertyTest : public LiveServiceTest {
  protected:
    void SetUp() override {
        LiveServiceTest::SetUp();
        allowDebugLines();
        startService();
    }
    template <typename F>
    void onDatabase(F f) {
        service_->scheduler()->workerQueue()->sync([&] { f(*service_->database()); });
    }
    KLVEvent event(const std::string& name) {
        return KLVEvent::initWithOrigin("other", false, name, 0, 0, Dictionary{{"k", name}})
            .value();
    }
    KLVConditionalUserProperty property(const std::string& trigger, double timeout, double ttl) {
        KLVConditionalUserProperty p;
        p.setOrigin("jux");
        p.setValue(KLVValue::initWithString("on"));
        p.setTriggerEventName(trigger);
        p.setTriggerTimeout(timeout);
        p.setTimeToLive(ttl);
        return p;
    }
    // Sets the property under `name` with its three events named after it.
    void set(KLVConditionalUserProperty p, const std::string& name) {
        p.setTriggeredEvent(event(name + "_t"));
        p.setTimedOutEvent(event(name + "_o"));
        p.setExpiredEvent(event(name + "_x"));
        controller().setConditionalUserProperty(&p, name);
        drain();
    }
    KLVConditionalUserPropertyController& controller() {
        return *KLVConditionalUserPropertyController::sharedInstance();
    }
    // "origin:name" of the stored events, in order.
    std::vector<std::string> stored() {
        std::vector<std::string> out;
        for (const auto& raw : storedRawEvents(*service_))
            out.push_back(raw.rawEvent().origin() + ":" + raw.rawEvent().name());
        return out;
    }
    std::optional<KLVUserAttribute> userProperty(const std::string& name) {
        std::optional<KLVUserAttribute> attribute;
        onDatabase([&](KLVDatabase& db) { attribute = db.userAttributeWithName(name); });
        return attribute;
    }
    std::optional<KLVConditionalUserProperty> record(const std::string& name) {
        std::optional<KLVConditionalUserProperty> p;
        onDatabase([&](KLVDatabase& db) { p = db.conditionalUserPropertyWithName(name); });
        return p;
    }
};

TEST_F(ConditionalUserPropertyTest, IntervalsOutsideTheirBoundsAreRefused) {
    const struct {
        double timeout, ttl;
        bool stored;
    } cases[] = {
        {0, 1, false},          {0.001, 15552000, true}, {15552000, 0.001, true},
        {15552000.5, 1, false}, {1, 15552000.5, false},
    };
    for (const auto& c : cases) {
        set(property("go", c.timeout, c.ttl), "p");
        EXPECT_EQ(record("p").has_value(), c.stored) << c.timeout << " " << c.ttl;
        onDatabase(
            [](KLVDatabase& db) { EXPECT_TRUE(db.deleteConditionalUserPropertyWithName("p")); });
    }
}

TEST_F(ConditionalUserPropertyTest, WithoutTriggerNameThePropertyIsActiveAtOnce) {
    const double created = clock_->now();
    set(property("", 5, 60), "p");
    const auto attribute = userProperty("p").value();
    EXPECT_EQ(attribute.value(), KLVValue::initWithString("on"));
    EXPECT_EQ(attribute.lastSetTimestamp(), created);
    EXPECT_TRUE(record("p")->isActive());
    EXPECT_THAT(stored(), ElementsAre("jux:p_t"));

    // Set again while in force: the new value reaches the user property, the first trigger
    // time stays.
    clock_.advance(10);
    auto changed = property("", 5, 60);
    changed.setValue(KLVValue::initWithString("off"));
    set(changed, "p");
    EXPECT_EQ(userProperty("p")->value(), KLVValue::initWithString("off"));
    EXPECT_EQ(userProperty("p")->lastSetTimestamp(), created);
    EXPECT_EQ(record("p")->triggeredTimestamp(), created);
    EXPECT_THAT(stored(), ElementsAre("jux:p_t"));
}

TEST_F(ConditionalUserPropertyTest, OneEventWritesTimedOutExpiredItselfThenTriggered) {
    set(property("never", 5, 60), "a");
    set(property("", 5, 5), "b");
    set(property("go", 100, 60), "c");
    ASSERT_THAT(stored(), ElementsAre("jux:b_t"));
    clock_.advance(10);
    log("go");
    EXPECT_THAT(stored(), ElementsAre("jux:b_t", "jux:a_o", "jux:b_x", "app:go", "jux:c_t"));
    EXPECT_FALSE(record("a") || record("b") || userProperty("b"));
    EXPECT_TRUE(record("c")->isActive());
    EXPECT_EQ(record("c")->triggeredTimestamp(), clock_->now());
    EXPECT_EQ(userProperty("c")->value(), KLVValue::initWithString("on"));
    // Past its trigger timeout a property only times out.
    set(property("late", 5, 60), "d");
    clock_.advance(6);
    log("late");
    EXPECT_FALSE(record("d"));
    const auto all = stored();
    ASSERT_GE(all.size(), 2u);
    EXPECT_THAT(std::vector(all.end() - 2, all.end()), ElementsAre("jux:d_o", "app:late"));
}

TEST_F(ConditionalUserPropertyTest, AdImpressionTriggersPropertiesWaitingForItsInternalName) {
    set(property("_ai", 100, 60), "p");
    log("ad_impression");
    EXPECT_TRUE(record("p")->isActive());
    EXPECT_TRUE(userProperty("p"));
}

TEST_F(ConditionalUserPropertyTest, ClearingRemovesRecordAndUserPropertyThenLogsTheClearEvent) {
    controller().clearConditionalUserPropertyWithClearEvent(nullptr, "absent");
    drain();
    EXPECT_EQ(logCount(11018), 1u);
    set(property("", 5, 60), "p");
    const auto clear = event("cleared");
    controller().clearConditionalUserPropertyWithClearEvent(&clear, "p");
    drain();
    EXPECT_FALSE(record("p") || userProperty("p"));
    EXPECT_THAT(stored(), ElementsAre("jux:p_t", "jux:cleared"));
}

TEST_F(ConditionalUserPropertyTest, FailingStepRollsBackTheWholeEvent) {
    set(property("never", 5, 60), "a");
    set(property("", 5, 5), "b");
    clock_.advance(10);
    // The expiry cannot delete the user property: the time-out before it is undone too.
    onDatabase([](KLVDatabase& db) {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(db.sqliteStore().databasePath().c_str(), &raw), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(raw, "DROP TABLE user_attributes", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(raw);
    });
    log("x");
    EXPECT_TRUE(record("a") && record("b"));
    EXPECT_EQ(logCount(10006), 1u);
    EXPECT_EQ(logCount(23050), 1u);
    EXPECT_THAT(stored(), ElementsAre("jux:b_t", "app:x"));
}

TEST_F(ConditionalUserPropertyTest, DisabledServiceStoresAndAnswersNothing) {
    service_->setEnabled(false);
    drain();
    set(property("", 5, 60), "p");
    auto remove = property("", 5, 60);
    remove.setValue(std::nullopt);
    controller().setConditionalUserProperty(&remove, "p");
    drain();
    EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix({}, {}));
    EXPECT_EQ(logCount(11007), 1u);
    EXPECT_EQ(logCount(11015), 1u);
    EXPECT_EQ(logCount(11005), 1u);
    EXPECT_FALSE(record("p"));
}

TEST_F(ConditionalUserPropertyTest, QueriesCheckTheirArgumentKinds) {
    set(property("go", 5, 60), "ab");
    set(property("go", 5, 60), "b");
    EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix(platform::Object(7), {}));
    EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix({}, platform::Object(7)));
    const auto found = controller().conditionalUserPropertiesWithNamePrefix("a", "jux").value();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name(), "ab");
    // On the worker queue the query runs inline instead of waiting for itself.
    service_->scheduler()->workerQueue()->sync([&] {
        EXPECT_EQ(controller().conditionalUserPropertiesWithNamePrefix({}, {})->size(), 2u);
    });
}

}  // namespace
}  // namespace engine
