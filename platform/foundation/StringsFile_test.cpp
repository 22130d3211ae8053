#include "platform/foundation/StringsFile.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

using Entries = std::map<std::string, std::string, std::less<>>;

struct StringsCase {
    const char* name;
    std::string text;
    Entries entries;
    std::optional<std::string> problem;
};

std::string utf16LittleEndian(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += char(unit & 0xFF);
        bytes += char(unit >> 8);
    }
    return bytes;
}

TEST(StringsFileTest, ParsesThePhoneFormat) {
    const StringsCase cases[] = {

        {"comments and spacing",
         "/* a\n comment */\n\"a\"=\"1\"; // trailing\n  \"b\" =\n \"2\" ;",
         {{"a", "1"}, {"b", "2"}},
         std::nullopt},
        {"escapes",
         R"("k" = "q\"b\\s\nn\tt\rr\'x\z";)",
         {{"k", "q\"b\\s\nn\tt\rr'xz"}},
         std::nullopt},
        {"unicode escapes",
         R"("k" = "\u00e9\U00E9 \ud83d\ude00 \ud83d!";)",
         {{"k", "\u00e9\u00e9 \U0001F600 \uFFFD!"}},
         std::nullopt},

        {"invalid UTF-8 becomes U+FFFD",
         "\"k\" = \"a\xff"
         "b\";",
         {{"k", "a\uFFFDb"}},
         std::nullopt},
        {"UTF-16 with byte-order mark",
         utf16LittleEndian(u"\"k\" = \"\u00e9\U0001F600\";"),
         {{"k", "\u00e9\U0001F600"}},
         std::nullopt},
        {"missing semicolon",
         "\"a\" = \"b\";\n\"c\" = \"d\"\n\"e\" = \"f\";",
         {{"a", "b"}},
         "line 3: expected \";\""},
        {"unterminated string",
         R"("a" = "b"; "c" = "d)",
         {{"a", "b"}},
         "line 1: unterminated string"},
        {"short unicode escape",
         R"("a" = "b"; "c" = "\u12";)",
         {{"a", "b"}},
         "line 1: \\u needs four hex digits"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto table = parseStringsFile(c.text);
        EXPECT_EQ(table.entries, c.entries);
        EXPECT_EQ(table.problem, c.problem);
    }
}

}  // namespace
}  // namespace platform
