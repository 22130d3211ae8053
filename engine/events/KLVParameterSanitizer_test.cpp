#include "engine/events/KLVParameterSanitizer.h"

#include <string>

#include "engine/events/EventTestSupport.h"
#include "platform/foundation/Format.h"

namespace engine {
namespace {

using platform::Array;
using platform::Dictionary;
using platform::Object;
using testing::plain;

class KLVParameterSanitizerTest : public testing::EventTest {};

// "p000" ... with `count` names, each with an integer value.
Dictionary numberedParameters(std::size_t count, const char* prefix = "p") {
    Dictionary parameters;
    for (std::size_t i = 0; i < count; ++i) {
        parameters.emplace(platform::formatString("%@%03d", prefix, i), static_cast<int>(i));
    }
    return parameters;
}

Array items(std::size_t count) {
    Array array;
    for (std::size_t i = 0; i < count; ++i) {
        array.push_back(Object::dict({{"item_id", platform::formatString("i%d", i)}}));
    }
    return array;
}

std::optional<KLVParameters> publicEvent(const Dictionary& parameters,
                                         const char* eventName = "level_up") {
    return sanitizedEventParameters(parameters, eventName, true, false,
                                    *KLVRemoteConfig::current());
}

TEST_F(KLVParameterSanitizerTest, ProblemsAreRecordedNotFatal) {
    const struct {
        const char* label;
        Dictionary input;
        Object expected;
    } cases[] = {
        {"good parameters convert",
         {{"score", 7}, {"name", "Ada"}, {"ok", true}},
         Object::dict({{"name", "Ada"}, {"ok", 1}, {"score", 7}})},
        {"internal name on a public event",
         {{"_x", 1}, {"score", 7}},
         Object::dict({{"_err", 3}, {"_ev", "_x"}, {"score", 7}})},
        {"long name keeps its length",
         {{std::string(45, 'a'), 1}},
         Object::dict({{"_el", 45}, {"_err", 3}, {"_ev", std::string(40, 'a') + "..."}})},
        {"value over the public limit",
         {{"bio", std::string(501, 'a')}, {"score", 7}},
         Object::dict({{"_el", 501}, {"_err", 4}, {"_ev", "bio"}, {"score", 7}})},
        {"first problem wins",
         {{"a_long", std::string(600, 'a')}, {"pe_x", 1}},
         Object::dict({{"_el", 600}, {"_err", 4}, {"_ev", "a_long"}})},
        {"dictionary value is dropped silently",
         {{"nested", Object::dict({{"a", 1}})}, {"score", 7}},
         Object::dict({{"score", 7}})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plain(publicEvent(c.input)), c.expected) << c.label;
    }
    EXPECT_EQ(logCount(18015), 1u);
}

TEST_F(KLVParameterSanitizerTest, EmptyInputGivesNothing) {
    EXPECT_EQ(publicEvent({}), std::nullopt);
    EXPECT_EQ(
        sanitizedEventParameters(KLVParameters{}, "_s", false, false, *KLVRemoteConfig::current()),
        std::nullopt);
}

TEST_F(KLVParameterSanitizerTest, EventRulesDependOnTheEvent) {
    const Dictionary longValue = {{"note", std::string(600, 'a')}};
    // An engine event (internal name, or public name the engine knows) keeps the internal limit.
    EXPECT_EQ(
        plain(sanitizedEventParameters(longValue, "_s", false, false, *KLVRemoteConfig::current())),
        Object::dict({{"_el", 600}, {"_err", 4}, {"_ev", "note"}}));
    // Any other event that is not public passes no value rule.
    EXPECT_EQ(plain(sanitizedEventParameters(longValue, "level_up", false, false,
                                             *KLVRemoteConfig::current())),
              Object(longValue));
    // Internal names are fine on internal events.
    EXPECT_EQ(plain(sanitizedEventParameters({{"_si", 5}}, "_vs", false, false,
                                             *KLVRemoteConfig::current())),
              Object::dict({{"_si", 5}}));
}

TEST_F(KLVParameterSanitizerTest, ValuesThatArriveAsValuesStay) {
    const KLVParameters input = {{"_o", KLVValue::initWithString("app")},
                                 {"items", KLVValue::initWithArray(Array{Object("unchecked")})}};
    EXPECT_EQ(
        plain(sanitizedEventParameters(input, "_s", false, false, *KLVRemoteConfig::current())),
        plain(input));
    const KLVParameters bad = {{"_o", KLVValue::initWithString("app")},
                               {"a-b", KLVValue::initWithInt64(1)}};
    EXPECT_EQ(plain(sanitizedEventParameters(bad, "_s", false, false, *KLVRemoteConfig::current())),
              Object::dict({{"_err", 3}, {"_ev", "a-b"}, {"_o", "app"}}));
}

TEST_F(KLVParameterSanitizerTest, ErrorValueParameterIsCutOnce) {
    // The internal value limit is 500 with the default settings.
    const std::string cut = std::string(500, 'a') + "...";
    EXPECT_EQ(plain(sanitizedEventParameters({{"_ev", cut}}, "_err", false, false,
                                             *KLVRemoteConfig::current())),
              Object::dict({{"_ev", cut}}));
    EXPECT_EQ(plain(sanitizedEventParameters({{"_ev", std::string(504, 'a')}}, "_err", false, false,
                                             *KLVRemoteConfig::current())),
              Object::dict({{"_el", 504}, {"_ev", cut}}));
}

TEST_F(KLVParameterSanitizerTest, PublicParametersAreTrimmedToTheLimit) {
    auto input = numberedParameters(101);
    const auto result = publicEvent(input);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->size(), 101u);  // 100 kept and "_err"
    EXPECT_FALSE(result->contains("p100"));
    EXPECT_EQ(result->at("_err").int64Value(), 5);
    EXPECT_THAT(logLine(18017),
                ::testing::HasSubstr("Event cannot contain more than 100 parameters"));

    // Internal names are neither counted nor removed.
    KLVParameters parameters;
    for (const auto& [name, value] : input)
        parameters.emplace(name, *KLVValue::valueFromObject(value));
    parameters.emplace("_o", KLVValue::initWithString("app"));
    parameters.emplace("zz", KLVValue::initWithInt64(1));
    KLVTrimPublicParameters(parameters, 100, false);
    EXPECT_EQ(parameters.size(), 101u);
    EXPECT_TRUE(parameters.contains("_o"));
    EXPECT_FALSE(parameters.contains("zz"));
    EXPECT_FALSE(parameters.contains("p100"));
}

TEST_F(KLVParameterSanitizerTest, TrimmingSortsAsUTF16) {
    // U+FF41 (fullwidth a) sorts after U+1D41A (mathematical bold a) in UTF-16, before it in
    // code point order; the one sorting last goes.
    Dictionary parameters = {{"\xEF\xBD\x81", 1}, {"\xF0\x9D\x90\x9A", 2}};
    KLVTrimDefaultParameters(parameters, 1);
    EXPECT_EQ(Object(parameters), Object::dict({{"\xF0\x9D\x90\x9A", 2}}));
}

TEST_F(KLVParameterSanitizerTest, ItemsArraysAreCleaned) {
    // 250 items keep the first 200, each cleaned, and record error 17.
    auto result = publicEvent({{"items", Object(items(250))}}, "purchase");
    ASSERT_TRUE(result);
    const auto* kept = result->at("items").arrayValue();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->size(), 200u);
    EXPECT_EQ((*kept)[199], Object::dict({{"item_id", "i199"}}));
    EXPECT_EQ(result->at("_err").int64Value(), 17);
    EXPECT_EQ(*result->at("_ev").stringValue(), "items");

    Array mixed = items(5);
    mixed[3] = Object("not an item");
    mixed[1] = Object::dict({{"item_id", "x"}, {"sizes", Object::array({1, 2})}});
    EXPECT_EQ(plain(publicEvent({{"items", Object(mixed)}}, "purchase")),
              Object::dict(
                  {{"_err", 4},
                   {"_ev", "items[3]"},
                   {"items",
                    Object::array({Object::dict({{"item_id", "i0"}}),
                                   Object::dict({{"_err", 22}, {"_ev", "sizes"}, {"item_id", "x"}}),
                                   Object::dict({{"item_id", "i2"}}),
                                   Object::dict({{"item_id", "i4"}})})}}));

    // Default parameters belong to no event.
    EXPECT_EQ(plain(sanitizedEventParameters({{"items", Object(items(1))}}, std::nullopt, true,
                                             false, *KLVRemoteConfig::current())),
              Object::dict({{"_err", 21}, {"_ev", "(nil)"}}));
    // An empty item stays, so that the indexes of the others do not move.
    EXPECT_EQ(plain(publicEvent({{"items", Object::array({Object(Dictionary{})})}}, "purchase")),
              Object::dict({{"items", Object::array({Object(Dictionary{})})}}));
}

TEST_F(KLVParameterSanitizerTest, ItemsKeepTheirOwnCustomParameterLimit) {
    auto item = numberedParameters(30, "c");
    item.emplace("item_id", "sku");
    const auto cleanItem = [&] {
        const auto result = publicEvent({{"items", Object::array({Object(item)})}}, "purchase");
        return result->at("items").arrayValue()->front().asDictionary();
    };
    const auto limited = cleanItem();
    EXPECT_EQ(limited.size(), 29u);  // 27 custom, "item_id" and "_err"
    EXPECT_EQ(limited.at("_err"), Object(28));
    EXPECT_TRUE(limited.contains("c026"));
    EXPECT_FALSE(limited.contains("c027"));
    EXPECT_EQ(logCount(18016), 1u);

    useSettings({{"measurement.item_scoped_custom_parameter_enabled", "0"}});
    EXPECT_EQ(Object(cleanItem()), Object::dict({{"_err", 23}, {"item_id", "sku"}}));
}

TEST_F(KLVParameterSanitizerTest, ValueNeedsACurrency) {
    const struct {
        const char* label;
        KLVParameters input;
        bool valid;
        Object expected;
    } cases[] = {
        {"bad currency",
         {{"value", KLVValue::initWithInt64(9)}, {"currency", KLVValue::initWithString("EU")}},
         false,
         Object::dict({{"_err", 19}, {"_ev", "currency"}, {"currency", "EU"}})},
        {"value not numeric",
         {{"value", KLVValue::initWithString("abc")}},
         false,
         Object::dict({{"_err", 18}, {"_ev", "value"}})},
        {"earlier error wins",
         {{"value", KLVValue::initWithString("abc")}, {"_err", KLVValue::initWithInt64(3)}},
         false,
         Object::dict({{"_err", 3}})},
    };
    for (auto c : cases) {
        EXPECT_EQ(KLVValidateValueAndCurrency(c.input, *KLVRemoteConfig::current()), c.valid)
            << c.label;
        EXPECT_EQ(plain(c.input), c.expected) << c.label;
    }
    EXPECT_EQ(logCount(18014), 1u);
}

// The limits are those of the settings passed in, not those of the running service (the
// defaults here), so that one event is cleaned under one configuration.
TEST_F(KLVParameterSanitizerTest, LimitsComeFromTheGivenSettings) {
    const auto settings = KLVRemoteConfig::initWithAppID(testing::kTestAppID, storage_, nullptr);
    ASSERT_TRUE(settings);
    ASSERT_TRUE(settings->updateMeasurementConfig(testing::makeConfig(
        testing::kTestAppID, {{"measurement.upload.max_public_event_params", "25"},
                              {"measurement.upload.max_event_parameter_value_length", "100"}})));
    auto parameters = numberedParameters(30);
    parameters.emplace("note", std::string(101, 'a'));
    const auto given = sanitizedEventParameters(parameters, "level_up", true, false, *settings);
    ASSERT_TRUE(given);
    EXPECT_EQ(given->size(), 28u);  // 25 kept, "_err", "_ev" and "_el"
    EXPECT_EQ(given->at("_err").value(), Object(4));
    EXPECT_EQ(given->at("_ev").value(), Object("note"));
    EXPECT_EQ(given->at("_el").value(), Object(101));
    EXPECT_FALSE(given->contains("p025"));
    EXPECT_EQ(publicEvent(parameters)->size(), 31u);
}

}  // namespace
}  // namespace engine
