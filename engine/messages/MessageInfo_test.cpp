#include "engine/messages/MessageInfo.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/NANOAccessors.h"

namespace engine {
namespace {

std::vector<std::int32_t> slotIndexes(const NANOMessageBase& message) {
    std::vector<std::int32_t> indexes;
    for (const auto& slot : message.messageInfo().slots())
        indexes.push_back(slot.index);
    return indexes;
}

TEST(MessageInfoTest, AMessageHoldsSlotsOnlyForTheFieldsItSets) {
    using B = KLVPBMeasurementBundle;
    KLVPBMeasurementBundle bundle;
    EXPECT_TRUE(slotIndexes(bundle).empty());
    // Reading fields makes no slot; an unset repeated field reads as an empty list.
    EXPECT_FALSE(NANOHasField(bundle, B::app_id));
    EXPECT_TRUE(NANOHasField(bundle, B::events));
    const MessageInfo& read = bundle.messageInfo();
    ASSERT_NE(read.field(B::events).messages(), nullptr);
    EXPECT_TRUE(read.field(B::events).messages()->empty());
    EXPECT_TRUE(slotIndexes(bundle).empty());

    NANOSetString(bundle, B::session_stitching_token, "t");
    NANOSetInt32(bundle, B::protocol_version, 1);
    NANOSetString(bundle, B::app_id, "a");
    EXPECT_EQ(slotIndexes(bundle), (std::vector<std::int32_t>{B::protocol_version, B::app_id,
                                                              B::session_stitching_token}));
    NANOClearField(bundle, B::app_id);
    EXPECT_EQ(slotIndexes(bundle),
              (std::vector<std::int32_t>{B::protocol_version, B::session_stitching_token}));
    EXPECT_EQ(NANOGetString(bundle, B::session_stitching_token), "t");

    // Decoding makes slots for what the bytes hold only.
    const auto decoded = KLVPBMeasurementBundle::initWithBuffer(*bundle.protoBuffer());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(slotIndexes(*decoded), slotIndexes(bundle));
    EXPECT_EQ(*decoded, bundle);
}

TEST(MessageInfoTest, AnEmptySlotEqualsNoSlotAndEncodesToNothing) {
    using B = KLVPBMeasurementBundle;
    KLVPBMeasurementBundle emptied;
    NANOSetArray(emptied, B::experiment_ids, platform::Array{7});
    NANOSetArray(emptied, B::experiment_ids, platform::Array{});
    NANOSetString(emptied, B::app_id, "a");
    KLVPBMeasurementBundle plain;
    NANOSetString(plain, B::app_id, "a");
    EXPECT_EQ(emptied, plain);
    EXPECT_EQ(plain, emptied);
    EXPECT_EQ(*emptied.protoBuffer(), *plain.protoBuffer());
    NANOSetString(plain, B::app_id, "b");
    EXPECT_NE(emptied, plain);
    EXPECT_NE(plain, emptied);
    KLVPBMeasurementBundle more = emptied;
    NANOSetArray(more, B::experiment_ids, platform::Array{7});
    EXPECT_NE(more, emptied);
    EXPECT_NE(emptied, more);
}

// A failed comparison shows a message by its fields: the set ones only, by name in tag order,
// nested messages and lists whole, strings quoted, numbers as their field's kind reads them.
TEST(MessageInfoTest, PrintsItsSetFieldsByNameInTagOrder) {
    KLVPBEventParam number;
    NANOSetDouble(number, KLVPBEventParam::double_value, 0.5);
    NANOSetString(number, KLVPBEventParam::name, "a\"b");
    KLVPBEventParam element;
    NANOSetInt64(element, KLVPBEventParam::int_value, -3);
    KLVPBEventParam array;
    NANOSetArray(array, KLVPBEventParam::param_value,
                 std::vector<KLVPBEventParam>{element, element});
    KLVPBEvent event;
    NANOSetInt64(event, KLVPBEvent::timestamp_millis, 1'700'000'000'000);
    NANOSetString(event, KLVPBEvent::name, "tap");
    NANOSetArray(event, KLVPBEvent::params, std::vector<KLVPBEventParam>{number, array});
    EXPECT_EQ(::testing::PrintToString(event),
              "Event{params: [EventParam{name: \"a\\\"b\", double_value: 0.5}, "
              "EventParam{param_value: [EventParam{int_value: -3}, EventParam{int_value: -3}]}], "
              "name: \"tap\", timestamp_millis: 1700000000000}");
    EXPECT_EQ(::testing::PrintToString(KLVPBEvent()), "Event{}");
}

}  // namespace
}  // namespace engine
