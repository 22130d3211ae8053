#include "app/core/Formula.h"

#include <gtest/gtest.h>

#include "app/core/JsonDecoding.h"
#include "app/core/QuroFormulaSymbol.h"

namespace app {
namespace {

const char* kFormula = R"({"category": "Algebra", "subcategory": "Logarithms", "topic": "Rules",
    "type": "identity", "imageName": "log", "searched": "x", "given": ["a", "u"],
    "latex": "\\log_a u", "identifier": "L1", "description": "product", "extra": 7})";

TEST(FormulaTest, ConditionsMayBeMissingNullOrEmpty) {
    auto object = nlohmann::json::parse(kFormula);
    auto formula = Formula::fromJson(object);
    ASSERT_TRUE(formula);
    EXPECT_FALSE(formula->conditions);
    EXPECT_EQ(formula->given, (std::vector<std::string>{"a", "u"}));
    EXPECT_EQ(
        formula->toJson().dump(),
        R"({"category":"Algebra","subcategory":"Logarithms","topic":"Rules","type":"identity",)"
        R"("imageName":"log","searched":"x","given":["a","u"],"latex":"\\log_a u",)"
        R"("identifier":"L1","description":"product"})");

    object["conditions"] = nlohmann::json::array();
    formula = Formula::fromJson(object);
    ASSERT_TRUE(formula->conditions);
    EXPECT_TRUE(formula->conditions->empty());
    EXPECT_NE(formula->toJson().dump().find(R"("identifier":"L1","conditions":[],)"),
              std::string::npos);
}

TEST(FormulaTest, AMissingOrMistypedMemberFailsTheWhole) {
    const char* required[] = {"category", "subcategory", "topic", "type",       "imageName",
                              "searched", "given",       "latex", "identifier", "description"};
    for (const char* member : required) {
        auto object = nlohmann::json::parse(kFormula);
        object.erase(member);
        platform::Error error;
        EXPECT_FALSE(Formula::fromJson(object, &error)) << member;
        EXPECT_EQ(error.domain, kDecodingErrorDomain);
        EXPECT_NE(error.description.find(member), std::string::npos) << error.description;
        object[member] = 5;
        EXPECT_FALSE(Formula::fromJson(object)) << member << " as a number";
    }
    auto object = nlohmann::json::parse(kFormula);
    object["given"] = nlohmann::json::array({"a", 1});
    EXPECT_FALSE(Formula::fromJson(object));
}

TEST(SymbolTest, RulesMissingDiffersFromEmpty) {
    auto object = nlohmann::json::parse(R"({"category": "c", "subcategory": "s", "topic": "t",
        "key": "d", "latex": "d", "name": "distance", "unit": "m"})");
    const auto withoutRules = Symbol::fromJson(object);
    ASSERT_TRUE(withoutRules);
    EXPECT_FALSE(withoutRules->rules);
    object["rules"] = nlohmann::json::object();
    const auto withEmptyRules = Symbol::fromJson(object);
    ASSERT_TRUE(withEmptyRules && withEmptyRules->rules);
    EXPECT_EQ(withEmptyRules->toJson().dump(),
              R"({"category":"c","subcategory":"s","topic":"t","key":"d","latex":"d",)"
              R"("name":"distance","unit":"m","rules":{}})");

    object["rules"] = {{"max", 2.5}, {"min", "low"}};
    EXPECT_FALSE(Symbol::fromJson(object));
}

}  // namespace
}  // namespace app
