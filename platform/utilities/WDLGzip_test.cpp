#include "platform/utilities/WDLGzip.h"

#include <gtest/gtest.h>

#include "platform/net/Gzip.h"

namespace platform {
namespace {

TEST(WDLGzipTest, InflatingReadsBackWhatGzippingWrote) {
    const Data original = {'b', 'u', 'n', 'd', 'l', 'e', 0, 1, 2, 3};
    const auto gzipped = wdl_dataByGzippingData(original);
    ASSERT_TRUE(gzipped);
    EXPECT_EQ(wdl_dataByInflatingGzippedData(*gzipped), original);
    EXPECT_EQ(wdl_dataByInflatingGzippedData(*wdl_dataByGzippingData({})), Data{});
}

TEST(WDLGzipTest, NotGzipIsAnError) {
    Error error;
    EXPECT_EQ(wdl_dataByInflatingGzippedData(Data{1, 2, 3}, &error), std::nullopt);
    EXPECT_EQ(error.domain, kGzipErrorDomain);
    EXPECT_EQ(error.code, kGzipErrorNotGzip);
}

}  // namespace
}  // namespace platform
