#pragma once

// The internal "_err" event: how the engine reports a problem that stops an event or a user
// property before it exists (a bad event name, a blocked event, a limit reached). Problems with
// parameters travel inside their event instead (KLVParameterSanitizer.h).
//
// The event goes out as an internal event with origin "auto" through the front door's
// logInternalEventWithOrigin, which the front door installs with KLVSetInternalEventLogger when
// it starts; before that, error events have nowhere to go and are dropped.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

namespace engine {

// Logs one internal event: origin, name and parameters as objects.
using KLVInternalEventLogger = std::function<void(
    const std::string& origin, const std::string& name, const platform::Dictionary& parameters)>;

// Installs (or, with an empty function, removes) where internal events go. Any thread.
void KLVSetInternalEventLogger(KLVInternalEventLogger logger);
// Hands one internal event to the installed logger; nothing without one.
void KLVLogInternalEvent(const std::string& origin, const std::string& name,
                         const platform::Dictionary& parameters);

// The "_err" event with the code alone; nothing for code 0.
void KLVLogErrorEvent(std::int64_t code);
// The "_err" event with the code and the offending name as "_ev" (cut to `limit` code points);
// "_el" gives the value's length when the value is longer than the limit or the code is 4
// (invalid parameter value) or 7 (user-property value too long). Nothing for code 0.
void KLVLogErrorEventWithName(std::int64_t code, std::optional<std::string_view> name,
                              std::int64_t limit, const platform::Object* value);

// The parameters of the two events above; nothing for code 0.
std::optional<platform::Dictionary> KLVErrorEventParameters(std::int64_t code);
std::optional<platform::Dictionary> KLVErrorEventParametersWithName(
    std::int64_t code, std::optional<std::string_view> name, std::int64_t limit,
    const platform::Object* value);

}  // namespace engine
