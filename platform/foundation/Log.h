#pragma once

// The platform's system log (what the phone's NSLog and os_log write to). Lines go to standard
// error unless a test has installed a sink to capture them.

#include <functional>
#include <string>
#include <string_view>

namespace platform {

// Writes one line to the system log.
void systemLog(std::string_view line);

// Replaces where lines go; a null sink restores standard error. Returns the previous sink.
using LogSink = std::function<void(std::string_view line)>;
LogSink setLogSink(LogSink sink);

}  // namespace platform
