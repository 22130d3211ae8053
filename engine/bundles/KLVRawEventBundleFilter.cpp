#include "engine/bundles/KLVRawEventBundleFilter.h"

#include <cmath>
#include <memory>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "platform/foundation/Error.h"

namespace engine {
namespace {

constexpr std::int64_t kFilterFailedCode = 23096;

struct RunState {
    std::int64_t previousRowID = 0;
    double hour = 0;
    std::int64_t totalSize = 0;
};

}  // namespace

KLVDatabase::RawEventFilter KLVRawEventBundleFilter(std::int64_t maxEventsPerBundle,
                                                    std::int64_t maxSizeBytes) {
    auto state = std::make_shared<RunState>();
    return [maxEventsPerBundle, maxSizeBytes, state](std::size_t acceptedCount,
                                                     const KLVDatabase::RawEventRow& row) {
        const bool first = acceptedCount == 0;
        if (!first && static_cast<std::int64_t>(acceptedCount) >= maxEventsPerBundle) return false;

        if (!row.converts) {
            monitor().logWithLevel(
                kKLVLogWarningMonitored, kFilterFailedCode, "Failed to filter raw event. Error",
                row.conversionError ? row.conversionError->description : std::string());
        }
        // Hour, row and size come from the row's columns, so a row that does not decode still
        // keeps its place in the run.
        const double hour = std::trunc(std::floor(row.timestamp) / 3600.0);

        if (first) {
            state->hour = hour;
        } else if (hour != state->hour || row.rowID != state->previousRowID + 1) {
            return false;
        }
        if (!first && state->totalSize + row.dataSize >= maxSizeBytes) return false;
        state->totalSize += row.dataSize;
        state->previousRowID = row.rowID;
        return true;
    };
}

}  // namespace engine
