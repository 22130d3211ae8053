#pragma once

// Localised lookups by key.

#include <string>

namespace app {

// The main bundle's text for `key`; the key itself when there is none.
std::string localized(const std::string& key);
}  // namespace app
