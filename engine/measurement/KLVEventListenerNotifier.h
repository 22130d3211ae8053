#pragma once

// How the service tells the front door's event listeners about each logged event. The front
// door installs the notifier when it initialises; before that, there is nobody to tell.

#include <functional>

#include "engine/events/KLVEvent.h"

namespace engine {

using KLVEventListenerNotifier = std::function<void(const KLVEvent& event)>;

// Installs (or, with an empty function, removes) the notifier. Any thread.
void KLVSetEventListenerNotifier(KLVEventListenerNotifier notifier);
// Passes the event to the installed notifier, if any.
void KLVNotifyEventListeners(const KLVEvent& event);

}  // namespace engine
