#pragma once

// Text editing shared by the whole app: replacing and splitting by plain (byte-wise) matching,
// which is exact for UTF-8 because no character's bytes occur inside another's.

#include <string>
#include <string_view>
#include <vector>

namespace app {

// `text` with every occurrence of `from` replaced by `to`, left to right, never re-reading what
// was put in; an empty `from` changes nothing.
std::string replaceAll(std::string text, std::string_view from, std::string_view to);

// The pieces of `text` between occurrences of `separator`, empty pieces left out; an empty
// separator gives the whole text (when it is not empty).
std::vector<std::string> splitDroppingEmpty(std::string_view text, std::string_view separator);

}  // namespace app
