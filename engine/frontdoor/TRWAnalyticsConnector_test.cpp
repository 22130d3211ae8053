#include "engine/frontdoor/TRWAnalyticsConnector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "engine/database/KLVDatabase.h"
#include "engine/frontdoor/KLVAnalytics.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "engine/frontdoor/TRWConnectorUtils.h"
#include "engine/measurement/KLVConditionalUserPropertyController.h"
#include "engine/measurement/MeasurementTestSupport.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using U = TRWConnectorUtils;

TEST(TRWConnectorUtilsTest, UserPropertyRules) {
    const struct {
        const char* name;
        const char* origin;
        bool allowed;
    } cases[] = {
        {"_ln", "jux", true},       {"_ln", "qorv", true},     {"_ln", "jat", false},
        {"_ltv_USD", "jux", false}, {"_ltv_usd", "jux", true}, {"_ltv_USDX", "jux", true},
        {"_cc1", "jux", false},     {"_cc5", "qorv", false},   {"_cc6", "jux", true},
        {"_cc12", "jux", true},     {"_id", "jux", false},     {"_sno", "jux", false},
        {"", "jux", false},         {"level", "jux", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(U::isUserPropertyAllowed(c.name, c.origin), c.allowed) << c.name << c.origin;
    for (const auto& [name, allowed] : std::vector<std::pair<std::string, bool>>{
             {"_fot", true}, {"_fi", false}, {"_ln", false}, {"level", true}, {"", false}}) {
        EXPECT_EQ(U::isUserPropertyAllowedForQuery(name), allowed) << name;
    }
    EXPECT_TRUE(U::isAppOrigin("app+lqx"));
    EXPECT_FALSE(U::isAppOrigin("apps"));
    EXPECT_FALSE(U::isListenerOriginAllowed("jux"));
    EXPECT_FALSE(U::isEventNameAllowedForListeners("_exp_expire"));
    EXPECT_FALSE(U::shouldLogEventWithName("_iap", {}));
    EXPECT_FALSE(U::shouldLogEventWithName("ev", {{"_dbg", 1}}));
}

// A service that answers the two queries the connector forwards.
class AnsweringMeasurement : public RecordingMeasurement {
  public:
    using RecordingMeasurement::RecordingMeasurement;
    std::int64_t maxUserPropertiesOnWorkerQueueForOrigin(const std::string&) override { return 25; }
    Dictionary userPropertiesOnWorkerQueueIncludingInternal(bool) override {
        return {{"_fot", 1}, {"_id", "me"}, {"level", "3"}};
    }
};

struct RecordingListener : TRWAnalyticsConnector::Listener {
    void messageTriggered(const std::string& name, const Dictionary& parameters) override {
        heard.push_back(name + " " + Object(parameters).description());
    }
    std::vector<std::string> heard;  // main queue only
};

class TRWAnalyticsConnectorTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        service_ = RecordingMeasurement::install<AnsweringMeasurement>();
        KLVAnalytics::startWithAppID("1:1001:ios:abc", "qd", {});
        settle();
        connector_ = std::make_shared<TRWAnalyticsConnector>();
    }
    void TearDown() override {
        connector_.reset();
        settle();
        EngineTest::TearDown();
    }
    void settle() {
        for (int round = 0; round < 3; ++round) {
            KLVAnalytics::waitForQueues();
            service_->drain();
            testkit::drain(TRWAnalyticsConnector::connectorQueue());
            platform::runUntilIdle();
        }
    }
    std::vector<std::string> recorded() {
        std::vector<std::string> out;
        for (const auto& e : service_->events())
            out.push_back(e.origin + " " + e.name + " " + Object(e.parameters).description());
        return out;
    }
    static std::string line(const std::string& origin, const std::string& name, Dictionary p) {
        return origin + " " + name + " " + Object(p).description();
    }

    std::shared_ptr<AnsweringMeasurement> service_;
    std::shared_ptr<TRWAnalyticsConnector> connector_;
};

TEST_F(TRWAnalyticsConnectorTest, LoggingFollowsTheOriginAndNameRules) {
    connector_->logEventWithOrigin("jux", "_cmp", {{"source", "s"}});
    connector_->logEventWithOrigin("jeb", "_cmp", {});
    connector_->logEventWithOrigin("krv", "_cmp", {});
    connector_->logEventWithOrigin("krv", "_ae", {});
    connector_->logEventWithOrigin("jux", "_ae", {});
    for (const char* origin : {"app", "auto", "vu"})
        connector_->logEventWithOrigin(origin, "ev", {});
    connector_->logEventWithOrigin("jux", "_s", {});
    connector_->logEventWithOrigin("jux", "ev", {{"_r", 1}});
    settle();
    EXPECT_THAT(
        recorded(),
        ElementsAre(line("jux", "_cmp", {{"_cis", "jux_integration"}, {"source", "s"}}),
                    line("jeb", "_cmp", {{"_cis", "jeb_integration"}}), line("krv", "_cmp", {}),
                    line("krv", "_ae", {{"_r", 1}}), line("jux", "_ae", {})));
}

TEST_F(TRWAnalyticsConnectorTest, UserPropertiesAndQueries) {
    connector_->setUserPropertyWithOrigin("jux", "_ln", Object("x"));
    connector_->setUserPropertyWithOrigin("jat", "_ln", Object("x"));
    connector_->setUserPropertyWithOrigin("app", "level", Object("x"));
    connector_->setUserPropertyWithOrigin("jat", "level", Object("4"));
    std::optional<Dictionary> properties;
    connector_->getUserPropertiesWithCallback([&](const Dictionary& p) { properties = p; });
    settle();
    EXPECT_THAT(service_->calls(), ElementsAre("set jux _ln=x", "set jat level=4"));
    EXPECT_EQ(properties, (Dictionary{{"_fot", 1}, {"level", "3"}}));

    TRWAnalyticsConnector::setMaxUserPropertiesTimeout(60);
    EXPECT_EQ(connector_->maxUserProperties("jux"), 25);
    std::int64_t onConnectorQueue = -1;
    TRWAnalyticsConnector::connectorQueue().sync(
        [&] { onConnectorQueue = connector_->maxUserProperties("jux"); });
    EXPECT_EQ(onConnectorQueue, 0);
    // The front door never answers an empty origin: the wait runs out.
    TRWAnalyticsConnector::setMaxUserPropertiesTimeout(0.01);
    EXPECT_EQ(connector_->maxUserProperties(""), 0);
    TRWAnalyticsConnector::setMaxUserPropertiesTimeout(10);
}

TEST_F(TRWAnalyticsConnectorTest, ListenersHearTheirOriginAndAppEvents) {
    auto qorv = std::make_shared<RecordingListener>();
    auto krv = std::make_shared<RecordingListener>();
    connector_->registerAnalyticsListener(qorv, "qorv");
    connector_->registerAnalyticsListener(krv, "krv");
    connector_->registerAnalyticsListener(std::make_shared<RecordingListener>(), "jux");
    settle();
    const auto notify = [](const std::string& origin, const std::string& name) {
        KLVParameters parameters{{"d", KLVValue::initWithDouble(1.5)},
                                 {"items", KLVValue::initWithArray(platform::Array{Object("a")})}};
        TRWAnalytics::notifyEventListeners(
            KLVEvent::initWithOrigin(origin, false, name, 0, 0, parameters).value());
    };
    notify("app", "ev");
    notify("qorv", "own");
    notify("jux", "other");
    notify("app", "_ai");
    settle();
    EXPECT_THAT(qorv->heard,
                ElementsAre("ev " + Object(Dictionary{{"_o", "app"}, {"d", 1.5}}).description(),
                            "own " + Object(Dictionary{{"_o", "qorv"}, {"d", 1.5}}).description()));
    EXPECT_EQ(krv->heard.size(), 1u);

    connector_->unregisterAnalyticsListenerWithOrigin("qorv");
    connector_->unregisterAnalyticsListenerWithOrigin("krv");
    settle();
    notify("app", "after");
    settle();
    EXPECT_EQ(qorv->heard.size() + krv->heard.size(), 3u);
}

TEST_F(TRWAnalyticsConnectorTest, ConditionalUserPropertiesFromDictionaries) {
    const Dictionary expired{{"origin", "jux"}, {"name", "gone"}, {"parameters", Dictionary{}}};
    connector_->setConditionalUserProperty({{"name", "promo"},
                                            {"origin", "jux"},
                                            {"value", "gold"},
                                            {"triggerTimeout", 60},
                                            {"timeToLive", 3600},
                                            {"expiredEvent", expired},
                                            {"creationTimestamp", "yesterday"},
                                            {"colour", "red"}});
    connector_->setConditionalUserProperty({{"name", "count"},
                                            {"origin", "jux"},
                                            {"value", 7},
                                            {"triggerTimeout", 60},
                                            {"timeToLive", 3600}});
    connector_->setConditionalUserProperty({});
    settle();
    EXPECT_EQ(logCount(25056), 2u);
    // A value that is not a string is left out of the answer.
    EXPECT_EQ(connector_->conditionalUserProperties("jux", ""),
              (platform::Array{Object::dict({{"name", "promo"}, {"value", "gold"}})}));
    EXPECT_THAT(connector_->conditionalUserProperties("jat", ""), IsEmpty());

    // Cleared by its own name; the clear event carries every parameter given.
    connector_->clearConditionalUserProperty("promo", "jux", "promo_end", {{"a", 1}, {"b", 2}});
    settle();
    EXPECT_THAT(connector_->conditionalUserProperties("jux", ""), IsEmpty());
    std::vector<std::size_t> stored;
    for (const auto& raw : storedRawEvents(*service_)) {
        const auto& parameters = raw.rawEvent().parameters();
        if (raw.rawEvent().name() == "promo_end")
            stored.push_back(parameters.count("a") + parameters.count("b"));
    }
    EXPECT_THAT(stored, ElementsAre(2u));
}

}  // namespace
}  // namespace engine
