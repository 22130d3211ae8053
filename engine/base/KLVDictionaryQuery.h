#pragma once

// Dictionaries to and from URL query strings.

#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

namespace engine {

// "key=value" pairs joined by "&", in the dictionary's key order; keys and values as "%@" prints
// them, percent-encoded so that only characters allowed in a query remain. "&", "=" and "+",
// which a query allows but which would split or change a pair, are encoded too. An empty
// dictionary gives "".
std::string klv_queryString(const platform::Dictionary& dictionary);

// The pairs of a query string, key and value unescaped (a failed unescape gives ""). A part
// without "=" is a key with an empty value; empty parts are skipped; of a repeated key the first
// occurrence wins. "a=1&b=&c" gives {a: "1", b: "", c: ""}.
platform::Dictionary klv_dictionaryWithHttpArgumentsString(std::string_view query);

}  // namespace engine
