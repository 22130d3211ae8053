#pragma once

// The engine's event-name tables: public event names to the internal short names under which
// the engine stores and sends them ("session_start" is "_s"), and back. The server-driven
// settings key their per-event configuration by the internal name; event creation, audiences and
// log descriptions use the same tables.

#include <functional>
#include <map>
#include <string>

#include "platform/foundation/Object.h"

namespace engine {

using KLVEventNameTable = std::map<std::string, std::string, std::less<>>;

// Public name to internal name, 32 entries. Built once, thread-safely, on first use.
const KLVEventNameTable& KLVEventNameMap();
// Internal name to public name, one entry per internal name ("_cmp" has two public names; the
// one that sorts first, "pe_campaign", is kept).
const KLVEventNameTable& KLVEventNameMapReversed();

// A public name: a non-empty string whose first character is not "_". A non-string (level 2,
// code 18002) or an empty string (level 2, code 18003) is logged and answers false.
bool KLVIsPublicName(const platform::Object& name);

}  // namespace engine
