#pragma once

// Public event-parameter names to the internal short names under which the engine stores and
// sends them ("session_id" is "_sid"). Several public names share one internal name: the
// "tarnwell_" and "pe_" forms of a parameter. Audience definitions translate their parameter
// names through it; log descriptions read it the other way round.

#include <functional>
#include <map>
#include <string>

namespace engine {

using KLVEventParameterNameTable = std::map<std::string, std::string, std::less<>>;

// 54 entries, built once, thread-safely, on first use; the same table on every call.
const KLVEventParameterNameTable& KLVEventParameterNameMap();

}  // namespace engine
