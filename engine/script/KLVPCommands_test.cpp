// The control and variable opcodes, run through KLVPRuntime from programs in the test notation.

#include <gtest/gtest.h>

#include "engine/script/ScriptTestSupport.h"

namespace engine {
namespace {

using testing::runScript;
using testing::ScriptCase;

TEST(KLVPCommandsTest, ControlOpcodes) {
    const ScriptCase cases[] = {
        {R"((break))", "control", "break"},
        {R"((return 5))", "control", "return:5"},
        {R"((break 1))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((return 1 2))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((seq 1 2 "x"))", "string", "x"},
        {R"((seq 1 (break) 2))", nullptr, nullptr, kKLVPErrorArgumentKind},
        {R"((seq 1 (return 2)))", nullptr, nullptr, kKLVPErrorArgumentKind},
        {R"((if 0 1 2))", "number", "2"},
        {R"((if true (stmts 1 (break) 2)))", "control", "break"},
        {R"((if (stmts (f)) (array 3 4)))", "number", "4"},
        {R"((if))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((if true 1 2 3))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((if (break) 1))", nullptr, nullptr, kKLVPErrorNoBooleanForm},
        {R"((cond true 1 2))", "number", "1"},
        {R"((cond true 1))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((run (stmts 1 2)))", "number", "2"},
        {R"((run9 (stmts 1 (continue) 2)))", "control", "continue"},
        {R"((block 1 (return 2) 3))", "control", "return:2"},
        {R"((let "z") (assign "z" 1) (block (let "z") (assign "z" 2)) (var "z"))", "number", "1"},
        {R"((block (let "z")) (var "z"))", "undefined", "undefined"},
        {R"((fn "f" (array "a" "b") 1))", "function", "f"},
        {R"((fn (var "x") (array)))", nullptr, nullptr, kKLVPErrorNoStringForm},
        {R"((def "g" (array) (return 4)) (g))", "number", "4"},
        {R"((def "g" (array) (break)) (g))", "control", "break"},
        {R"((def "g" (array "a" "b") (return (typeof (var "b")))) (g 1))", "string", "undefined"},
        {R"((def "g" (array "a") (return (var "a"))) (g 1 (assign "nope" 2)))", nullptr, nullptr,
         kKLVPErrorUndeclaredAssignment},
        // Unregistered opcodes and unknown names are calls of nothing.
        {R"((nosuch (assign "nope" 1)))", "undefined", "undefined"},
        {R"((let "n") (assign "n" 5) (n))", "undefined", "undefined"},
        {R"((require "internal.platform"))", "function", "internal.platform"},
    };
    testing::expectScriptCases(cases);
}

TEST(KLVPCommandsTest, MethodCalls) {
    const ScriptCase cases[] = {
        {R"((call (object "toString" (fn "" (array) (return "custom"))) "toString" (array)))",
         "string", "custom"},
        {R"((call (object) "toString" (array)))", "string", "[object Object]"},
        {R"((call (object "a" 1) "hasOwnProperty" (array "a")))", "boolean", "true"},
        {R"((let "k") (assign "k" "a") (call (object "a" 1) "hasOwnProperty" (stmts (var "k"))))",
         "boolean", "true"},
        {R"((call (object) "hasOwnProperty" (array "a" "b")))", nullptr, nullptr,
         kKLVPErrorArgumentCount},
        {R"((call (object "a" 1) "a" (array)))", nullptr, nullptr, kKLVPErrorUnknownMethod},
        {R"((call (fn "f" (array)) "toString" (array)))", "string", "f"},
        {R"((call 5 "toString" (array)))", "string", "5"},
        {R"((call (undefined) "toString" (array)))", nullptr, nullptr, kKLVPErrorMethodOnNullish},
        {R"((call (break) "toString" (array)))", nullptr, nullptr, kKLVPErrorNoStringForm},
        // A method stored on an array is called; the array's slots are its arguments.
        {R"((let "a") (assign "a" (array)) (set (var "a") "m" (fn "" (array "x") (return (var "x"))))
            (call (var "a") "m" (array 9)))",
         "number", "9"},
    };
    testing::expectScriptCases(cases);
}

TEST(KLVPCommandsTest, VariableOpcodes) {
    const ScriptCase cases[] = {
        {R"((let "x") (assign "x" 5))", "number", "5"},
        {R"((assign "nope" 1))", nullptr, nullptr, kKLVPErrorUndeclaredAssignment},
        {R"((assign "runtime.counter" 0))", nullptr, nullptr, kKLVPErrorUndeclaredAssignment},
        {R"((var "runtime.counter"))", "undefined", "undefined"},
        {R"((assign 1 2))", nullptr, nullptr, kKLVPErrorArgumentKind},
        {R"((array 1 "a" (null) (undefined) true))", "array", "1,a,,,true"},
        {R"((object "a" 1 "a" 2))", "map", "[object Object]"},
        {R"((object "a"))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((object (break) 1))", nullptr, nullptr, kKLVPErrorNoStringForm},
        {R"((get "abc" "length"))", "number", "3"},
        {"(get \"\xF0\x9F\x98\x80\" \"length\")", "number", "2"},
        {R"((get "abc" 1))", "string", "b"},
        {R"((get17 "abc" "1"))", "string", "b"},
        {R"((get 5 "x"))", "undefined", "undefined"},
        {R"((get (object "1" "one") 1))", "string", "one"},
        {R"((get (object) (break)))", nullptr, nullptr, kKLVPErrorNoStringForm},
        {R"((get (array 1 2) "length"))", "number", "2"},
        {R"((get (array 1 2) 1))", "number", "2"},
        {R"((typeof (null)))", "string", "object"},
        {R"((typeof (var "require")))", "string", "function"},
        {R"((typeof))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((let "x") (assign "x" 5) (let "x") (var "x"))", "undefined", "undefined"},
        {R"((let "a" 1 "b"))", nullptr, nullptr, kKLVPErrorArgumentKind},
        {R"((set (undefined) "a" 1))", nullptr, nullptr, kKLVPErrorWriteToNullish},
        {R"((let "m") (assign "m" (object)) (set (var "m") 1 2) (get (var "m") "1"))", "number",
         "2"},
        {R"((let "f") (assign "f" (fn "f" (array))) (set (var "f") "p" 3) (get (var "f") "p"))",
         "number", "3"},
        {R"((null (assign "nope" 1)))", nullptr, nullptr, kKLVPErrorUndeclaredAssignment},
        {R"((const "c" 1) (assign "c" 2) (var "c"))", "number", "1"},
        {R"((const "c" 1) (const "c" 2) (let "c") (var "c"))", "number", "1"},
    };
    testing::expectScriptCases(cases);
}

// Control opcodes check their counts before they evaluate anything; variable opcodes evaluate
// every argument first. A declared "ran" shows whether an argument ran.
TEST(KLVPCommandsTest, EvaluationOrder) {
    const struct {
        const char* program;
        std::int64_t error;
        const char* ran;
    } cases[] = {
        {R"((break (assign "ran" 1)))", kKLVPErrorArgumentCount, "undefined"},
        {R"((seq (assign "ran" 1) (break) (assign "ran" 2)))", kKLVPErrorArgumentKind, "1"},
        {R"((call (assign "ran" 1) "toString"))", kKLVPErrorArgumentCount, "undefined"},
        {R"((switch (assign "ran" 1) 2))", kKLVPErrorArgumentCount, "undefined"},
        {R"((if (assign "ran" 1) 2 3 4))", kKLVPErrorArgumentCount, "undefined"},
        {R"((get (assign "ran" 1)))", kKLVPErrorArgumentCount, "1"},
        {R"((assign (assign "ran" 1)))", kKLVPErrorArgumentCount, "1"},
        {R"((object "a" (assign "ran" 1) "b"))", kKLVPErrorArgumentCount, "1"},
        {R"((array (assign "ran" 1) (assign "nope" 2) (assign "ran" 3)))",
         kKLVPErrorUndeclaredAssignment, "1"},
        {R"((let "a" 2 (assign "ran" 1)))", kKLVPErrorArgumentKind, "1"},
    };
    for (const auto& c : cases) {
        KLVPRuntime runtime;
        ASSERT_EQ(runScript(runtime, R"((let "ran"))").error.domain, "");
        const auto run = runScript(runtime, c.program);
        EXPECT_EQ(run.error.code, c.error) << c.program;
        EXPECT_EQ(runScript(runtime, R"((var "ran"))").value.text, c.ran) << c.program;
    }
}

// Bodies record themselves in the map "ran"; body 2 and the default end with a chosen value.
TEST(KLVPCommandsTest, SwitchFallsThroughToTheDefault) {
    auto bodies = [](std::string end, std::string endDefault) {
        return R"((stmts (set (var "ran") "b1" 1) (run (stmts (set (var "ran") "b2" 1) )" + end +
               R"()) (set (var "ran") "b3" 1) (run (stmts (set (var "ran") "d" 1) )" + endDefault +
               ")))";
    };
    const auto d = platform::Object::dict({{"d", 1.0}});
    const auto b2 = platform::Object::dict({{"b2", 1.0}});
    const auto d2 = platform::Object::dict({{"b2", 1.0}, {"b3", 1.0}, {"d", 1.0}});
    const struct {
        const char* discriminant;
        const char* cases;
        const char* end;
        const char* endDefault;
        const char* type;
        const char* text;
        platform::Object ran;
    } cases[] = {
        {"2", "(stmts 1 2 3)", "0", "0", "undefined", "undefined", d2},
        {"2", "(stmts 1 2 3)", "(break)", "0", "undefined", "undefined", b2},
        {"2", "(stmts 1 2 3)", "(return 5)", "0", "control", "return:5", b2},
        {"2", "(stmts 1 2 3)", "(continue)", "0", "control", "continue", b2},
        {"9", "(stmts 1 2 3)", "0", "0", "undefined", "undefined", d},
        {"9", "(stmts 1 2 3)", "0", "(break)", "undefined", "undefined", d},
        {"9", "(stmts 1 2 3)", "0", "(return 6)", "control", "return:6", d},
        // Strict: the text "2" matches no number.
        {"\"2\"", "(stmts 1 2 3)", "0", "0", "undefined", "undefined", d},
        // As many cases as bodies: no default.
        {"9", "(stmts 1 2 3 4)", "0", "0", "undefined", "undefined", platform::Dictionary{}},
        // Cases after the match are not evaluated.
        {"1", R"((stmts 1 (set (var "ran") "case2" 1) 3))", "(break)", "0", "undefined",
         "undefined", platform::Object::dict({{"b1", 1.0}, {"b2", 1.0}})},
    };
    for (const auto& c : cases) {
        KLVPRuntime runtime;
        ASSERT_EQ(runScript(runtime, R"((let "ran") (assign "ran" (object)))").error.domain, "");
        const std::string program = std::string("(switch ") + c.discriminant + " " + c.cases + " " +
                                    bodies(c.end, c.endDefault) + ")";
        const auto run = runScript(runtime, program);
        EXPECT_EQ(run.error.domain, "") << program;
        EXPECT_EQ(run.value.type, c.type) << program;
        EXPECT_EQ(run.value.text, c.text) << program;
        EXPECT_EQ(runScript(runtime, R"((var "ran"))").value.object, c.ran) << program;
    }
    EXPECT_EQ(runScript(R"((switch 1 2 (array)))").error.code, kKLVPErrorArgumentCount);
    EXPECT_EQ(runScript(R"((switch 1 (array)))").error.code, kKLVPErrorArgumentCount);
}

TEST(KLVPCommandsTest, ArrayHolesAndLength) {
    const ScriptCase cases[] = {
        {R"((set (var "a") 3 "x") (var "a"))", "array", ",,,x"},
        {R"((set (var "a") 3 "x") (get (var "a") "length"))", "number", "4"},
        {R"((set (var "a") 3 "x") (get (var "a") 1))", "undefined", "undefined"},
        {R"((set (var "a") "length" 2) (var "a"))", "array", ","},
        {R"((set (var "a") "length" "2") (get (var "a") "length"))", "number", "2"},
        {R"((set (var "a") "length" 1.5))", nullptr, nullptr, kKLVPErrorInvalidLength},
        {R"((set (var "a") 0 1) (set (var "a") "length" 0) (var "a"))", "array", ""},
        {R"((set (var "a") -1 "n") (get (var "a") "length"))", "number", "0"},
        {R"((set (var "a") "1.0" "x") (get (var "a") "length"))", "number", "2"},
        {R"((set (var "a") (null) 1) (get (var "a") "null"))", "number", "1"},
    };
    for (const auto& c : cases) {
        KLVPRuntime runtime;
        runScript(runtime, R"((let "a") (assign "a" (array)))");
        testing::expectScriptCase(c, runScript(runtime, c.program));
    }
}

}  // namespace
}  // namespace engine
