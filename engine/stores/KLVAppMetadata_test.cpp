#include "engine/stores/KLVAppMetadata.h"

#include <gtest/gtest.h>

#include <limits>

#include "engine/base/EngineTestSupport.h"

namespace engine {
namespace {

TEST(KLVAppMetadataTest, NegativeIndexIsRefused) {
    LogCapture log;
    EXPECT_FALSE(KLVAppMetadata::initWithLastBundleIndex(-1, 0, 0));
    EXPECT_EQ(log.count(4000), 0u);  // level 2 is silent: sampled, never printed
    const auto metadata = KLVAppMetadata::initWithLastBundleIndex(0, 1.5, 2.5);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->lastBundleStartTimestamp(), 1.5);
    EXPECT_EQ(metadata->lastBundleEndTimestamp(), 2.5);
}

TEST(KLVAppMetadataTest, IndexWrapsToZeroAfterTheLargest32BitValue) {
    auto metadata = *KLVAppMetadata::initWithLastBundleIndex(5, 0, 0);
    metadata.incrementLastBundleIndex();
    EXPECT_EQ(metadata.lastBundleIndex(), 6);
    auto last =
        *KLVAppMetadata::initWithLastBundleIndex(std::numeric_limits<std::int32_t>::max(), 0, 0);
    last.incrementLastBundleIndex();
    EXPECT_EQ(last.lastBundleIndex(), 0);
    last.setLastBundleStartTimestamp(3);
    last.setLastBundleEndTimestamp(4);
    EXPECT_EQ(last.lastBundleStartTimestamp(), 3);
    EXPECT_EQ(last.lastBundleEndTimestamp(), 4);
}

}  // namespace
}  // namespace engine
