#pragma once

// Which raw-event rows of one fingerprint go into one bundle: a contiguous run of row IDs within
// one hour, at most `maxEventsPerBundle` rows, whose encoded events stay below `maxSizeBytes`.

#include <cstdint>

#include "engine/database/KLVDatabase.h"

namespace engine {

// A fresh filter for one read (it keeps the run's state). The first row is always accepted,
// whatever its size: a head event at or over the size limit would otherwise stall bundling for
// good. A row whose event does not decode is logged (23096) and let through; the read skips it.
KLVDatabase::RawEventFilter KLVRawEventBundleFilter(std::int64_t maxEventsPerBundle,
                                                    std::int64_t maxSizeBytes);

}  // namespace engine
