#pragma once

// Small text helpers of the services: localised lookups by key and placeholder replacement.

#include <string>

namespace app {

// The main bundle's text for `key`; the key itself when there is none.
std::string localized(const std::string& key);
// `text` with every occurrence of `placeholder` replaced by `value` (left to right, never
// re-reading what was put in).
std::string replaceAll(std::string text, const std::string& placeholder, const std::string& value);

}  // namespace app
