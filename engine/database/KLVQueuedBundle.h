#pragma once

// A bundle waiting in the upload queue, as the queue reads hand it back: the decoded bundle (its
// retry count set from the row when the row counts 1 or more) and the row's identifier.

#include <cstdint>

#include "engine/messages/KLVPBMessages.h"

namespace engine {

struct KLVQueuedBundle {
    KLVPBMeasurementBundle bundle;
    std::int64_t rowID = 0;
};

}  // namespace engine
