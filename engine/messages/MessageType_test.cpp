#include "engine/messages/MessageType.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "engine/messages/KLVPBMessages.h"

namespace engine {
namespace {

TEST(MessageType, EveryTableIsConsistent) {
    ASSERT_EQ(allMessageTypes().size(), 42u);
    std::set<std::int32_t> used;
    for (const auto& type : allMessageTypes()) {
        SCOPED_TRACE(type.name());
        EXPECT_EQ(messageTypeNamed(type.name()), &type);
        for (std::int32_t i = 0; i < type.fieldCount(); ++i) {
            const std::int32_t kind = type.kinds()[static_cast<std::size_t>(i)];
            used.insert(kind);
            EXPECT_EQ(type.indexForTag(type.field(i).tag), i);
            EXPECT_EQ(type.field(i).messageType != nullptr, (kind & kKindMessage) != 0) << i;
        }
    }
    EXPECT_EQ(used, (std::set<std::int32_t>{0x22, 0x42, 0x82, 0x202, 0x802, 0x1002, 0x2002, 0x4002,
                                            0x108, 0x208, 0x408, 0x2008, 0x4008}));
}

TEST(MessageType, IndexesFollowDeclarationsAndTagOrderIsAscending) {
    const MessageType& bundle = KLVPBMeasurementBundle::messageType();
    // Tags 26 and 27 are declared after 6 and 19.
    EXPECT_EQ(bundle.field(KLVPBMeasurementBundle::previous_start_timestamp_millis).tag, 26u);
    EXPECT_EQ(KLVPBMeasurementBundle::previous_start_timestamp_millis, 6);
    EXPECT_EQ(KLVPBMeasurementBundle::vendor_device_id, 20);
    std::vector<std::uint32_t> tags;
    for (const std::int32_t i : bundle.tagOrder())
        tags.push_back(bundle.field(i).tag);
    EXPECT_TRUE(std::is_sorted(tags.begin(), tags.end()));
    EXPECT_EQ(tags.size(), 53u);
    for (const std::uint32_t unknown : {0u, 36u, 40u, 80u, 1000u}) {
        EXPECT_EQ(bundle.indexForTag(unknown), std::nullopt) << unknown;
    }
}

}  // namespace
}  // namespace engine
