#include "engine/script/KLVPRuntime.h"

#include <gtest/gtest.h>

#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPEvaluator.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPRuntimeEntityConverter.h"
#include "engine/script/KLVPText.h"
#include "engine/script/ScriptTestSupport.h"
#include "platform/dispatch/SerialQueue.h"

namespace engine {
namespace {

using testing::program;
using testing::runScript;
using testing::ScriptCase;

// Runs a program in the given scope instead of the global one.
KLVPValue runIn(KLVPScope& scope, std::string_view text, platform::Error* error) {
    KLVPValue result = KLVPUndefined();
    for (const auto& entity : program(text)) {
        const KLVPValue statement =
            KLVPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, error);
        result = KLVPEvaluator::evaluateStatement(statement, scope, error);
        if (KLVPFailed(error)) break;
    }
    return result;
}

TEST(KLVPRuntimeTest, Scopes) {
    const ScriptCase cases[] = {
        // A declaration inside a call hides the global only there.
        {R"((let "x") (assign "x" 1) (def "f" (array) (let "x") (assign "x" 2) (return (var "x")))
            (seq (f) (var "x")))",
         "number", "1"},
        // Assigning an undeclared name inside a function creates nothing.
        {R"((def "f" (array) (assign "y" 1)) (f))", nullptr, nullptr,
         kKLVPErrorUndeclaredAssignment},
        // Lookup is lexical: the defining scope, not the caller's.
        {R"((let "v") (assign "v" "global") (def "f" (array) (return (var "v")))
            (def "g" (array) (let "v") (assign "v" "local") (return (f))) (g))",
         "string", "global"},
        // Assignment reaches the binding in an outer scope.
        {R"((let "v") (def "f" (array) (assign "v" "set")) (f) (var "v"))", "string", "set"},
        // A closure keeps its defining call's bindings.
        {R"((def "mk" (array "n") (return (fn "" (array) (return (var "n")))))
            (let "c") (assign "c" (mk 5)) (c))",
         "number", "5"},
        // defineFunction overwrites an outer binding of its name.
        {R"((let "h") (block (def "h" (array) (return 3))) (h))", "number", "3"},
        {R"((const "k" 1) (block (let "k") (assign "k" 2) (var "k")))", "number", "2"},
    };
    testing::expectScriptCases(cases);

    KLVPRuntime runtime;
    runScript(runtime, R"((def "f" (array) (assign "y" 1)) (f))");
    EXPECT_EQ(runScript(runtime, R"((typeof (var "y")))").value.text, "undefined");
}

TEST(KLVPRuntimeTest, FunctionEquality) {
    KLVPRuntime runtime;
    platform::Error error;
    const KLVPValue a = runIn(*runtime.globalScope(), R"((fn "f" (array) 1))", &error);
    const KLVPValue b = runIn(*runtime.globalScope(), R"((fn "f" (array) 2))", &error);
    const KLVPValue c = runIn(*runtime.globalScope(), R"((fn "" (array)))", &error);
    const KLVPValue d = runIn(*runtime.globalScope(), R"((fn "" (array)))", &error);
    EXPECT_TRUE(a->isEqualToRuntimeValue(*b));
    EXPECT_FALSE(c->isEqualToRuntimeValue(*d));
    EXPECT_TRUE(c->isEqualToRuntimeValue(*c));
    const KLVPValue m1 = runIn(*runtime.globalScope(), R"((object "a" (array 1 "x")))", &error);
    const KLVPValue m2 = runIn(*runtime.globalScope(), R"((object "a" (array 1 "x")))", &error);
    const KLVPValue m3 = runIn(*runtime.globalScope(), R"((object "a" (array 1 "y")))", &error);
    EXPECT_TRUE(m1->isEqualToRuntimeValue(*m2));
    EXPECT_FALSE(m1->isEqualToRuntimeValue(*m3));
    EXPECT_FALSE(KLVPStrictEquals(m1, m2, &error));
    EXPECT_FALSE(KLVPStrictEquals(KLVPNumberValue::make(1), KLVPBoolean(true), &error));
    EXPECT_EQ(error.domain, "");
}

TEST(KLVPRuntimeTest, InstructionCount) {
    const struct {
        const char* program;
        std::int64_t instructions;
    } cases[] = {
        {"1", 1},
        {R"((var "x"))", 2},
        {R"((seq 1 2))", 3},
        {R"((let "x") (assign "x" 1))", 5},
        {R"((11 1 2))", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(runScript(c.program).instructions, c.instructions);
}

// g reads a name 1000 times (2001 instructions a call).
std::string countingProgram(int calls) {
    std::string text = "(def \"g\" (array)";
    for (int i = 0; i < 1000; ++i)
        text += " (var \"x\")";
    text += ") (def \"h\" (array)";
    for (int i = 0; i < calls; ++i)
        text += " (g)";
    return text + ")";
}

TEST(KLVPRuntimeTest, InstructionLimitEndsTheRun) {
    KLVPRuntime runtime;
    ASSERT_EQ(runScript(runtime, countingProgram(600)).error.domain, "");
    const auto tooLong = runScript(runtime, "(h)");
    EXPECT_EQ(tooLong.error.code, kKLVPErrorInstructionLimit);
    EXPECT_EQ(tooLong.instructions, kKLVPInstructionLimit);

    // The next run starts again from 0.
    runtime.resetInstructionCount();
    ASSERT_EQ(runScript(runtime, countingProgram(100)).error.domain, "");
    const auto run = runScript(runtime, "(h)");
    EXPECT_EQ(run.error.domain, "");
    EXPECT_LT(run.instructions, kKLVPInstructionLimit / 4);

    // Native bulk work counts too: 2^18 new slots cost 2^14 instructions.
    runtime.resetInstructionCount();
    runScript(runtime, R"((let "a") (assign "a" (array)) (set (var "a") "length" 262144))");
    EXPECT_GE(runtime.getInstructionCount(), 16384);
}

TEST(KLVPRuntimeTest, RuntimeLimits) {
    const std::string half(std::size_t{1} << 19, 'x');
    const std::string longJoin = "(object (array \"" + half + "\" \"" + half + "\") 1)";
    const std::string shortJoin = "(object (array \"" + half + "\" \"" + half.substr(1) + "\") 1)";
    std::string deepBody = R"((def "r" (array))";
    for (int i = 0; i < 90; ++i)
        deepBody += " (seq";
    deepBody += " (r)" + std::string(90, ')') + ") (r)";
    const ScriptCase cases[] = {
        {R"((let "a") (assign "a" (array)) (set (var "a") "length" 262144) (get (var "a") "length"))",
         "number", "262144"},
        {R"((let "a") (assign "a" (array)) (set (var "a") "length" 1048577))", nullptr, nullptr,
         kKLVPErrorRuntimeLimit},
        {R"((let "a") (assign "a" (array)) (set (var "a") 1048576 1))", nullptr, nullptr,
         kKLVPErrorRuntimeLimit},
        {R"((let "a") (assign "a" (array)) (set (var "a") 262143 1) (get (var "a") "length"))",
         "number", "262144"},
        // 2^19 slots are more than a run may make.
        {R"((let "a") (assign "a" (array)) (set (var "a") 524287 1))", nullptr, nullptr,
         kKLVPErrorRuntimeLimit},
        {shortJoin.c_str(), "map", "[object Object]"},
        {longJoin.c_str(), nullptr, nullptr, kKLVPErrorRuntimeLimit},
        {R"((def "r" (array) (r)) (r))", nullptr, nullptr, kKLVPErrorRuntimeLimit},
        {R"((let "o") (assign "o" (object))
            (set (var "o") "m" (fn "" (array) (return (call (var "o") "m" (array (var "o"))))))
            (call (var "o") "m" (array)))",
         nullptr, nullptr, kKLVPErrorRuntimeLimit},
        {deepBody.c_str(), nullptr, nullptr, kKLVPErrorRuntimeLimit},
    };
    // On a queue's worker thread, whose stack is what a run has in the engine.
    platform::SerialQueue queue("KLVPRuntimeTest");
    queue.sync([&] { testing::expectScriptCases(cases); });

    KLVPRuntime runtime;
    platform::Error error;
    const platform::Object longText(std::string(kKLVPMaxTextLength + 1, 'y'));
    KLVPRuntimeEntityConverter::runtimeValueFromNSObject(longText, *runtime.globalScope(), &error);
    EXPECT_EQ(error.code, kKLVPErrorRuntimeLimit);
}

TEST(KLVPRuntimeTest, CollectorSweepsWhatNoRootReaches) {
    KLVPRuntime runtime;
    std::weak_ptr<KLVPRuntimeValue> swept;
    {
        platform::Error error;
        const auto runScope = runtime.getRunScope();
        swept =
            runIn(*runScope,
                  R"((let "m") (assign "m" (object)) (set (var "m") "self" (var "m")) (var "m"))",
                  &error);
        ASSERT_EQ(error.domain, "");
    }
    ASSERT_FALSE(swept.expired());  // the map holds itself

    // A global function, a map that only a closure's enclosing call binds, and a module that
    // only require's cache holds.
    runtime.setModuleCreator(KLVPRuntimeModuleCreator([&runtime] {
                                 auto map =
                                     KLVPObjectManager::mapValueWithScope(*runtime.globalScope());
                                 map->setValue(KLVPNumberValue::make(3), u"x");
                                 return map;
                             }),
                             "test.map");
    ASSERT_EQ(runScript(runtime, R"((def "keep" (array) (return 1))
        (def "mk" (array) (let "m") (assign "m" (object "v" 7))
             (block (return (fn "" (array) (return (get (var "m") "v"))))))
        (let "c") (assign "c" (mk))
        (get (require "test.map") "x"))")
                  .value.text,
              "3");

    runtime.collectGarbage();
    EXPECT_TRUE(swept.expired());
    EXPECT_EQ(runScript(runtime, "(keep)").value.text, "1");
    EXPECT_EQ(runScript(runtime, "(c)").value.text, "7");
    EXPECT_EQ(runScript(runtime, R"((get (require "test.map") "x"))").value.text, "3");
    runtime.collectGarbage();
    EXPECT_EQ(runScript(runtime, "(c)").value.text, "7");
}

TEST(KLVPRuntimeTest, LongChainsAreReleasedWithoutRecursion) {
    std::weak_ptr<KLVPRuntimeValue> head;
    {
        KLVPRuntime runtime;
        platform::Error error;
        KLVPValue chain = KLVPNull();
        for (int i = 0; i < 200000; ++i) {
            auto map = KLVPObjectManager::mapValueWithScope(*runtime.globalScope());
            map->setValue(std::move(chain), u"next");
            chain = std::move(map);
        }
        head = chain;
        runtime.globalScope()->addValue(std::move(chain), u"chain");
        runtime.collectGarbage();
        EXPECT_FALSE(head.expired());
    }
    EXPECT_TRUE(head.expired());
}

}  // namespace
}  // namespace engine
