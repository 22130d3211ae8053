// The operator and loop opcodes, run from programs in the test notation.

#include <gtest/gtest.h>

#include "engine/script/ScriptTestSupport.h"

namespace engine {
namespace {

using testing::ScriptCase;

constexpr auto kUndeclared = kKLVPErrorUndeclaredAssignment;

TEST(KLVPOperatorsTest, Comparison) {
    const ScriptCase cases[] = {
        {R"((eq (undefined) (null)))", "boolean", "true"},
        {R"((eq false "0"))", "boolean", "true"},
        {R"((eq (object) (object)))", "boolean", "false"},
        {R"((eq 12 (array 12)))", "boolean", "true"},
        {R"((eq "1,2" (array 1 2)))", "boolean", "true"},
        {R"((eq NaN NaN))", "boolean", "false"},
        {R"((let "a") (assign "a" (array)) (seq= (var "a") (var "a")))", "boolean", "true"},
        {R"((seq= (array) (array)))", "boolean", "false"},
        {R"((sne 1 "1"))", "boolean", "true"},
        {R"((lt NaN 1))", "boolean", "false"},
        {R"((lt "10" "9"))", "boolean", "true"},
        {R"((lt 10 "9"))", "boolean", "false"},
        {R"((gt (array 2) (array 10)))", "boolean", "true"},
        {R"((lt 1 2 (assign "nope" 1)))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((eq 1))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((eq (assign "nope" 1) 1))", nullptr, nullptr, kUndeclared},
        {R"((eq (break) 1))", nullptr, nullptr, kKLVPErrorNoNumberForm},
    };
    testing::expectScriptCases(cases);
}

TEST(KLVPOperatorsTest, Logical) {
    const ScriptCase cases[] = {
        {R"((and 0 (assign "nope" 1)))", "number", "0"},
        {R"((and 1 "x"))", "string", "x"},
        {R"((and "a" (assign "nope" 1)))", nullptr, nullptr, kUndeclared},
        {R"((or "x" (assign "nope" 1)))", "string", "x"},
        {R"((not 1 (assign "nope" 1)))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((or (break) 1))", nullptr, nullptr, kKLVPErrorNoBooleanForm},
    };
    testing::expectScriptCases(cases);
}

TEST(KLVPOperatorsTest, Arithmetic) {
    const ScriptCase cases[] = {
        {R"((add 1 "2"))", "string", "12"},
        {R"((add true 1))", "number", "2"},
        {R"((add (undefined) 1))", "number", "NaN"},
        {R"((add (array 1 2) 3))", "string", "1,23"},
        {R"((add 0.1 0.2))", "number", "0.30000000000000004"},
        {R"((sub 5 "2"))", "number", "3"},
        {R"((div 1 0))", "number", "Infinity"},
        {R"((mod -7 2))", "number", "-1"},
        {R"((mod 5 Infinity))", "number", "5"},
        {R"((35 (array 1)))", "array", "1"},
        {R"((let "v") (assign "v" 1) (first (var "v") (assign "v" 2)))", "number", "1"},
        {R"((let "v") (assign "v" 1) (33 (var "v") (assign "v" 2)) (var "v"))", "number", "2"},
        {R"((sub 1 2 (assign "nope" 1)))", nullptr, nullptr, kUndeclared},
        {R"((add (break) 1))", nullptr, nullptr, kKLVPErrorNoNumberForm},
        {R"((add (break) "x"))", nullptr, nullptr, kKLVPErrorNoStringForm},
    };
    testing::expectScriptCases(cases);
}

TEST(KLVPOperatorsTest, Bitwise) {
    const ScriptCase cases[] = {
        {R"((ushr -1 0))", "number", "4294967295"},
        {R"((shr -8 1))", "number", "-4"},
        {R"((shl 1 33))", "number", "2"},
        {R"((band 4294967301 7))", "number", "5"},
        {R"((bnot NaN))", "number", "-1"},
        {R"((ushr -8 -31))", "number", "2147483644"},
        {R"((bnot 1 2))", nullptr, nullptr, kKLVPErrorArgumentCount},
    };
    testing::expectScriptCases(cases);
}

TEST(KLVPLoopsTest, Loops) {
    const ScriptCase cases[] = {
        // while: condition, update, run-first flag, body.
        {R"((let "i" "s") (assign "i" 0) (assign "s" 0)
            (while (lt (var "i") 5) (assign "i" (add (var "i") 1))
                   false (stmts (assign "s" (add (var "s") (var "i")))))
            (var "s"))",
         "number", "10"},
        {R"((let "n") (assign "n" 0)
            (while false (assign "n" 100) true (stmts (assign "n" (add (var "n") 1))))
            (var "n"))",
         "number", "1"},
        {R"((let "i") (assign "i" 0)
            (while true (assign "i" (add (var "i") 1)) false
                   (stmts (if (eq (var "i") 3) (stmts (break)))))
            (var "i"))",
         "number", "3"},
        {R"((while true 0 false (stmts (return 7))))", "control", "return:7"},
        {R"((while true 0 false 5))", nullptr, nullptr, kKLVPErrorArgumentKind},
        {R"((while true 0 false))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((while true 0 false (stmts)))", nullptr, nullptr, kKLVPErrorInstructionLimit},
        // forLet: closures keep their iteration's copy.
        {R"((let "i" "fs" "g" "r") (assign "i" 0) (assign "fs" (array)) (assign "r" "")
            (for (array "i") (lt (var "i") 3) (assign "i" (add (var "i") 1))
                 (stmts (set (var "fs") (var "i") (fn "" (array) (return (var "i"))))))
            (forof "h" (var "fs") (stmts (assign "g" (var "h")) (assign "r" (add (var "r") (g)))))
            (add (var "r") (var "i")))",
         "string", "0120"},
        {R"((let "i" "s") (assign "i" 0) (assign "s" "")
            (for (array "i") (lt (var "i") 4) (assign "i" (add (var "i") 1))
                 (stmts (if (eq (var "i") 1) (stmts (continue)))
                        (if (eq (var "i") 3) (stmts (break)))
                        (assign "s" (add (var "s") (var "i")))))
            (var "s"))",
         "string", "02"},
        {R"((for (array "i") false 0 (stmts (return 1))))", "undefined", "undefined"},
        {R"((def "g" (array) (for (array "j") true 0 (stmts (return 9)))) (g))", "number", "9"},
        {R"((for (array (break)) true 0 (stmts)))", nullptr, nullptr, kKLVPErrorNoStringForm},
        // Key walks: named properties first, holes skipped, keys are strings.
        {R"((let "r" "a") (assign "r" "") (assign "a" (array 1)) (set (var "a") 2 3)
            (set (var "a") "p" 1)
            (forinc "k" (var "a") (stmts (assign "r" (add (var "r") (add (typeof (var "k")) (var "k"))))))
            (var "r"))",
         "string", "stringpstring0string2"},
        {R"((forin "k" 5 (stmts (assign "nope" 1))))", "undefined", "undefined"},
        {R"((let "k") (forin= "k" "abc" (stmts)) (var "k"))", "string", "2"},
        {R"((forinc "k" "ab" (stmts (assign "k" 1) (return (var "k")))))", "control", "return:0"},
        // Item walks: code units, holes as undefined.
        {R"((let "r") (assign "r" "")
            (forof "c" "a\xF0\x9F\x98\x80" (stmts (assign "r" (add (var "r") (get (var "c") "length")))))
            (var "r"))",
         "string", "111"},
        {R"((let "r" "a") (assign "r" "") (assign "a" (array 1 (undefined)))
            (set (var "a") 3 4)
            (forof "x" (var "a") (stmts (set (var "a") 9 9)
                                       (assign "r" (add (var "r") (typeof (var "x"))))))
            (var "r"))",
         "string", "numberundefinedundefinednumber"},
        {R"((let "x") (forof= "x" (array 1 2 3) (stmts (if (eq (var "x") 2) (stmts (break))))) (var "x"))",
         "number", "2"},
        {R"((let "s") (assign "s" 0)
            (forofc "x" (array 1 2 3) (stmts (if (eq (var "x") 2) (stmts (continue)))
                                            (assign "s" (add (var "s") (var "x")))))
            (var "s"))",
         "number", "4"},
        {R"((forof "x" 5 7))", nullptr, nullptr, kKLVPErrorNotIterable},
        {R"((forof (break) "ab" (stmts)))", nullptr, nullptr, kKLVPErrorNoStringForm},
    };
    testing::expectScriptCases(cases);
}

}  // namespace
}  // namespace engine
