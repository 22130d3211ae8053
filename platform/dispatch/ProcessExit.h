#pragma once

// Quiets the queue workers when the process exits. Queues that live for the process (the engine's
// monitor and worker queues) would otherwise go on running blocks while exit() tears down the
// libraries and statics those blocks use. At exit the gate closes: the blocks that are running
// finish (for a bounded time), no worker starts another, and sync() runs its block on the
// calling thread. Internal to platform/dispatch, but for closeForExit().

namespace platform::processexit {

// Registers the exit handler; called whenever a worker thread is started.
void installHandlerOnce();
// A worker asks before each block: false once the process is exiting (the worker then stops).
bool enterBlock();
void leaveBlock();
bool isExiting();

// Closes the gate now. The exit handler alone comes too late for statics made after the first
// worker started: exit() destroys those before it runs the handler, while a worker may still be
// inside a block that uses them. A program whose queues may be busy when main returns (test and
// benchmark mains) calls this just before returning.
void closeForExit();

}  // namespace platform::processexit
