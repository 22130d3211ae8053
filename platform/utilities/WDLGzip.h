#pragma once

// The utilities framework's gzip operations on data. Whatever the first writes, the second reads
// back unchanged; the second refuses input that is not gzip or that would inflate beyond the
// platform's cap, with the error set.

#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace platform {

std::optional<Data> wdl_dataByGzippingData(const Data& data, Error* error = nullptr);
std::optional<Data> wdl_dataByInflatingGzippedData(const Data& data, Error* error = nullptr);

}  // namespace platform
