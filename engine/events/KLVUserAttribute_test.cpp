#include "engine/events/KLVUserAttribute.h"

#include "engine/messages/NANOAccessors.h"
#include "engine/events/EventTestSupport.h"
#include "engine/events/KLVRawEventData.h"

namespace engine {
namespace {

using ::testing::HasSubstr;

class KLVStoredRecordsTest : public testing::EventTest {};

std::vector<std::int32_t> presentFields(const KLVPBUserAttribute& message) {
    std::vector<std::int32_t> fields;
    for (std::int32_t index = 0; index < KLVPBUserAttribute::kFieldCount; ++index) {
        if (NANOHasField(message, index)) fields.push_back(index);
    }
    return fields;
}

TEST_F(KLVStoredRecordsTest, UserAttributeNeedsInternalNameAndValue) {
    EXPECT_TRUE(KLVUserAttribute::initWithOrigin(
        "app", "_id", KLVValue::initWithString(std::string(256, 'x')), 1));
    EXPECT_FALSE(KLVUserAttribute::initWithOrigin(
        "app", "level", KLVValue::initWithString(std::string(37, 'x')), 1));
    EXPECT_FALSE(KLVUserAttribute::initWithOrigin("app", "a b", KLVValue::initWithInt64(1), 1));
    EXPECT_FALSE(KLVUserAttribute::initWithOrigin("app", "level", KLVValue::initWithString(""), 1));
    EXPECT_FALSE(
        KLVUserAttribute::initWithOrigin("app", "_id", KLVValue::initWithInt64(1), 1)->isPublic());
    EXPECT_TRUE(
        KLVUserAttribute::initWithOrigin("", "level", KLVValue::initWithInt64(1), 1)->isPublic());
}

TEST_F(KLVStoredRecordsTest, UserAttributeMessage) {
    using M = KLVPBUserAttribute;
    const struct {
        const char* label;
        KLVValue value;
        double lastSet;
        std::vector<std::int32_t> fields;
        std::int64_t millis;
    } cases[] = {
        {"string",
         KLVValue::initWithString("gold"),
         1.5,
         {M::set_timestamp_millis, M::name, M::string_value},
         1500},
        {"integer",
         KLVValue::initWithInt64(3),
         0.0009,
         {M::set_timestamp_millis, M::name, M::int_value},
         0},
        {"double",
         KLVValue::initWithDouble(2.5),
         2,
         {M::set_timestamp_millis, M::name, M::double_value},
         2000},
        {"array",
         KLVValue::initWithArray(platform::Array{}),
         2,
         {M::set_timestamp_millis, M::name},
         2000},
    };
    for (const auto& c : cases) {
        const auto attribute = KLVUserAttribute::initWithOrigin("app", "level", c.value, c.lastSet);
        ASSERT_TRUE(attribute) << c.label;
        const auto message = attribute->protoUserAttribute();
        EXPECT_EQ(presentFields(message), c.fields) << c.label;
        EXPECT_EQ(NANOGetInt64(message, M::set_timestamp_millis), c.millis) << c.label;
        EXPECT_EQ(NANOGetString(message, M::name), "level") << c.label;
    }
    const auto message =
        KLVUserAttribute::initWithOrigin("app", "level", KLVValue::initWithDouble(2.5), 2)
            ->protoUserAttribute();
    EXPECT_EQ(NANOGetDouble(message, M::double_value), 2.5);
    // A text that is not UTF-8 is still written as one that reads back.
    const auto text =
        KLVUserAttribute::initWithOrigin("app", "level", KLVValue::initWithString("a\xFF"), 2)
            ->protoUserAttribute();
    EXPECT_EQ(NANOGetString(text, M::string_value), "a\xEF\xBF\xBD");
}

TEST_F(KLVStoredRecordsTest, RawEventDataNeedsEventAndRowID) {
    const auto event = KLVEvent::initWithOrigin("app", false, "_s", 1, 0, platform::Dictionary{});
    const auto zero = KLVRawEventData::initWithRawEvent(event, 0, -5);
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->rowID(), 0);
    EXPECT_EQ(zero->metadataFingerprint(), -5);
    EXPECT_EQ(zero->rawEvent().name(), "_s");

    EXPECT_FALSE(KLVRawEventData::initWithRawEvent(event, -1, 0));
    EXPECT_THAT(logLine(28001),
                HasSubstr("Failed to create raw event data. Received invalid row ID. Row ID: -1"));
    EXPECT_FALSE(KLVRawEventData::initWithRawEvent(std::nullopt, 1, 0));
    EXPECT_THAT(logLine(28000), HasSubstr("Received invalid raw event."));
}

}  // namespace
}  // namespace engine
