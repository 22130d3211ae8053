#pragma once

// A screen as the screen-view reporter tracks it, and the parameters ("_si", "_sc", "_sn") that
// events logged on it carry.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

namespace engine {

struct KLVScreen {
    std::int64_t instanceID = 0;
    std::optional<std::string> className;
    std::optional<std::string> name;
};

// "_si" always; "_sc" when the class name is valid (an empty one logs 31014, an invalid one
// 31015) and then "_sn" when the name is present and valid.
platform::Dictionary KLVScreenParametersFromScreen(const KLVScreen& screen);

}  // namespace engine
