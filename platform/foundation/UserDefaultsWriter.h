#pragma once

// The background writer of user defaults: one worker thread for the process runs the suites'
// writes in the order they were asked for, so that a change costs its caller no disk I/O.
// Internal to UserDefaults.
//
// Exit: starting the worker registers an exit handler that waits (for a bounded time) until every
// queued write has run. From then on scheduleWrite() refuses and callers write on their own
// thread, so a change made while the process exits (queue workers may still make one) is not
// lost either. The writer's state is never destroyed, for the same reason.

#include <functional>

namespace platform::userdefaults {

using WriteJob = std::function<void()>;

// Queues `job` for the worker. False, and nothing queued, when the process is exiting or no
// worker thread could be started: the caller then writes itself.
bool scheduleWrite(WriteJob job);

// Waits until every queued write has run and the worker is idle.
void waitUntilIdle();

}  // namespace platform::userdefaults
