#include "engine/messages/MessageType.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "engine/messages/KLVPBMessages.h"

namespace engine {
namespace {

// Two schemas transcribed from the message documents, with a gap in the tags and a recursive
// list; the wire vectors pin every other schema through the same generated tables.
TEST(MessageType, TranscribedSchemas) {
    struct FieldRow {
        std::uint32_t tag;
        std::int32_t kind;
        const char* subMessage;
    };
    const std::pair<const char*, std::vector<FieldRow>> schemas[] = {
        {"MeasurementBatch",
         {{1, 0x4008, "MeasurementBundle"},
          {7, 0x2002, nullptr},
          {8, 0x2002, nullptr},
          {9, 0x42, nullptr}}},
        {"EventParam",
         {{1, 0x2002, nullptr},
          {2, 0x2002, nullptr},
          {3, 0x202, nullptr},
          {4, 0x802, nullptr},
          {5, 0x1002, nullptr},
          {6, 0x4008, "EventParam"}}},
    };
    for (const auto& [name, fields] : schemas) {
        SCOPED_TRACE(name);
        const MessageType* type = messageTypeNamed(name);
        ASSERT_NE(type, nullptr);
        ASSERT_EQ(type->fieldCount(), static_cast<std::int32_t>(fields.size()));
        for (std::int32_t i = 0; i < type->fieldCount(); ++i) {
            const FieldRow& expected = fields[static_cast<std::size_t>(i)];
            EXPECT_EQ(type->field(i).tag, expected.tag);
            EXPECT_EQ(type->kinds()[static_cast<std::size_t>(i)], expected.kind);
            const MessageType* sub = type->field(i).messageType;
            EXPECT_STREQ(sub ? sub->name() : nullptr, expected.subMessage);
        }
    }
}

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
