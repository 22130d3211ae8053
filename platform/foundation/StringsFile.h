#pragma once

// The phone's ".strings" localisation tables:
//
//   /* comment */  "key" = "value";   // comment
//   simple_key = "value";   "key only";   (a key alone maps to itself)
//
// Quoted text knows the escapes \" \\ \n \t \r \' and \uXXXX or \UXXXX (UTF-16 units; a
// surrogate pair joins into one character, a lone surrogate becomes U+FFFD); any other escaped
// character stands for itself. Unquoted keys and values are runs of letters, digits and
// "_ . - $ : /". Files may be UTF-8 or UTF-16 with a byte-order mark; bytes that are not valid
// UTF-8 read as U+FFFD. A repeated key keeps its last value.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct StringsTable {
    std::map<std::string, std::string, std::less<>> entries;
    // Set when the file is malformed: where and what. `entries` then holds what parsed before.
    std::optional<std::string> problem;
};

StringsTable parseStringsFile(std::string_view bytes);

}  // namespace platform
