#pragma once
// The page of the browser display: it long-polls the frame, typesets formulas and sends clicks,
// drags and keys to the driver endpoints.
#include <string>

namespace platform {

const std::string& displayPage();

}  // namespace platform
