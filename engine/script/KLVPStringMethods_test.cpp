// The string methods, called from programs in the test notation.

#include <gtest/gtest.h>

#include "engine/script/KLVPStringMethods.h"
#include "engine/script/ScriptTestSupport.h"

namespace engine {
namespace {

using testing::ScriptCase;

TEST(KLVPStringMethodsTest, Methods) {
    const ScriptCase cases[] = {
        {R"((call "abc" "charAt" (array -1)))", "string", ""},
        {R"((call "abc" "charAt" (array)))", "string", "a"},
        {R"((call "a" "concat" (array 1 (null) (array 2 3))))", "string", "a1null2,3"},
        {R"((call "ab" "hasOwnProperty" (array "length")))", "boolean", "true"},
        // By the argument's text: an array holding "length" names it too.
        {R"((call "ab" "hasOwnProperty" (array (array "length"))))", "boolean", "true"},
        {R"((call "ab" "hasOwnProperty" (array (array 1))))", "boolean", "true"},
        {R"((call "ab" "hasOwnProperty" (array (array "len"))))", "boolean", "false"},
        {R"((call "" "hasOwnProperty" (array 0)))", "boolean", "false"},
        {R"((call "ab" "hasOwnProperty" (array)))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((call "abc" "indexOf" (array "")))", "number", "-1"},
        {R"((call "abcb" "indexOf" (array "b" 2)))", "number", "3"},
        {R"((call "xundefined" "indexOf" (array)))", "number", "1"},
        {R"((call "abcb" "lastIndexOf" (array "b")))", "number", "3"},
        {R"((call "abcb" "lastIndexOf" (array "b" -1)))", "number", "-1"},
        {R"((call "abcb" "lastIndexOf" (array "b" 1 2)))", nullptr, nullptr,
         kKLVPErrorArgumentCount},
        // Searches where the text almost matches over and over.
        {R"((call "aaab" "indexOf" (array "aab")))", "number", "1"},
        {R"((call "abababc" "indexOf" (array "ababc")))", "number", "2"},
        {R"((call "aaaa" "lastIndexOf" (array "aa")))", "number", "2"},
        {R"((call "abab" "lastIndexOf" (array "ab" 1)))", "number", "0"},
        {R"((call "abab" "lastIndexOf" (array "abab" 3)))", "number", "0"},
        {R"((call "ab" "lastIndexOf" (array "abc")))", "number", "-1"},
        {R"((call "xaaay" "replace" (array "aa" "-")))", "string", "x-ay"},
        {R"((call "a--b---c--" "split" (array "--")))", "array", "a,b,-c,"},
        {R"((call "abc" "match" (array "x+")))", "null", "null"},
        {R"((call "abc" "match" (array)))", "array", ""},
        {R"((call "a12b345" "match" (array "[0-9]+")))", "array", "12"},
        {R"((call "abc" "search" (array "z")))", "number", "-1"},
        {R"((call "abcb" "replace" (array "b" "x")))", "string", "axcb"},
        {R"((call "abc" "replace" (array "" "x")))", "string", "xabc"},
        {R"((call "abc" "replace" (array "b" "$&")))", "string", "a$&c"},
        {R"((call "abcb" "replace" (array "c"
              (fn "" (array "s" "p" "t") (return (add (add (var "s") (var "p")) (var "t")))))))",
         "string", "abc2abcbb"},
        {R"((call "abc" "replace" (array "b" (fn "" (array) (assign "nope" 1)))))", nullptr,
         nullptr, kKLVPErrorUndeclaredAssignment},
        {R"((call "abcde" "slice" (array -2)))", "string", "de"},
        {R"((call "abcde" "slice" (array 1 -1)))", "string", "bcd"},
        {R"((call "abcde" "substring" (array 3 1)))", "string", "bc"},
        {R"((call "abcde" "substring" (array 2)))", "string", "cde"},
        {R"((get (call "a,b,,c" "split" (array ",")) "length"))", "number", "4"},
        {R"((call "a,b,,c" "split" (array ",")))", "array", "a,b,,c"},
        {R"((call "a,b,,c" "split" (array "," 2)))", "array", "a,b"},
        {R"((call "a,b" "split" (array "," -1)))", "array", "a,b"},
        {R"((get (call "abc" "split" (array "")) "length"))", "number", "3"},
        {R"((call "ÄßÍ" "toLowerCase" (array)))", "string", "äßí"},
        {R"((call "straße" "toUpperCase" (array)))", "string", "STRASSE"},
        {R"((call "İ" "toLowerCase" (array)))", "string", "i̇"},
        {R"((call "a" "toLowerCase" (array 1)))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((call " \x09\n a b \n\x0D " "trim" (array)))", "string", "a b"},
        {R"((call "ab" "nosuch" (stmts (assign "nope" 1))))", nullptr, nullptr,
         kKLVPErrorUnknownMethod},
        {R"((call "ab" "charAt" (stmts (assign "nope" 1))))", nullptr, nullptr,
         kKLVPErrorUndeclaredAssignment},
        {R"((call "ab" "charAt" (stmts (break))))", nullptr, nullptr, kKLVPErrorNoNumberForm},
    };
    testing::expectScriptCases(cases);
}

TEST(KLVPStringMethodsTest, PatternFailuresAreEngineErrors) {
    for (const char* program :
         {R"((call "abc" "match" (array "(")))", R"((call "abc" "search" (array "[")))",
          R"((call "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!" "search"
                                      (array "^(a+)+$")))"}) {
        const testing::ScriptRun run = testing::runScript(program);
        EXPECT_EQ(run.error.domain, kKLVPRegularExpressionErrorDomain) << program;
        EXPECT_NE(run.error.code, 0) << program;
        EXPECT_EQ(run.value.type, "undefined") << program;
    }
}

TEST(KLVPStringMethodsTest, PositionsCountCodeUnits) {
    const ScriptCase cases[] = {
        {R"((call "a\xF0\x9F\x98\x80b" "indexOf" (array "b")))", "number", "3"},
        {R"((get (call "\xF0\x9F\x98\x80" "charAt" (array 1)) "length"))", "number", "1"},
        {R"((call "a\xF0\x9F\x98\x80b" "search" (array "b")))", "number", "3"},
        {R"((call "x\xF0\x9F\x98\x80" "slice" (array 1)))", "string", "\xF0\x9F\x98\x80"},
    };
    testing::expectScriptCases(cases);
}

}  // namespace
}  // namespace engine
