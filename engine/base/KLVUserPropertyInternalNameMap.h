#pragma once

// The user-property names the engine reserves, public name to internal short name. The name
// validator rejects a public user property named by a key as reserved, the database leaves these
// properties out of the public ones, and audience filters naming a key are rewritten to the
// internal name.

#include <functional>
#include <map>
#include <string>

namespace engine {

using KLVUserPropertyNameMap = std::map<std::string, std::string, std::less<>>;

// Built once, thread-safely, on first use.
const KLVUserPropertyNameMap& KLVUserPropertyInternalNameMap();

}  // namespace engine
