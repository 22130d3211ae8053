#pragma once

// Resets of the shared instances in tests (platform::resetSharedInstances(), which TempHome and
// the fixtures call) first bring every queue of the process to rest: pending alarms and other
// delayed blocks are cancelled, the main queue's pending blocks dropped, and the reset waits
// until no serial or operation queue has a block queued or running; it does so again after each
// instance it drops, since dropping one (a client cancelling its requests) may start work on
// another queue. A queue still busy after the bound is reported as a failure of the running
// test, naming the queue, and the instances are then left as they are: a block that still runs
// keeps what it uses.

#include <chrono>

namespace testkit {

// Installs that step; called by the tests' main and by TempHome, and harmless to call again.
void installResetSettle();

// How long a reset waits for the queues to come to rest (30 s unless changed); answers the bound
// it replaces. For tests of the reset itself.
std::chrono::milliseconds setResetBound(std::chrono::milliseconds bound);

}  // namespace testkit
