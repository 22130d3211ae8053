#include "engine/events/KLVDataTypeValidator.h"

#include <functional>
#include <optional>
#include <string>

#include "engine/events/EventTestSupport.h"

namespace engine {
namespace {

using platform::Object;
using ::testing::HasSubstr;
using V = KLVDataTypeValidator;
using Check = std::function<bool(std::int64_t*)>;

class KLVDataTypeValidatorTest : public testing::EventTest {};

std::string letters(std::size_t count) {
    return std::string(count, 'a');
}
// U+1D49C MATHEMATICAL SCRIPT CAPITAL A: a letter outside the basic plane (two UTF-16 units).
std::string scriptLetters(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += "\xF0\x9D\x92\x9C";
    return text;
}
KLVValue text(std::string value) {
    return KLVValue::initWithString(std::move(value));
}

// A name check on `name`, a value check on `value` (nothing: a missing value).
Check named(bool (*check)(std::string_view, std::int64_t*), std::string name) {
    return [=](std::int64_t* code) { return check(name, code); };
}
Check valued(bool (*check)(const KLVValue*, std::int64_t*), std::optional<KLVValue> value) {
    return [=](std::int64_t* code) { return check(value ? &*value : nullptr, code); };
}
// The same for a check that takes the settings: those in force.
Check valued(bool (*check)(const KLVValue*, const KLVRemoteConfig&, std::int64_t*),
             std::optional<KLVValue> value) {
    return [=](std::int64_t* code) {
        return check(value ? &*value : nullptr, *KLVRemoteConfig::current(), code);
    };
}
Check userValue(const char* name, std::size_t length) {
    return [=](std::int64_t* code) {
        const auto value = text(letters(length));
        return V::isValidInternalUserAttributeValue(&value, name, code);
    };
}

struct Case {
    const char* label;
    Check check;
    std::int64_t failureCode;      // 0: valid
    std::int64_t messageCode = 0;  // console line expected, 0 for none
};

class ValidatorCases : public KLVDataTypeValidatorTest {
  protected:
    // Each case with and without a place for the code; the code is written on success too.
    void run(const std::vector<Case>& cases) {
        for (const auto& c : cases) {
            clearLogLines();
            std::int64_t failureCode = 99;
            EXPECT_EQ(c.check(&failureCode), c.failureCode == 0) << c.label;
            EXPECT_EQ(failureCode, c.failureCode) << c.label;
            if (c.messageCode) {
                EXPECT_EQ(logCount(c.messageCode), 1u) << c.label;
            }
            EXPECT_EQ(c.check(nullptr), c.failureCode == 0) << c.label;
        }
    }
};

TEST_F(ValidatorCases, EventNames) {
    const auto publicName = [](std::string name) {
        return named(V::isValidPublicEventName, std::move(name));
    };
    run({
        {"41 letters", publicName(letters(41)), 2, 13000},
        {"41 astral letters", publicName(scriptLetters(41)), 2, 13000},
        {"empty", publicName(""), 1, 13001},
        {"underscore", publicName("_e"), 3, 13003},
        {"hyphen", named(V::isValidInternalEventName, "a-b"), 3, 13002},
        {"combining mark", publicName("cafe\xCC\x81"), 3, 13002},
        {"reserved", publicName("session_start"), 4, 13006},
        {"tarnwell_", publicName("tarnwell_x"), 4, 13007},
        {"PE_ is not reserved", publicName("PE_x"), 0},
    });
}

TEST_F(ValidatorCases, Origins) {
    const auto forwarded = [](std::string origin) {
        return named(V::isValidForwardedEventOrigin, std::move(origin));
    };
    run({
        {"33", named(V::isValidInternalEventOrigin, letters(33)), 2, 13000},
        {"suffix alone", forwarded("+lqx"), 1, 13001},
        {"unsuffixed", forwarded("app"), 6},
        {"bad forwarded name", forwarded("a-b+lqx"), 3, 13002},
    });
    // The empty and unsuffixed origins are refused without a word.
    clearLogLines();
    V::isValidForwardedEventOrigin("");
    V::isValidForwardedEventOrigin("app");
    EXPECT_TRUE(logLines().empty());
}

TEST_F(ValidatorCases, ParameterNamesAndValues) {
    const auto publicValue = [](std::optional<KLVValue> value) {
        return valued(V::isValidPublicEventParameterValue, std::move(value));
    };
    run({
        {"name 41", named(V::isValidPublicEventParameterName, letters(41)), 2, 13000},
        {"reserved prefix", named(V::isValidPublicEventParameterName, "pe_x"), 4, 13008},
        {"internal name", named(V::isValidPublicEventParameterName, "_x"), 3, 13003},
        {"value 501", publicValue(text(letters(501))), 2, 13000},
        {"missing value", publicValue(std::nullopt), 1, 13004},
    });
}

TEST_F(ValidatorCases, ValueLimitsFollowTheSettings) {
    useSettings({{"measurement.upload.max_event_parameter_value_length", "100"}});
    run({
        {"public 100", valued(V::isValidPublicEventParameterValue, text(letters(100))), 0},
        {"public 101", valued(V::isValidPublicEventParameterValue, text(letters(101))), 2, 13000},
        {"internal 256", valued(V::isValidInternalEventParameterValue, text(letters(256))), 0},
        {"internal 257", valued(V::isValidInternalEventParameterValue, text(letters(257))), 2,
         13000},
        {"screen 101",
         [](auto* c) {
             return V::isValidScreenParameterValue(Object(letters(101)),
                                                   *KLVRemoteConfig::current(), c);
         },
         2, 13000},
    });
}

TEST_F(ValidatorCases, UserProperties) {
    run({
        {"name 25", named(V::isValidPublicUserAttributeName, letters(25)), 2, 13000},
        {"reserved name", named(V::isValidPublicUserAttributeName, "first_open_time"), 4, 13009},
        {"value 37", valued(V::isValidPublicUserAttributeValue, text(letters(37))), 2, 13000},
        {"empty value (silent)", valued(V::isValidPublicUserAttributeValue, text("")), 1},
        {"_id 257", userValue("_id", 257), 2, 13000},
    });
    // An empty user-property value is refused without a word.
    clearLogLines();
    const auto empty = text("");
    V::isValidPublicUserAttributeValue(&empty);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(ValidatorCases, NumbersAndCurrencies) {
    const auto currency = [](const char* code) {
        return valued(V::isValidCurrencyCode, text(code));
    };
    run({
        {"string", valued(V::isValidNumericValue, text("abc")), 8, 13011},
        {"nil number", valued(V::isValidNumericValue, std::nullopt), 1, 13004},
        {"non-ASCII letters",
         currency("\xC3\x80"
                  "BC"),
         0},
        {"digit", currency("US1"), 9, 13012},
        // Counted in UTF-16 units: three letters, four units.
        {"astral letter counts as two units",
         currency("\xF0\x9D\x92\x9C"
                  "AB"),
         9, 13012},
    });
}

TEST_F(ValidatorCases, ArrayParameters) {
    const auto array = [](const char* event, const char* name, std::uint64_t count, bool nested) {
        return [=](std::int64_t* c) {
            return V::isValidArrayParamForEvent(event, name, count, nested, c);
        };
    };
    run({
        {"201 items", array("purchase", "items", 201, false), 12, 13013},
        {"not e-commerce", array("level_up", "items", 1, false), 10, 13013},
        {"not items", array("purchase", "products", 1, false), 11, 13013},
        {"nested wins", array("level_up", "x", 900, true), 13, 13013},
        {"item that is a string", [](auto* c) { return V::isValidArrayParamItem(Object("x"), c); },
         14, 13014},
    });
    // A valid item leaves the code as it was.
    std::int64_t failureCode = 99;
    EXPECT_TRUE(V::isValidArrayParamItem(Object::dict({{"item_id", "a"}}), &failureCode));
    EXPECT_EQ(failureCode, 99);
}

TEST_F(KLVDataTypeValidatorTest, MessagesBeginWithTheSubject) {
    V::isValidPublicEventName(letters(41));
    V::isValidInternalUserAttributeName("a b");
    const auto value = text(letters(37));
    V::isValidPublicUserAttributeValue(&value);
    EXPECT_THAT(logLine(13000), HasSubstr(" error "));
    const auto lines = logLines();
    EXPECT_THAT(lines,
                ::testing::Contains(HasSubstr(
                    "Event name is too long. The maximum supported length is 40: " + letters(41))));
    EXPECT_THAT(lines,
                ::testing::Contains(::testing::AllOf(
                    HasSubstr(" warning "),
                    HasSubstr("User property value is too long. The maximum supported length "
                              "is 36"))));
}

}  // namespace
}  // namespace engine
