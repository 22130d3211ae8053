#include "engine/messages/MessageType.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/messages/KLVPBMessages.h"

namespace engine {
namespace {

// Kind words in the documents' notation.
constexpr std::int32_t B = 0x22, E = 0x42, I = 0x82, L = 0x202, F = 0x802, D = 0x1002, S = 0x2002,
                       M = 0x4002, RU = 0x108, RL = 0x208, RUL = 0x408, RS = 0x2008, RM = 0x4008;

struct FieldRow {
    std::uint32_t tag;
    std::int32_t kind;
    const char* subMessage = nullptr;
};

struct SchemaRow {
    const char* name;
    int fields;
    int repeated;
    std::vector<FieldRow> byIndex;
};

// The schema tables of the message documents, field by field in index order.
const std::vector<SchemaRow>& documentedSchemas() {
    static const std::vector<SchemaRow> rows = {
        {"AdCampaignInfo", 8, 0, {{1, S}, {2, S}, {3, S}, {4, L}, {5, S}, {6, S}, {7, S}, {8, L}}},
        {"AppProperty", 7, 0, {{1, S}, {2, S}, {3, S}, {4, S}, {5, S}, {6, B}, {7, L}}},
        {"Audience",
         5,
         2,
         {{1, I}, {2, RM, "PropertyFilter"}, {3, RM, "EventFilter"}, {4, B}, {5, B}}},
        {"AudienceLeafFilterResult",
         4,
         0,
         {{1, I}, {2, M, "ResultData"}, {3, M, "ResultData"}, {4, B}}},
        {"ClientProperty", 5, 1, {{1, S}, {2, S}, {3, L}, {4, S}, {5, RM, "CustomProperty"}}},
        {"ConsentConfig",
         5,
         4,
         {{1, RM, "ConsentDefaultEntry"},
          {2, RM, "ConsentDelegationEntry"},
          {3, RM, "CorePlatformServiceEntry"},
          {4, B},
          {5, RM, "ConsentDefaultEntry"}}},
        {"ConsentDefaultEntry", 2, 0, {{1, E}, {2, E}}},
        {"ConsentDelegationEntry", 2, 0, {{1, E}, {2, E}}},
        {"CorePlatformServiceEntry", 2, 0, {{1, S}, {2, S}}},
        {"CustomProperty", 2, 0, {{1, S}, {2, S}}},
        {"DataControl", 3, 1, {{1, S}, {2, RM, "Region"}, {3, B}}},
        {"DynamicFilterResultTimestamp", 2, 0, {{1, I}, {2, L}}},
        {"Event", 5, 1, {{1, RM, "EventParam"}, {2, S}, {3, L}, {4, L}, {5, I}}},
        {"EventConfig", 4, 0, {{1, S}, {2, B}, {3, B}, {4, I}}},
        {"EventFilter",
         8,
         1,
         {{1, I},
          {2, S},
          {3, RM, "Filter"},
          {4, B},
          {5, M, "NumberFilter"},
          {6, B},
          {7, B},
          {8, B}}},
        {"EventParam", 6, 1, {{1, S}, {2, S}, {3, L}, {4, F}, {5, D}, {6, RM, "EventParam"}}},
        {"Experiment", 2, 1, {{1, I}, {2, RM, "Flag"}}},
        {"ExperimentRequest", 2, 1, {{1, M, "AppProperty"}, {2, RM, "ClientProperty"}}},
        {"ExperimentResponse", 2, 2, {{1, RM, "Snapshot"}, {2, RM, "SdkResponse"}}},
        {"Filter", 4, 0, {{1, M, "StringFilter"}, {2, M, "NumberFilter"}, {3, B}, {4, S}}},
        {"Flag", 5, 0, {{1, S}, {2, L}, {3, S}, {4, D}, {5, B}}},
        {"MeasurementBatch", 4, 1, {{1, RM, "MeasurementBundle"}, {7, S}, {8, S}, {9, E}}},
        {"MeasurementBundle",
         53,
         5,
         {{1, I},
          {2, RM, "Event"},
          {3, RM, "UserAttribute"},
          {4, L},
          {5, L},
          {6, L},
          {26, L},
          {7, L},
          {8, S},
          {9, S},
          {10, S},
          {11, S},
          {12, I},
          {13, S},
          {14, S},
          {15, L},
          {16, S},
          {17, L},
          {18, L},
          {19, S},
          {27, S},
          {20, B},
          {21, S},
          {22, L},
          {23, I},
          {24, S},
          {25, S},
          {28, B},
          {29, RM, "AudienceLeafFilterResult"},
          {30, S},
          {31, I},
          {32, I},
          {33, I},
          {34, S},
          {35, L},
          {39, I},
          {41, S},
          {45, RU},
          {47, L},
          {50, S},
          {52, S},
          {53, E},
          {55, B},
          {63, S},
          {64, RS},
          {65, S},
          {67, L},
          {71, S},
          {72, B},
          {73, S},
          {75, S},
          {77, I},
          {79, M, "AdCampaignInfo"}}},
        {"MeasurementConfig",
         16,
         5,
         {{1, L},
          {2, S},
          {3, I},
          {4, RM, "Setting"},
          {5, RM, "EventConfig"},
          {6, RM, "Audience"},
          {7, S},
          {8, B},
          {9, RM, "Program"},
          {10, RM, "DataControl"},
          {11, S},
          {14, S},
          {15, M, "ConsentConfig"},
          {16, M, "PsmSetting"},
          {17, M, "VrexSetting"},
          {18, M, "Region"}}},
        {"NumberFilter", 5, 0, {{1, E}, {2, B}, {3, S}, {4, S}, {5, S}}},
        {"OgtActivities", 1, 1, {{1, RM, "OgtActivity"}}},
        {"OgtActivity", 2, 1, {{1, S}, {2, RM, "RuntimeEntity"}}},
        {"Program", 2, 1, {{1, RM, "RuntimeEntity"}, {2, M, "OgtActivities"}}},
        {"PropertyFilter", 6, 0, {{1, I}, {2, S}, {3, M, "Filter"}, {4, B}, {5, B}, {6, B}}},
        {"PsmSetting", 3, 0, {{1, I}, {2, I}, {3, I}}},
        {"Region", 2, 0, {{1, S}, {2, S}}},
        {"ResultData",
         4,
         4,
         {{1, RUL},
          {2, RUL},
          {3, RM, "DynamicFilterResultTimestamp"},
          {4, RM, "SequenceFilterResultTimestamp"}}},
        {"RuntimeEntity", 6, 1, {{1, E}, {2, RM, "RuntimeEntity"}, {3, S}, {4, S}, {5, B}, {6, D}}},
        {"SdkResponse", 3, 0, {{1, S}, {2, E}, {3, M, "Snapshot"}}},
        {"SequenceFilterResultTimestamp", 2, 1, {{1, I}, {2, RL}}},
        {"Setting", 2, 0, {{1, S}, {2, S}}},
        {"VrexSetting", 4, 0, {{1, S}, {2, S}, {3, S}, {4, I}}},
        {"SkAdNetworkConversionValueRequest",
         6,
         0,
         {{1, L}, {2, S}, {3, S}, {4, S}, {5, L}, {6, L}}},
        {"SkAdNetworkConversionValueResponse",
         8,
         0,
         {{1, E}, {2, S}, {3, I}, {4, E}, {5, B}, {6, L}, {7, L}, {8, L}}},
        {"Snapshot", 2, 1, {{1, S}, {2, RM, "Experiment"}}},
        {"StringFilter", 4, 1, {{1, E}, {2, S}, {3, B}, {4, RS}}},
        {"UserAttribute", 6, 0, {{1, L}, {2, S}, {3, S}, {4, L}, {5, F}, {6, D}}},
    };
    return rows;
}

TEST(MessageType, EveryMessageMatchesItsDocumentedSchema) {
    ASSERT_EQ(documentedSchemas().size(), 42u);
    ASSERT_EQ(allMessageTypes().size(), 42u);
    for (const auto& row : documentedSchemas()) {
        SCOPED_TRACE(row.name);
        const MessageType* type = messageTypeNamed(row.name);
        ASSERT_NE(type, nullptr);
        EXPECT_STREQ(type->name(), row.name);
        ASSERT_EQ(type->fieldCount(), row.fields);
        ASSERT_EQ(static_cast<int>(row.byIndex.size()), row.fields);
        int repeated = 0;
        for (std::int32_t i = 0; i < type->fieldCount(); ++i) {
            SCOPED_TRACE(i);
            const FieldRow& expected = row.byIndex[static_cast<std::size_t>(i)];
            EXPECT_EQ(type->field(i).tag, expected.tag);
            EXPECT_EQ(type->kinds()[static_cast<std::size_t>(i)], expected.kind);
            EXPECT_EQ(type->indexForTag(expected.tag), i);
            const MessageType* sub = type->field(i).messageType;
            EXPECT_STREQ(sub ? sub->name() : nullptr, expected.subMessage);
            repeated += kindIsRepeated(expected.kind) ? 1 : 0;
        }
        EXPECT_EQ(repeated, row.repeated);
    }
}

TEST(MessageType, OnlyTheDocumentedKindWordsAreUsed) {
    std::set<std::int32_t> used;
    for (const auto& type : allMessageTypes())
        used.insert(type.kinds().begin(), type.kinds().end());
    EXPECT_EQ(used, (std::set<std::int32_t>{0x22, 0x42, 0x82, 0x202, 0x802, 0x1002, 0x2002, 0x4002,
                                            0x108, 0x208, 0x408, 0x2008, 0x4008}));
}

// Messages with repeated fields of their own or inside a singular sub-message: the ones whose
// decoding has arrays to fill.
bool hasArrays(const MessageType& type) {
    for (std::int32_t i = 0; i < type.fieldCount(); ++i) {
        const FieldInfo& f = type.field(i);
        if (kindIsRepeated(f.kind)) return true;
        if (f.messageType && hasArrays(*f.messageType)) return true;
    }
    return false;
}

TEST(MessageType, TwentyFiveMessagesHaveArraysToFill) {
    int count = 0;
    for (const auto& type : allMessageTypes())
        count += hasArrays(type) ? 1 : 0;
    EXPECT_EQ(count, 25);
}

TEST(MessageType, TagOrderIsAscendingAndUnknownTagsHaveNoIndex) {
    const MessageType& bundle = KLVPBMeasurementBundle::messageType();
    std::vector<std::uint32_t> tags;
    for (const std::int32_t i : bundle.tagOrder())
        tags.push_back(bundle.field(i).tag);
    EXPECT_TRUE(std::is_sorted(tags.begin(), tags.end()));
    EXPECT_EQ(tags.size(), 53u);
    for (const std::uint32_t unknown : {0u, 36u, 40u, 80u, 1000u}) {
        EXPECT_EQ(bundle.indexForTag(unknown), std::nullopt) << unknown;
    }
}

#define TESSALINE_CHECK_CLASS(Class, Message)                                     \
    EXPECT_EQ(Class::kFieldCount, Class::messageType().fieldCount()) << #Message; \
    EXPECT_STREQ(Class().messageID(), #Message);

TEST(MessageType, WrapperClassesMatchTheirTypes){TESSALINE_MESSAGES(TESSALINE_CHECK_CLASS)}

TEST(MessageType, NamedIndexesFollowTheDeclarationOrder) {
    struct Case {
        std::int32_t index;
        std::int32_t expected;
    };
    const Case cases[] = {
        {KLVPBMeasurementBundle::protocol_version, 0},
        {KLVPBMeasurementBundle::previous_start_timestamp_millis, 6},
        {KLVPBMeasurementBundle::previous_end_timestamp_millis, 7},
        {KLVPBMeasurementBundle::vendor_device_id, 20},
        {KLVPBMeasurementBundle::limited_ad_tracking, 21},
        {KLVPBMeasurementBundle::zkt_app_id, 26},
        {KLVPBMeasurementBundle::field_28, 27},
        {KLVPBMeasurementBundle::bundle_checksum, 38},
        {KLVPBMeasurementBundle::ad_campaign_info, 52},
        {KLVPBEvent::timestamp_millis, 2},
        {KLVPBMeasurementConfig::audiences, 5},
        {KLVPBMeasurementConfig::region, 15},
        {KLVPBFlag::bool_value, 4},
        {KLVPBRuntimeEntity::number_value, 5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.index, c.expected);
}

}  // namespace
}  // namespace engine
