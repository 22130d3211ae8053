#include "platform/utilities/WDLGzip.h"

#include "platform/net/Gzip.h"

namespace platform {

std::optional<Data> wdl_dataByGzippingData(const Data& data, Error* error) {
    return gzipData(data, error);
}

std::optional<Data> wdl_dataByInflatingGzippedData(const Data& data, Error* error) {
    return gunzipData(data, kDefaultMaximumInflatedSize, error);
}

}  // namespace platform
