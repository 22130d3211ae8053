#pragma once

// Blocks handed to queues and timers run through here: an exception a block lets escape is
// written to the system log and goes no further, so one faulty block never stops a worker thread.

#include <functional>
#include <string_view>

namespace platform {

// Runs `block`; an escaping exception is logged as "Uncaught exception in <where>: <what>".
// Returns false when the block threw.
bool runCatching(std::string_view where, const std::function<void()>& block) noexcept;

}  // namespace platform
