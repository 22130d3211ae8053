#include "engine/audiences/KLVAudienceFilters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "engine/audiences/AudienceTestSupport.h"
#include "engine/events/EventTestSupport.h"

namespace engine {
namespace {

using namespace engine::testing;
using platform::Error;

class KLVAudienceFiltersTest : public EventTest {};

KLVPBFilter number(std::int32_t type, std::optional<std::string> value, const char* param = "p") {
    return filterOf(numberFilter(type, value), param);
}
KLVPBFilter text(std::int32_t type, const char* expression, const char* param = "p") {
    return filterOf(stringFilter(type, expression), param);
}

TEST_F(KLVAudienceFiltersTest, ValidationRowsInOrder) {
    KLVPBEventFilter noID = eventFilter(0, "_e");
    NANOClearField(noID, KLVPBEventFilter::filter_id);
    KLVPBPropertyFilter noPropertyID = propertyFilter(1, "_p", text(5, "x", ""));
    NANOClearField(noPropertyID, KLVPBPropertyFilter::filter_id);
    KLVPBFilter both = number(3, "1");
    const auto anyString = stringFilter(5, "x");
    NANOSetMessage(both, KLVPBFilter::string_filter, &anyString);
    KLVPBNumberFilter floatCount = numberFilter(2, "1");
    NANOSetBool(floatCount, KLVPBNumberFilter::match_as_float, true);
    const std::vector<KLVPBFilter> tooManyParameters(26, text(5, "x"));
    const std::vector<KLVPBEventFilter> elevenFilters = [&] {
        std::vector<KLVPBEventFilter> list;
        for (int i = 0; i < 11; ++i)
            list.push_back(eventFilter(i % 10, "_e"));
        return list;
    }();
    const struct {
        KLVPBAudience audience;
        std::int64_t code;
        const char* description;
    } cases[] = {
        {audience(std::nullopt, {eventFilter(0, "_e")}), 9, "Missing audience ID"},
        {audience(-1, {eventFilter(0, "_e")}), 9, "Audience ID is negative"},
        {audience(7, {eventFilter(0, "_e")}), 9, "Duplicate audience ID"},
        {audience(1, {}), 9, "Audience missing filters arrays"},
        {audience(1, elevenFilters), 9, "Audience filter count out of range"},
        {audience(1, {eventFilter(0, "")}), 10, "Event filter missing event name"},
        {audience(1, {noID}), 10, "Missing event filter ID"},
        {audience(1, {eventFilter(10, "_e")}), 10, "Event filter ID is out of range"},
        {audience(1, {eventFilter(-1, "_e")}), 10, "Event filter ID is out of range"},
        {audience(1, {eventFilter(2, "_e"), eventFilter(2, "_f")}), 10,
         "Duplicate event filter ID"},
        {audience(1, {eventFilter(0, "_e", {}, floatCount)}), 10,
         "Event filter has float event count filter"},
        {audience(1, {eventFilter(0, "_e", {}, numberFilter(2, "x"))}), 10,
         "Event filter has invalid event count filter"},
        {audience(1, {eventFilter(0, "_e", tooManyParameters)}), 10,
         "Event filter parameters filters count out of range"},
        {audience(1, {eventFilter(0, "_e", {text(5, "x", "")})}), 10,
         "Event filter missing parameter name"},
        {audience(1, {eventFilter(0, "_e", {both})}), 10,
         "Event filter must have exactly one of number or string filter"},
        {audience(1, {eventFilter(0, "_e", {number(9, "1")})}), 10,
         "Event filter has invalid number filter"},
        {audience(1, {eventFilter(0, "_e", {text(1, "(")})}), 10,
         "Event filter has invalid string filter"},
        {audience(1, {}, {propertyFilter(0, "", text(5, "x", ""))}), 11,
         "Property filter missing property name"},
        {audience(1, {}, {noPropertyID}), 11, "Missing property filter ID"},
        {audience(1, {}, {propertyFilter(10, "_p", text(5, "x", ""))}), 11,
         "Property filter ID is out of range"},
        {audience(1, {eventFilter(3, "_e")}, {propertyFilter(3, "_p", text(5, "x", ""))}), 11,
         "Duplicate property filter ID"},
        {audience(1, {}, {propertyFilter(0, "_p", std::nullopt)}), 11,
         "Property filter has no filter"},
        {audience(1, {}, {propertyFilter(0, "_p", KLVPBFilter{})}), 11,
         "Property filter must have exactly one of number or string filter"},
        {audience(1, {}, {propertyFilter(0, "_p", number(4, std::nullopt, ""))}), 11,
         "Property filter has invalid number filter"},
        {audience(1, {}, {propertyFilter(0, "_p", text(0, "x", ""))}), 11,
         "Property filter has invalid string filter"},
        // The event filters are all checked before any property filter.
        {audience(1, {eventFilter(0, "_e"), eventFilter(0, "_e")},
                  {propertyFilter(0, "", KLVPBFilter{})}),
         10, "Duplicate event filter ID"},
    };
    for (const auto& c : cases) {
        Error error;
        EXPECT_FALSE(
            KLVValidateAudienceDefinition(c.audience, {7}, *KLVRemoteConfig::current(), &error))
            << c.description;
        EXPECT_EQ(error.code, c.code) << c.description;
        EXPECT_EQ(error.description, c.description);
    }
}

TEST_F(KLVAudienceFiltersTest, ValidAtTheLimits) {
    std::vector<KLVPBEventFilter> tenFilters;
    for (int i = 0; i < 10; ++i)
        tenFilters.push_back(eventFilter(9 - i, "_e"));
    const KLVPBAudience valid[] = {
        audience(0, {eventFilter(0, "_e")}),
        audience(1, tenFilters),
        audience(2, {eventFilter(0, "_e", std::vector<KLVPBFilter>(25, text(5, "x")))}),
        audience(3, {eventFilter(0, "_e", {text(7, "anything")})}),
        audience(4, {},
                 {propertyFilter(9, "_p", filterOf(stringFilter(6, std::nullopt, false, {"a"})))}),
    };
    for (const auto& a : valid) {
        Error error;
        EXPECT_TRUE(KLVValidateAudienceDefinition(a, {}, *KLVRemoteConfig::current(), &error))
            << error.description;
    }
}

TEST_F(KLVAudienceFiltersTest, NumberFiltersOnTheirThreePaths) {
    const double tenth = 0.1;
    const struct {
        KLVPBNumberFilter filter;
        KLVValue value;
        std::optional<bool> expected;
    } cases[] = {
        {numberFilter(3, "0.1"), KLVValue::initWithDouble(tenth), true},
        {numberFilter(3, "0.1"), KLVValue::initWithDouble(std::nextafter(tenth, 1.0)), true},
        {numberFilter(3, "0.1"),
         KLVValue::initWithDouble(std::nextafter(std::nextafter(tenth, 1.0), 1.0)), false},
        {numberFilter(3, "0.1"), KLVValue::initWithDouble(std::nextafter(tenth, 0.0)), true},
        {numberFilter(3, "+.1"), KLVValue::initWithDouble(tenth), true},
        {numberFilter(3, "5."), KLVValue::initWithDouble(5), true},
        {numberFilter(1, "2"), KLVValue::initWithDouble(std::nextafter(2.0, 0.0)), true},
        {numberFilter(1, "2"), KLVValue::initWithDouble(2), false},
        {numberFilter(2, "-2"), KLVValue::initWithDouble(std::nextafter(-2.0, 0.0)), true},
        {numberFilter(4, std::nullopt, "1", "3"), KLVValue::initWithDouble(3), true},
        {numberFilter(4, std::nullopt, "1", "3"), KLVValue::initWithDouble(3.0000001), false},
        {numberFilter(4, std::nullopt, "1", "3"), KLVValue::initWithDouble(1), true},
        {numberFilter(3, "1" + std::string(400, '0')), KLVValue::initWithDouble(1), std::nullopt},
        {numberFilter(3, "0.1"), KLVValue::initWithDouble(std::numeric_limits<double>::infinity()),
         std::nullopt},
        // Integers and numeric strings compare exactly as decimals.
        {numberFilter(3, "0.1"), KLVValue::initWithString("0.10"), true},
        {numberFilter(2, "0.1"),
         KLVValue::initWithString("0.1000000000000000000000000000000000001"), true},
        {numberFilter(1, "9223372036854775807"), KLVValue::initWithInt64(9223372036854775806),
         true},
        {numberFilter(3, "9223372036854775807"), KLVValue::initWithInt64(9223372036854775807),
         true},
        {numberFilter(4, std::nullopt, "-3", "-1"), KLVValue::initWithInt64(-1), true},
        {numberFilter(4, std::nullopt, "-3", "-1"), KLVValue::initWithInt64(0), false},
        {numberFilter(2, "2"), KLVValue::initWithInt64(3), true},
        {numberFilter(3, "5"), KLVValue::initWithString("5.0"), true},
        {numberFilter(3, "5"), KLVValue::initWithString("five"), std::nullopt},
        {numberFilter(3, "5"), KLVValue::initWithArray(platform::Array{5}), std::nullopt},
        {numberFilter(0, "5"), KLVValue::initWithInt64(5), std::nullopt},
        {numberFilter(5, "5"), KLVValue::initWithInt64(5), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLVEvaluateFilterValue(filterOf(c.filter), c.value), c.expected)
            << c.value.description() << " "
            << NANOGetString(c.filter, KLVPBNumberFilter::comparison_value).value_or("between");
    }
}

TEST_F(KLVAudienceFiltersTest, StringFiltersWithAndWithoutCase) {
    const platform::Array list = {"x", "Yes"};
    const struct {
        KLVPBStringFilter filter;
        const char* value;
        std::optional<bool> insensitive;
        std::optional<bool> sensitive;
    } cases[] = {
        {stringFilter(1, "^a.c$"), "ABC", true, false},
        {stringFilter(1, "b"), "abc", true, true},
        {stringFilter(2, "ab"), "ABc", true, false},
        {stringFilter(2, "ab"), "a", false, false},
        {stringFilter(3, "ÄBC"), "xäbc", true, false},
        {stringFilter(3, "bc"), "BC", true, false},
        {stringFilter(4, "Σ"), "aςb", true, false},       // simple folding: final sigma is sigma
        {stringFilter(4, "ss"), "straße", false, false},  // no full folding: positions stay put
        {stringFilter(5, "yes"), "YES", true, false},
        {stringFilter(5, "yes"), "yess", false, false},
        {stringFilter(5, ""), "", true, true},
        {stringFilter(6, std::nullopt, false, list), "yes", true, false},
        {stringFilter(6, std::nullopt, false, list), "ye", false, false},
        {stringFilter(7, "yes"), "yes", false, false},
        {stringFilter(0, "yes"), "yes", std::nullopt, std::nullopt},
        {stringFilter(2, std::nullopt), "yes", std::nullopt, std::nullopt},
        {stringFilter(6, std::nullopt), "yes", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        auto sensitive = c.filter;
        NANOSetBool(sensitive, KLVPBStringFilter::case_sensitive, true);
        const auto value = KLVValue::initWithString(c.value);
        EXPECT_EQ(KLVEvaluateFilterValue(filterOf(c.filter), value), c.insensitive) << c.value;
        EXPECT_EQ(KLVEvaluateFilterValue(filterOf(sensitive), value), c.sensitive) << c.value;
    }
}

TEST_F(KLVAudienceFiltersTest, ComplementAndNoResults) {
    const auto five = KLVValue::initWithInt64(5);
    EXPECT_EQ(KLVEvaluateFilterValue(filterOf(numberFilter(3, "5"), "", true), five), false);
    EXPECT_EQ(KLVEvaluateFilterValue(filterOf(stringFilter(5, "5"), "", true), five), std::nullopt);
    EXPECT_EQ(logCount(7003), 1u);
    EXPECT_EQ(KLVEvaluateFilterValue(KLVPBFilter{}, five), std::nullopt);
    EXPECT_EQ(logCount(7000), 1u);
    EXPECT_EQ(KLVEvaluateStringFilter(stringFilter(5, "x"), nullptr), std::nullopt);
    EXPECT_EQ(logCount(9005), 1u);

    const auto aggregates = *KLVEventAggregates::initWithName("_e", 3, 1, 2, 0);
    const KLVParameters parameters = {{"n", KLVValue::initWithString("5")},
                                      {"d", KLVValue::initWithDouble(2.5)}};
    const struct {
        KLVPBEventFilter filter;
        const char* name;
        std::optional<bool> expected;
        std::int64_t code;
    } events[] = {
        {eventFilter(0, "_e"), "_e", true, 0},
        {eventFilter(0, "_e"), "", std::nullopt, 7005},
        {eventFilter(0, "_f"), "_e", std::nullopt, 7006},
        // The aggregates already count this event: the third is above 2.
        {eventFilter(0, "_e", {}, numberFilter(2, "2")), "_e", true, 0},
        {eventFilter(0, "_e", {}, numberFilter(2, "2"), {.sessionScoped = true}), "_e", false, 0},
        {eventFilter(0, "_x", {}, numberFilter(2, "2")), "_x", std::nullopt, 7007},
        {eventFilter(0, "_e", {number(3, "5", "n")}), "_e", std::nullopt, 7010},
        {eventFilter(0, "_e", {number(3, "5", "absent")}), "_e", std::nullopt, 7009},
        {eventFilter(0, "_e", {number(4, std::nullopt, "d")}), "_e", std::nullopt, 0},
        {eventFilter(0, "_e", {filterOf(numberFilter(4, std::nullopt, "2", "3"), "d")}), "_e", true,
         0},
        {eventFilter(0, "_e", {text(5, "5", "n"), number(1, "2", "d")}), "_e", false, 0},
    };
    for (const auto& c : events) {
        clearLogLines();
        EXPECT_EQ(KLVEvaluateEventFilter(c.filter, c.name, parameters, aggregates), c.expected)
            << c.name << " " << c.code;
        if (c.code) {
            EXPECT_EQ(logCount(c.code), 1u) << c.code;
        }
    }

    const auto property =
        *KLVUserAttribute::initWithOrigin("", "_p", KLVValue::initWithString("5"), 1);
    EXPECT_EQ(KLVEvaluatePropertyFilter(propertyFilter(0, "_p", number(3, "5", "")), property),
              true);
    EXPECT_EQ(KLVEvaluatePropertyFilter(propertyFilter(0, "_q", number(3, "5", "")), property),
              std::nullopt);
    EXPECT_EQ(KLVEvaluatePropertyFilter(propertyFilter(0, "_p", std::nullopt), property),
              std::nullopt);
}

TEST_F(KLVAudienceFiltersTest, CatastrophicPatternGivesNoResult) {
    const auto value = KLVValue::initWithString(std::string(5000, 'a') + "!");
    EXPECT_EQ(KLVEvaluateFilterValue(filterOf(stringFilter(1, "(a|aa)+$", true)), value),
              std::nullopt);
    EXPECT_EQ(logCount(9007), 1u);
}

TEST_F(KLVAudienceFiltersTest, UserAttributeMessages) {
    KLVPBUserAttribute message;
    NANOSetString(message, KLVPBUserAttribute::name, "_ldl");
    NANOSetInt64(message, KLVPBUserAttribute::set_timestamp_millis, 1'700'000'000'123);
    EXPECT_FALSE(KLVUserAttributeFromMessage(message));
    NANOSetInt64(message, KLVPBUserAttribute::int_value, 4);
    NANOSetDouble(message, KLVPBUserAttribute::double_value, 2.5);
    auto attribute = KLVUserAttributeFromMessage(message);
    ASSERT_TRUE(attribute);
    EXPECT_EQ(attribute->value(), KLVValue::initWithDouble(2.5));
    EXPECT_EQ(attribute->lastSetTimestamp(), 1'700'000'000.123);
    EXPECT_EQ(attribute->origin(), "");
    NANOSetString(message, KLVPBUserAttribute::string_value, "s");
    EXPECT_EQ(KLVUserAttributeFromMessage(message)->value(), KLVValue::initWithString("s"));
}

}  // namespace
}  // namespace engine
