#pragma once

// An event as the event-editing rule runtime sees and changes it: its name (public where the
// engine knows one), its time and its parameters as plain objects (numbers, strings, and arrays
// of item dictionaries). The engine hands one out with KLVEvent::editEvent() and takes the edited
// one back with KLVEvent::eventFromEditEvent().

#include <string>
#include <utility>

#include "platform/foundation/Object.h"

namespace engine {

struct KLVPEvent {
    std::string name;
    double timestamp = 0;  // seconds since 1970
    platform::Dictionary parameters;

    static KLVPEvent initWithName(std::string name, double timestamp,
                                  platform::Dictionary parameters) {
        return KLVPEvent{std::move(name), timestamp, std::move(parameters)};
    }
};

}  // namespace engine
