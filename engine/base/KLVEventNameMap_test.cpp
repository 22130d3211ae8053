#include "engine/base/KLVEventNameMap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"

namespace engine {
namespace {

class KLVEventNameMapTest : public EngineTest {};

TEST_F(KLVEventNameMapTest, PublicNames) {
    const struct {
        platform::Object name;
        bool isPublic;
        const char* refusal;  // level 2 is silent: a refusal reaches only the health record
    } cases[] = {{"purchase", true, nullptr},
                 {"_s", false, nullptr},
                 {"", false, "Cannot check the name. Name is empty"},
                 {42, false, "Cannot check the name. Name is not a string"}};
    for (const auto& c : cases) {
        EXPECT_EQ(KLVIsPublicName(c.name), c.isPublic);
        const auto record = monitor().monitoringDataForDispatchWithSamplePeriod(0, 0);
        if (c.refusal) {
            ASSERT_TRUE(record);
            EXPECT_THAT(*record, ::testing::EndsWith(std::string(":") + c.refusal));
        } else {
            EXPECT_EQ(record, std::nullopt);
        }
    }
}

}  // namespace
}  // namespace engine
