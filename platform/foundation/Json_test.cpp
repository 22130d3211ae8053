#include "platform/foundation/Json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/foundation/CocoaError.h"

namespace platform {
namespace {

TEST(JsonTest, RoundTripsEveryKindItHolds) {
    const Object original = Object::dict({
        {"integers", Object::array({0, -1, std::numeric_limits<std::int64_t>::max(),
                                    std::numeric_limits<std::int64_t>::min()})},
        {"doubles", Object::array({0.5, 1.0, -2.5e-300, 1e300})},
        {"bools", Object::array({true, false})},
        {"null", Object()},
        {"text", "caf\u00e9 \U0001F600 \"q\" \\ \n\t\x01"},
        {"empty", Object::dict({{"a", Object(Array{})}, {"b", Object(Dictionary{})}})},
    });
    for (const auto style : {JSONWriting::Compact, JSONWriting::PrettyPrinted}) {
        Error error;
        const auto text = writeJSON(original, style, &error);
        ASSERT_TRUE(text) << error.description;
        const auto back = readJSON(*text, &error);
        ASSERT_TRUE(back) << error.description;
        EXPECT_EQ(*back, original) << *text;
    }
}

TEST(JsonTest, WritesDeterministicText) {
    const Object value =
        Object::dict({{"b", 1}, {"a", Object::array({true, Object(), 1.5, 2.0, "x/y"})}});
    EXPECT_EQ(writeJSON(value), R"({"a":[true,null,1.5,2.0,"x/y"],"b":1})");
    EXPECT_EQ(writeJSON(Object::dict({{"k", 1}}), JSONWriting::PrettyPrinted), "{\n  \"k\": 1\n}");
    EXPECT_EQ(writeJSON(Object("top")), "\"top\"");
}

TEST(JsonTest, NumbersKeepTheirKind) {
    struct {
        const char* text;
        Object expected;
    } const cases[] = {
        {"1", Object(1)},
        {"1.0", Object(1.0)},

        {"-2.5E-3", Object(-0.0025)},
        {"9223372036854775807", Object(std::numeric_limits<std::int64_t>::max())},
        {"-9223372036854775808", Object(std::numeric_limits<std::int64_t>::min())},
        {"9223372036854775808", Object(9223372036854775808.0)},

    };
    for (const auto& c : cases) {
        Error error;
        const auto value = readJSON(c.text, &error);
        ASSERT_TRUE(value) << c.text << ": " << error.description;
        EXPECT_EQ(*value, c.expected) << c.text << " read as " << value->description();
    }
}

TEST(JsonTest, RepeatedKeyKeepsTheLastValue) {
    EXPECT_EQ(readJSON(R"({"a":1,"a":2})"), Object::dict({{"a", 2}}));
}

std::string nestedArrays(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonTest, MalformedTextIsAnError) {
    const std::string cases[] = {
        "",         "{",     "[1,]",        R"({"a" 1})",
        "\"\xff\"", "1e400", "\"\\ud800\"", "nul",
        "[1] x",    "{1:2}", "'a'",         nestedArrays(kMaxJSONDepth + 1),
    };
    for (const auto& text : cases) {
        Error error;
        EXPECT_FALSE(readJSON(text, &error)) << text;
        EXPECT_EQ(error.domain, kCocoaErrorDomain);
        EXPECT_EQ(error.code, kPropertyListReadCorruptError);
        EXPECT_FALSE(error.description.empty());
    }
    EXPECT_TRUE(readJSON(nestedArrays(kMaxJSONDepth)));
}

TEST(JsonTest, RefusesWhatHasNoJSONForm) {
    Object deep = Object(Array{});
    for (std::size_t i = 0; i < kMaxJSONDepth; ++i) {
        deep = Object(Array{std::move(deep)});
    }
    const Object cases[] = {
        Object(Data{1, 2}),
        Object(std::nan("")),
        Object::array({Object("ok"), Object("bad \xff")}),
        Object(Dictionary{{"bad \xff", 1}}),
        deep,
    };
    for (const auto& object : cases) {
        Error error;
        EXPECT_FALSE(writeJSON(object, JSONWriting::Compact, &error)) << object.description();
        EXPECT_EQ(error.code, kPropertyListWriteInvalidError);
    }
}

TEST(JsonTest, RefusesTextThatWouldTakeTooMuchMemory) {
    // A value costs 64 bytes, a dictionary entry 64 more and its key: 2^20 values in all are one
    // too many (the array's own included), and so are 493448 entries of 136 bytes.
    std::string zeros = "[0";
    for (int i = 1; i < (1 << 20); ++i) {
        zeros += ",0";
    }
    zeros += "]";
    std::string entries = "{";
    for (int i = 0; i < 493448; ++i) {
        entries += (i == 0 ? "\"" : ",\"") + std::to_string(10000000 + i) + "\":0";  // 8 digits
    }
    entries += "}";
    for (const std::string* text : {&zeros, &entries}) {
        Error error;
        EXPECT_FALSE(readJSON(*text, &error));
        EXPECT_EQ(error.code, kPropertyListReadCorruptError);
        EXPECT_EQ(error.description,
                  "The JSON text would take more than 67108864 bytes in memory.");
    }
    // One value fewer fits.
    zeros.resize(zeros.size() - 3);
    zeros += "]";
    const auto fits = readJSON(zeros);
    ASSERT_TRUE(fits);
    EXPECT_EQ(fits->count(), (1u << 20) - 1);
}

}  // namespace
}  // namespace platform
