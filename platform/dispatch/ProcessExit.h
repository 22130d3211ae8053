#pragma once

// Quiets the queue workers when the process exits. Queues that live for the process (the engine's
// monitor and worker queues) would otherwise go on running blocks while exit() tears down the
// libraries and statics those blocks use. At exit the gate closes: the blocks that are running
// finish (for a bounded time), no worker starts another, and sync() runs its block on the
// calling thread. Internal to platform/dispatch.

namespace platform::processexit {

// Registers the exit handler; called whenever a worker thread is started.
void installHandlerOnce();
// A worker asks before each block: false once the process is exiting (the worker then stops).
bool enterBlock();
void leaveBlock();
bool isExiting();

}  // namespace platform::processexit
