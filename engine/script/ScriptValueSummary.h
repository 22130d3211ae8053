#pragma once

// A plain description of a runtime value, for logs and tests: its type, its text and its platform
// object.

#include <string>

#include "engine/script/KLVPRuntimeValue.h"
#include "platform/foundation/Object.h"

namespace engine {

struct ScriptValueSummary {
    // undefined, null, boolean, number, string, array, map, function, statement or control.
    std::string type;
    // The string form in UTF-8 (an array's elements joined with ","; a statement's name; a
    // control value "break", "continue" or "return:" and its data's text); "" when a form fails.
    std::string text;
    // KLVPRuntimeEntityConverter::objectFromRuntimeValue; null when it fails.
    platform::Object object;
};

ScriptValueSummary summarizeScriptValue(const KLVPValue& value);

}  // namespace engine
