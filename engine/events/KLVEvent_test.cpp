#include "engine/events/KLVEvent.h"

#include <cmath>
#include <limits>

#include "engine/events/EventTestSupport.h"
#include "engine/events/KLVEventAggregates.h"
#include "engine/messages/NANOAccessors.h"

namespace engine {
namespace {

using platform::Dictionary;
using platform::Object;
using ::testing::HasSubstr;
using testing::plain;

class KLVEventTest : public testing::EventTest {};

KLVEvent event(const Dictionary& parameters = {}, const char* name = "level_up",
               bool isPublic = true) {
    auto made = KLVEvent::initWithOrigin("app", isPublic, name, 10, 0, parameters);
    EXPECT_TRUE(made);
    return made ? *made : *KLVEvent::initWithOrigin("app", false, "_x", 0, 0, Dictionary{});
}

KLVPBEventParam param(const char* name) {
    KLVPBEventParam message;
    NANOSetString(message, KLVPBEventParam::name, name);
    return message;
}

TEST_F(KLVEventTest, CreationChecksOriginAndName) {
    const struct {
        const char* origin;
        bool isPublic;
        const char* name;
        bool created;
    } cases[] = {
        {"jux+lqx", false, "_s", true}, {"+lqx", false, "_s", false},
        {"a-b", false, "_s", false},    {"app", true, "_x", false},
        {"app", false, "_x", true},     {"app", true, "session_start", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            KLVEvent::initWithOrigin(c.origin, c.isPublic, c.name, 1, 0, Dictionary{}).has_value(),
            c.created)
            << c.origin << " " << c.name;
    }
}

TEST_F(KLVEventTest, OriginParameterIsTheEventsOwn) {
    const auto made =
        KLVEvent::initWithOrigin("auto", false, "_s", 5, 0, Dictionary{{"_o", "app"}, {"n", 1}});
    ASSERT_TRUE(made);
    EXPECT_EQ(plain(made->parameters()), Object::dict({{"_o", "auto"}, {"n", 1}}));
    // Public problems are recorded, not fatal.
    EXPECT_EQ(plain(event({{"_x", 1}}).parameters()),
              Object::dict({{"_err", 3}, {"_ev", "_x"}, {"_o", "app"}}));
}

TEST_F(KLVEventTest, ConversionNeedsValueAndCurrency) {
    auto good = event({{"value", 9.5}, {"currency", "EUR"}}, "purchase");
    EXPECT_FALSE(good.isConversion());
    good.setConversion(false);  // not a conversion: nothing changes
    EXPECT_FALSE(good.parameters().contains("_err"));
    good.setConversion(true);
    good.setConversion(false);
    EXPECT_FALSE(good.isConversion());
    EXPECT_EQ(good.parameters().at("_err").int64Value(), 10);
    good.setConversion(true);
    EXPECT_TRUE(good.isConversion());
    EXPECT_FALSE(good.parameters().contains("_err"));

    // An earlier error stays when the conversion is taken away.
    auto earlier = event({{"_y", 1}, {"value", 3}, {"currency", "USD"}}, "purchase");
    earlier.setConversion(true);
    earlier.setConversion(false);
    EXPECT_EQ(earlier.parameters().at("_err").int64Value(), 3);
}

TEST_F(KLVEventTest, FlagsAreInternalParameters) {
    auto flagged = event();
    flagged.setRealtime(true);
    flagged.setDebug(true);
    EXPECT_EQ(flagged.parameters().at("_r").int64Value(), 1);
    // Flags survive the message form.
    const auto rebuilt = KLVEvent::initWithEventProto(flagged.protoEvent());
    ASSERT_TRUE(rebuilt);
    EXPECT_TRUE(rebuilt->isDebug());

    const auto wrongKind =
        KLVEvent::initWithOrigin("app", false, "_s", 1, 0, Dictionary{{"_r", "yes"}});
    EXPECT_FALSE(wrongKind->isRealtime());
    EXPECT_THAT(healthRecord(), HasSubstr("Realtime parameter must be an int64. Event name"));
}

TEST_F(KLVEventTest, DefaultParametersGoUnderTheEventsOwn) {
    auto target = event({{"level", 3}});
    target.applyParameters({{"level", 1}, {"mode", "hard"}, {"_bad", 1}});
    EXPECT_EQ(plain(target.parameters()),
              Object::dict(
                  {{"_err", 3}, {"_ev", "_bad"}, {"_o", "app"}, {"level", 3}, {"mode", "hard"}}));
    const auto before = plain(target.parameters());
    target.applyParameters({{"nested", Object::dict({})}});
    EXPECT_EQ(plain(target.parameters()), before);
}

TEST_F(KLVEventTest, ScreenParametersAreAddedOnce) {
    const struct {
        const char* label;
        Dictionary screen;
        bool added;
    } cases[] = {
        {"empty", {}, false},
        {"_si not a number", {{"_si", "7"}}, false},
        {"empty class", {{"_si", 7}, {"_sc", ""}}, false},
        {"empty name", {{"_si", 7}, {"_sn", ""}}, false},
        {"all three", {{"_si", 7}, {"_sc", "MenuView"}, {"_sn", "Menu"}}, true},
    };
    for (const auto& c : cases) {
        auto target = event();
        EXPECT_EQ(target.addScreenParameters(c.screen), c.added) << c.label;
        EXPECT_EQ(target.parameters().contains("_si"), c.added) << c.label;
    }
    EXPECT_EQ(logCount(16003), 1u);
    EXPECT_EQ(logCount(16004), 1u);

    auto screened = event();
    ASSERT_TRUE(screened.addScreenParameters({{"_si", 7}}));
    EXPECT_FALSE(screened.addScreenParameters({{"_si", 8}, {"_sn", "Other"}}));
    EXPECT_EQ(plain(screened.parameters()), Object::dict({{"_o", "app"}, {"_si", 7}}));
}

TEST_F(KLVEventTest, MessageForm) {
    const Dictionary parameters = {
        {"score", 7},
        {"ratio", 0.5},
        {"items", Object::array({Object::dict({{"item_id", "a"}, {"price", 2.5}})})},
    };
    auto made = KLVEvent::initWithOrigin("app", true, "purchase", 1.0009, 0, parameters);
    ASSERT_TRUE(made);
    const auto message = made->protoEvent();

    KLVPBEvent expected;
    NANOSetString(expected, KLVPBEvent::name, "purchase");
    NANOSetInt64(expected, KLVPBEvent::timestamp_millis, 1000);
    auto origin = param("_o");
    NANOSetString(origin, KLVPBEventParam::string_value, "app");
    auto itemID = param("item_id");
    NANOSetString(itemID, KLVPBEventParam::string_value, "a");
    auto price = param("price");
    NANOSetDouble(price, KLVPBEventParam::double_value, 2.5);
    KLVPBEventParam item;
    NANOSetArray(item, KLVPBEventParam::param_value, std::vector{itemID, price});
    auto items = param("items");
    NANOSetArray(items, KLVPBEventParam::param_value, std::vector{item});
    auto ratio = param("ratio");
    NANOSetDouble(ratio, KLVPBEventParam::double_value, 0.5);
    auto score = param("score");
    NANOSetInt64(score, KLVPBEventParam::int_value, 7);
    NANOSetArray(expected, KLVPBEvent::params, std::vector{origin, items, ratio, score});
    EXPECT_EQ(message, expected);
    EXPECT_FALSE(NANOHasField(message, KLVPBEvent::previous_timestamp_millis));
    EXPECT_FALSE(NANOHasField(message, KLVPBEvent::field_5));
}

TEST_F(KLVEventTest, PreviousTimestampOnlyWhenSet) {
    const struct {
        double previous;
        std::optional<std::int64_t> millis;
    } cases[] = {
        {0, std::nullopt},
        {2.5, 2500},
        {std::numeric_limits<double>::infinity(), std::nullopt},
        {std::nan(""), std::nullopt},
    };
    for (const auto& c : cases) {
        const auto message =
            KLVEvent::initWithOrigin("app", false, "_s", 3, c.previous, Dictionary{})->protoEvent();
        EXPECT_EQ(NANOHasField(message, KLVPBEvent::previous_timestamp_millis),
                  c.millis.has_value())
            << c.previous;
        if (c.millis) {
            EXPECT_EQ(NANOGetInt64(message, KLVPBEvent::previous_timestamp_millis), *c.millis);
        }
    }
    // A time without a millisecond form writes no time at all.
    const auto endless =
        KLVEvent::initWithOrigin("app", false, "_s", std::nan(""), 0, Dictionary{});
    EXPECT_FALSE(NANOHasField(endless->protoEvent(), KLVPBEvent::timestamp_millis));
}

TEST_F(KLVEventTest, RebuiltFromItsMessageWithoutArrays) {
    auto original = event({{"score", 7},
                           {"ratio", 0.5},
                           {"name", "Ada"},
                           {"items", Object::array({Object::dict({{"item_id", "a"}})})}},
                          "purchase");
    original = original.copyWithPreviousTimestamp(4);
    const auto rebuilt = KLVEvent::initWithEventProto(original.protoEvent());
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(rebuilt->previousTimestamp(), 4);
    EXPECT_EQ(plain(rebuilt->parameters()),
              Object::dict({{"_o", "app"}, {"name", "Ada"}, {"ratio", 0.5}, {"score", 7}}));
    EXPECT_THAT(healthRecord(), HasSubstr("Unknown event parameter type from converting an event "
                                          "proto into KLVEvent instance"));

    KLVPBEvent withoutOrigin;
    NANOSetString(withoutOrigin, KLVPBEvent::name, "_s");
    EXPECT_FALSE(KLVEvent::initWithEventProto(withoutOrigin));
    NANOSetArray(withoutOrigin, KLVPBEvent::params, std::vector{KLVPBEventParam()});
    EXPECT_FALSE(KLVEvent::initWithEventProto(withoutOrigin));
    EXPECT_THAT(healthRecord(), HasSubstr("Ignoring parameter. Parameter name is nil"));
}

TEST_F(KLVEventTest, RuleRuntimeForm) {
    auto original = KLVEvent::initWithOrigin("auto", false, "_vs", 3, 0, Dictionary{});
    ASSERT_TRUE(original);
    // Arrays inside items are not kept by sanitising either; build the nested one directly.
    const auto edited = original->copyWithParameters(
        {{"items", KLVValue::initWithArray(platform::Array{
                       Object::dict({{"item_id", "a"}, {"sizes", Object::array({1})}})})},
         {"_si", KLVValue::initWithInt64(7)}});
    const auto form = edited.editEvent();
    EXPECT_EQ(form.name, "screen_view");
    EXPECT_EQ(form.timestamp, 3);
    EXPECT_EQ(Object(form.parameters),
              Object::dict({{"_o", "auto"},
                            {"_si", 7},
                            {"items", Object::array({Object::dict({{"item_id", "a"}})})}}));

    const auto back = KLVEvent::eventFromEditEvent(form);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name(), "_vs");
    EXPECT_EQ(back->origin(), "auto");
    // A non-text origin from the runtime falls back to the app's.
    EXPECT_EQ(
        KLVEvent::eventFromEditEvent(KLVPEvent::initWithName("level_up", 4, {{"_o", 5}}))->origin(),
        "app");
}

TEST_F(KLVEventTest, AggregatesCountAndWrap) {
    EXPECT_FALSE(KLVEventAggregates::initWithName("a-b", 0, 0, 0, 0));
    EXPECT_FALSE(KLVEventAggregates::initWithName("_s", -1, 0, 0, 0));
    EXPECT_THAT(healthRecord(), HasSubstr("Received negative count"));

    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    auto aggregates = KLVEventAggregates::initWithName("_s", kMax, kMax - 1, kMax, 2);
    ASSERT_TRUE(aggregates);
    aggregates->incrementLifetimeCount();
    EXPECT_THAT(healthRecord(), HasSubstr("Lifetime count overflow. Lifetime count reset to 0."));
    aggregates->incrementCurrentBundleCount();
    EXPECT_EQ(healthRecord(), "");
    aggregates->incrementCurrentSessionCount();
    EXPECT_THAT(healthRecord(), HasSubstr("Session count overflow. Session count reset to 0."));
    EXPECT_EQ(aggregates->lifetimeCount(), 0);
    EXPECT_EQ(aggregates->currentBundleCount(), kMax);
    EXPECT_EQ(aggregates->currentSessionCount(), 0);
}

}  // namespace
}  // namespace engine
