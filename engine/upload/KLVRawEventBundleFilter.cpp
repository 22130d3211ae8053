#include "engine/upload/KLVRawEventBundleFilter.h"

#include <cmath>
#include <memory>
#include <string>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMeasurementBase.h"
#include "platform/foundation/Error.h"

namespace engine {
namespace {

constexpr std::int64_t kFilterFailedCode = 23096;

struct RunState {
    std::int64_t previousRowID = 0;
    double hour = 0;
    std::int64_t totalSize = 0;
};

const platform::Object* column(const KLVSqliteStore::Row& row, const char* name) {
    auto it = row.find(name);
    return it == row.end() ? nullptr : &it->second;
}

}  // namespace

KLVSqliteStore::RowFilter KLVRawEventBundleFilter(KLVDatabase& database,
                                                  std::int64_t maxEventsPerBundle,
                                                  std::int64_t maxSizeBytes) {
    auto state = std::make_shared<RunState>();
    return [&database, maxEventsPerBundle, maxSizeBytes, state](std::size_t acceptedCount,
                                                                const KLVSqliteStore::Row& row) {
        const bool first = acceptedCount == 0;
        if (!first && static_cast<std::int64_t>(acceptedCount) >= maxEventsPerBundle) return false;

        platform::Error error;
        if (!database.rawEventDataFromDictionary(row, &error)) {
            KLVMeasurementBase::monitor().logWithLevel(kKLVLogWarningMonitored, kFilterFailedCode,
                                                       "Failed to filter raw event. Error",
                                                       error.description);
        }
        // Hour, row and size come from the row's columns, so a row that does not decode still
        // keeps its place in the run.
        const platform::Object* rowIDObject = column(row, "rowid");
        const platform::Object* timestampObject = column(row, "timestamp");
        const platform::Object* dataObject = column(row, "data");
        const std::int64_t rowID =
            rowIDObject && rowIDObject->isInteger() ? rowIDObject->asInteger() : 0;
        const double timestamp =
            timestampObject ? timestampObject->numberAsDouble().value_or(0) : 0;
        const std::int64_t size = dataObject && dataObject->isData()
                                      ? static_cast<std::int64_t>(dataObject->asData().size())
                                      : 0;
        const double hour = std::trunc(std::floor(timestamp) / 3600.0);

        if (first) {
            state->hour = hour;
        } else if (hour != state->hour || rowID != state->previousRowID + 1) {
            return false;
        }
        if (!first && state->totalSize + size >= maxSizeBytes) return false;
        state->totalSize += size;
        state->previousRowID = rowID;
        return true;
    };
}

}  // namespace engine
