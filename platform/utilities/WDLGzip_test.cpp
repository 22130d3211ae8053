#include "platform/utilities/WDLGzip.h"

#include <gtest/gtest.h>

#include "platform/net/Gzip.h"

namespace platform {
namespace {

TEST(WDLGzipTest, InflatingReadsBackWhatGzippingWroteAndRefusesTheRest) {
    const Data original = {'b', 'u', 'n', 'd', 'l', 'e', 0, 1, 2, 3};
    EXPECT_EQ(wdl_dataByInflatingGzippedData(*wdl_dataByGzippingData(original)), original);
    Error error;
    EXPECT_EQ(wdl_dataByInflatingGzippedData(Data{1, 2, 3}, &error), std::nullopt);
    EXPECT_EQ(error.code, kGzipErrorNotGzip);
}

}  // namespace
}  // namespace platform
