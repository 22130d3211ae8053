#include "engine/script/KLVPRuntimeEntityConverter.h"

#include <gtest/gtest.h>

#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/ScriptTestSupport.h"

namespace engine {
namespace {

using testing::entity;
using testing::runScript;
using testing::ScriptCase;

std::string nested(int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i)
        text += "(f ";
    return text + std::string(static_cast<std::size_t>(levels), ')');
}

TEST(KLVPRuntimeEntityConverterTest, Entities) {
    const std::string deepest = nested(kMaxNestingDepth + 1);
    const std::string tooDeep = nested(kMaxNestingDepth + 2);
    const ScriptCase cases[] = {
        {"{1}", "string", ""},
        {"{2}", "number", "NaN"},
        {"\"a\\xFFb\"", "string",
         "a\xEF\xBF\xBD"
         "b"},
        {"(f)", "statement", "f"},
        {deepest.c_str(), "statement", "f"},
        {tooDeep.c_str(), nullptr, nullptr, kKLVPErrorRuntimeLimit},
        {"{}", nullptr, nullptr, kKLVPErrorEntityType},
        {"{7}", nullptr, nullptr, kKLVPErrorEntityType},
        {"(f 1 2 {7})", nullptr, nullptr, kKLVPErrorEntityType},
        {"{4}", nullptr, nullptr, kKLVPErrorStatementName},
        {"(f (g (h {4 1})))", nullptr, nullptr, kKLVPErrorStatementName},
    };
    for (const auto& c : cases) {
        platform::Error error;
        const KLVPValue value =
            KLVPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity(c.program), &error);
        testing::ScriptRun run{summarizeScriptValue(value), error};
        expectScriptCase(c, run);
    }
}

TEST(KLVPRuntimeEntityConverterTest, StatementsFromTheSameBytesAreEqual) {
    const auto bytes = entity("(f 1 (g \"x\" true) (h))").protoBuffer();
    ASSERT_TRUE(bytes);
    const auto other = entity("(f 1 (g \"y\" true) (h))").protoBuffer();
    auto convert = [](const platform::Data& data) {
        platform::Error error;
        return KLVPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(
            *KLVPBRuntimeEntity::initWithBuffer(data), &error);
    };
    const KLVPValue a = convert(*bytes);
    EXPECT_TRUE(a->isEqualToRuntimeValue(*convert(*bytes)));
    EXPECT_FALSE(a->isEqualToRuntimeValue(*convert(*other)));
    // Opcodes resolve by exact spelling only.
    EXPECT_EQ(KLVPStatementValue(u"15", {}).opcode(), 15);
    EXPECT_EQ(KLVPStatementValue(u"015", {}).opcode(), KLVPStatementValue::kNoOpcode);
    EXPECT_EQ(KLVPStatementValue(u"67", {}).opcode(), KLVPStatementValue::kNoOpcode);
}

TEST(KLVPRuntimeEntityConverterTest, FirstFailureEndsTheFragment) {
    KLVPRuntime runtime;
    const auto run = runScript(runtime, "(let \"x\") (assign \"x\" 1) {7} (assign \"x\" 2)");
    EXPECT_EQ(run.error.code, kKLVPErrorEntityType);
    EXPECT_EQ(runScript(runtime, "(var \"x\")").value.text, "1");
}

TEST(KLVPRuntimeEntityConverterTest, PlatformObjectsToValues) {
    const struct {
        platform::Object object;
        const char* type;
        const char* text;
        platform::Object back;
        std::int64_t error = 0;
    } cases[] = {
        {nullptr, "null", "null", nullptr},
        {true, "boolean", "true", 1.0},
        {std::int64_t{5}, "number", "5", 5.0},
        {"42", "string", "42", 42.0},
        {"a\xFF", "string", "a\xEF\xBF\xBD", "a\xEF\xBF\xBD"},
        {platform::Object::dict({{"b", 1}, {"a", platform::Object::array({true, "x"})}}), "map",
         "[object Object]",
         platform::Object::dict({{"a", platform::Object::array({1.0, "x"})}, {"b", 1.0}})},
        {platform::Object::array({1, nullptr, "y"}), "array", "1,,y",
         platform::Object::array({1.0, "y"})},
        {platform::Data{1, 2}, nullptr, nullptr, nullptr, kKLVPErrorUnsupportedObject},
        {platform::Object::dict({{"a", platform::Object::array({platform::Date{1}})}}), nullptr,
         nullptr, nullptr, kKLVPErrorUnsupportedObject},
    };
    KLVPRuntime runtime;
    for (const auto& c : cases) {
        platform::Error error;
        const KLVPValue value = KLVPRuntimeEntityConverter::runtimeValueFromNSObject(
            c.object, *runtime.globalScope(), &error);
        if (c.error) {
            EXPECT_EQ(error.code, c.error) << c.object.description();
            EXPECT_EQ(value, KLVPUndefined()) << c.object.description();
            continue;
        }
        const ScriptValueSummary summary = summarizeScriptValue(value);
        EXPECT_EQ(summary.type, c.type) << c.object.description();
        EXPECT_EQ(summary.text, c.text) << c.object.description();
        EXPECT_EQ(summary.object, c.back) << c.object.description();
    }
}

TEST(KLVPRuntimeEntityConverterTest, ValuesToPlatformObjects) {
    const struct {
        const char* program;
        platform::Object object;
    } cases[] = {
        {"(undefined)", ""},
        {"(null)", nullptr},
        {"\"42\"", 42.0},
        {"NaN", "NaN"},
        {"(fn \"f\" (array))", "f"},
        {"(object \"a\" (null) \"b\" 1 \"c\" (undefined))",
         platform::Object::dict({{"b", 1.0}, {"c", ""}})},
        {"(array 1 (null) \"x\" (array))", platform::Object::array({1.0, "x", platform::Array{}})},
        // A statement has no number form; a map that holds itself has no platform form.
        {"(stmts (f))", nullptr},
        {"(let \"m\") (assign \"m\" (object)) (set (var \"m\") \"self\" (var \"m\")) (var \"m\")",
         nullptr},
    };
    for (const auto& c : cases) {
        const auto run = runScript(c.program);
        EXPECT_EQ(run.error.domain, "") << c.program;
        EXPECT_EQ(run.value.object, c.object) << c.program;
    }
}

}  // namespace
}  // namespace engine
