// The array methods, called from programs in the test notation.

#include <gtest/gtest.h>

#include "engine/script/ScriptTestSupport.h"

namespace engine {
namespace {

using testing::ScriptCase;

// `a` holds [1, hole, 3]; `d` doubles; `log` collects what the callbacks saw.
#define SETUP \
    R"((let "a" "log" "d") (assign "a" (array 1)) (set (var "a") 2 3) (assign "log" "") (assign "d" (fn "" (array "x" "i" "arr") (assign "log" (add (var "log") (var "i"))) (return (mul (var "x") 2)))) )"

TEST(KLVPArrayMethodsTest, Methods) {
    const ScriptCase cases[] = {
        {R"((call (array 1) "concat" (array (array 2 (array 3)) 4)))", "array", "1,2,3,4"},
        {R"((call (array) "concat" (stmts (break))))", nullptr, nullptr, kKLVPErrorArgumentKind},
        {SETUP R"((call (var "a") "map" (array (var "d"))))", "array", "2,,6"},
        {SETUP R"((call (var "a") "map" (array (var "d"))) (var "log"))", "string", "02"},
        {SETUP R"((call (var "a") "filter" (array (fn "" (array "x") (return (gt (var "x") 1))))))",
         "array", "3"},
        {SETUP R"((call (var "a") "forEach" (array (var "d"))))", "undefined", "undefined"},
        {R"((call (array) "every" (array (fn "" (array) (return false)))))", "boolean", "true"},
        {SETUP
         R"((call (var "a") "some" (array (fn "" (array "x" "i") (assign "log" (add (var "log") (var "i"))) (return true)))) (var "log"))",
         "string", "0"},
        {R"((call (array 1) "map" (array 5)))", nullptr, nullptr, kKLVPErrorArgumentKind},
        {R"((call (array 1) "every" (array (fn "" (array) (return (break))))))", nullptr, nullptr,
         kKLVPErrorNoBooleanForm},
        {R"((call (array 5) "reduce" (array (fn "" (array) (assign "nope" 1)))))", "number", "5"},
        {R"((call (array) "reduce" (array (fn "" (array)))))", nullptr, nullptr,
         kKLVPErrorReduceEmptyArray},
        {R"((call (array "a" "b" "c") "reduceRight"
              (array (fn "" (array "acc" "x") (return (add (var "acc") (var "x")))) "")))",
         "string", "cba"},
        {R"((call (array 1 2 3) "reduce"
              (array (fn "" (array "acc" "x" "i") (return (add (var "acc") (var "i")))))))",
         "number", "4"},
        {R"((call (array 1) "reduce" (stmts (fn "" (array)) (break))))", nullptr, nullptr,
         kKLVPErrorArgumentKind},
        {R"((call (array (array)) "hasOwnProperty" (array "length")))", "boolean", "true"},
        {R"((let "h") (assign "h" (array)) (set (var "h") 1 1)
            (call (var "h") "hasOwnProperty" (array 0)))",
         "boolean", "false"},
        {SETUP R"((call (var "a") "indexOf" (array (undefined))))", "number", "-1"},
        {R"((call (array 1 2 1) "indexOf" (array 1 -1)))", "number", "2"},
        {R"((call (array 1 2 1) "lastIndexOf" (array 1 (undefined))))", "number", "2"},
        {R"((call (array 1 (null) (undefined) 2) "join" (array)))", "string", "1,,,2"},
        {R"((call (array 1 2) "join" (array (undefined))))", "string", "12"},
        {R"((let "p") (assign "p" (array 1 2)) (array (call (var "p") "pop" (array)) (var "p")))",
         "array", "2,1"},
        {R"((let "p") (assign "p" (array 1 2)) (array (call (var "p") "push" (array 3 4)) (var "p")))",
         "array", "4,1,2,3,4"},
        {SETUP R"((call (var "a") "reverse" (array)) (call (var "a") "indexOf" (array 3)))",
         "number", "0"},
        {R"((call (array 1 2 3) "slice" (array -2)))", "array", "2,3"},
        {R"((call (array 1 2 3) "slice" (array 1 -1)))", "array", "2"},
        {R"((let "s") (assign "s" (array "a" "b" "c"))
            (array (call (var "s") "splice" (array 1)) (var "s")))",
         "array", "b,c,a"},
        {R"((let "s") (assign "s" (array "a" "b" "c"))
            (array (get (call (var "s") "splice" (array -1 0 "x")) "length") (var "s")))",
         "array", "0,a,b,x,c"},
        {R"((call (array 10 9 1) "sort" (array)))", "array", "1,10,9"},
        {R"((let "u") (assign "u" (array (undefined) 3)) (set (var "u") 3 1)
            (call (var "u") "sort" (array))
            (array (typeof (get (var "u") 2)) (call (var "u") "hasOwnProperty" (array 3)) (var "u")))",
         "array", "undefined,false,1,3,,"},
        {R"((call (array 2 1) "sort" (array 5)))", nullptr, nullptr, kKLVPErrorArgumentKind},
        {R"((call (array 1 3 2) "sort" (array (fn "" (array "a" "b") (return (sub (var "b") (var "a")))))))",
         "array", "3,2,1"},
        {R"((call (array 1 2) "sort" (array (fn "" (array) (assign "nope" 1)))))", nullptr, nullptr,
         kKLVPErrorUndeclaredAssignment},
        {R"((let "o") (assign "o" (array 1)) (set (var "o") "push" (fn "" (array) (return "mine")))
            (call (var "o") "push" (array 2)))",
         "string", "mine"},
        {R"((call (array) "nosuch" (stmts (assign "nope" 1))))", nullptr, nullptr,
         kKLVPErrorUnknownMethod},
    };
    testing::expectScriptCases(cases);
}

TEST(KLVPArrayMethodsTest, SortSurvivesComparatorsThatMisbehave) {
    const ScriptCase cases[] = {
        // Inconsistent answers, and a comparator that empties the array, leave a sorted copy.
        {R"((call (array 3 1 2 5 4) "sort" (array (fn "" (array) (return 1)))))", "array",
         "3,1,2,5,4"},
        {R"((let "m") (assign "m" (array 3 1 2))
            (call (var "m") "sort" (array (fn "" (array "a" "b")
               (set (var "m") "length" 0) (return (sub (var "a") (var "b"))))))
            (var "m"))",
         "array", "1,2,3"},
        // Equal elements keep their order.
        {R"((call (array "b1" "a1" "b2" "a2") "sort"
              (array (fn "" (array "x" "y")
                 (return (cond (lt (get (var "x") 0) (get (var "y") 0)) -1
                               (cond (gt (get (var "x") 0) (get (var "y") 0)) 1 0)))))))",
         "array", "a1,a2,b1,b2"},
    };
    testing::expectScriptCases(cases);
}

TEST(KLVPArrayMethodsTest, WalksAreBoundedByTheInstructionLimit) {
    // A walk that keeps appending does not visit what it appended; endless recursion of walks
    // stops at the limit.
    const ScriptCase cases[] = {
        {R"((let "g") (assign "g" (array 1 2))
            (call (var "g") "forEach" (array (fn "" (array "x") (call (var "g") "push" (array 1)))))
            (get (var "g") "length"))",
         "number", "4"},
        {R"((let "g") (assign "g" (array)) (set (var "g") "length" 4096)
            (while true 0 false (stmts (call (var "g") "indexOf" (array 1)))))",
         nullptr, nullptr, kKLVPErrorInstructionLimit},
    };
    testing::expectScriptCases(cases);
}

}  // namespace
}  // namespace engine
