#include "engine/messages/KLVPBMessages.h"

#include <gtest/gtest.h>

#include "engine/messages/KLVPBFlagFunctions.h"
#include "engine/messages/MessageTestSupport.h"
#include "engine/messages/NANOAccessors.h"

namespace engine {
namespace {

using platform::Object;

TEST(KLVPBMessages, EmptyBytesGiveAnEmptyMessageAndBack) {
    const auto flag = KLVPBFlag::initWithBuffer({});
    ASSERT_TRUE(flag);
    EXPECT_TRUE(KLVPBFlagValue(&*flag).isNull());
    const auto bytes = flag->protoBuffer();

    ASSERT_TRUE(bytes);
    EXPECT_TRUE(bytes->empty());
    EXPECT_EQ(KLVPBFlag::initWithBuffer(*bytes), KLVPBFlag());
}

TEST(KLVPBMessages, BytesThatDoNotDecodeGiveNothing) {
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(KLVPBMeasurementConfig::initWithBuffer(testing::bytes({0x12, 0x09, 'a'})));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "<ERROR> MeasurementConfig decoder failed: parent stream too short\n");
}

TEST(KLVPBMessages, InitWithMessageInfoCopiesOnlyItsOwnType) {
    KLVPBRegion region;
    NANOSetString(region, KLVPBRegion::field_1, "x");
    // Same shape (two strings), other message: refused without a log line.
    testing::LogCapture log;
    EXPECT_FALSE(KLVPBSetting::initWithMessageInfo(&region.messageInfo()));
    EXPECT_TRUE(log.lines().empty());

    EXPECT_EQ(KLVPBRegion::initWithMessageInfo(&region.messageInfo()), region);
}

TEST(KLVPBMessages, CopiesAreDeep) {
    KLVPBMeasurementBatch batch;
    KLVPBMeasurementBundle bundle;
    NANOSetString(bundle, KLVPBMeasurementBundle::app_id, "1:123:ios:abc");
    NANOSetArray(batch, KLVPBMeasurementBatch::bundles,
                 std::vector<KLVPBMeasurementBundle>{bundle});

    KLVPBMeasurementBatch copy = batch;
    NANOSetArray(copy, KLVPBMeasurementBatch::bundles, std::nullopt);
    EXPECT_EQ(NANOGetArray<KLVPBMeasurementBundle>(batch, KLVPBMeasurementBatch::bundles)->size(),
              1u);
    EXPECT_NE(copy, batch);
    EXPECT_EQ(copy.protoBuffer(), platform::Data{});  // a batch without bundles is zero bytes
}

TEST(KLVPBFlagFunctions, BuildsFlagsByValueType) {
    struct Case {
        Object value;
        std::int32_t index;
    };
    const Case cases[] = {
        {1.5, KLVPBFlag::double_value},
        {7, KLVPBFlag::int_value},
        {true, KLVPBFlag::int_value},
        {"on", KLVPBFlag::string_value},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.description());
        const auto flag = KLVPBFlagWithNameAndValue("feature", c.value);
        ASSERT_TRUE(flag);
        EXPECT_EQ(NANOGetString(flag, KLVPBFlag::name), "feature");
        for (std::int32_t i = 1; i < KLVPBFlag::kFieldCount; ++i) {
            EXPECT_EQ(NANOHasField(flag, i), i == c.index) << i;
        }
        const Object expected = c.value.isBool() ? Object(1) : c.value;
        EXPECT_EQ(KLVPBFlagValue(&*flag), expected);
    }
}

TEST(KLVPBFlagFunctions, RefusesBadNamesAndValues) {
    struct Case {
        Object name;
        Object value;
        KLVPBFlagFailure failure;
    };
    const Case cases[] = {
        {Object(), 1, {850000, "Flag name must not be nil", ""}},
        {5, 1, {850001, "Flag name must be a string", "integer"}},
        {"f", Object(), {850002, "Flag value is invalid", "null"}},
        {"f", Object::array({1}), {850002, "Flag value is invalid", "array"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failure.message);
        KLVPBFlagFailure failure;
        EXPECT_FALSE(KLVPBFlagWithNameAndValue(c.name, c.value, &failure));
        EXPECT_EQ(failure.code, c.failure.code);
        EXPECT_EQ(failure.message, c.failure.message);
        EXPECT_EQ(failure.context, c.failure.context);
    }
}

}  // namespace
}  // namespace engine
