#include "engine/messages/MessageType.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// A few schemas transcribed from the message documents; the wire vectors pin the rest through the
// same generated tables.
const std::vector<SchemaRow>& documentedSchemas() {
    static const std::vector<SchemaRow> rows = {
        {"Event", 5, 1, {{1, RM, "EventParam"}, {2, S}, {3, L}, {4, L}, {5, I}}},
        {"EventParam", 6, 1, {{1, S}, {2, S}, {3, L}, {4, F}, {5, D}, {6, RM, "EventParam"}}},

        {"MeasurementBatch", 4, 1, {{1, RM, "MeasurementBundle"}, {7, S}, {8, S}, {9, E}}},
        {"ResultData",
         4,
         4,
         {{1, RUL},
          {2, RUL},
          {3, RM, "DynamicFilterResultTimestamp"},
          {4, RM, "SequenceFilterResultTimestamp"}}},
        {"SequenceFilterResultTimestamp", 2, 1, {{1, I}, {2, RL}}},
        {"StringFilter", 4, 1, {{1, E}, {2, S}, {3, B}, {4, RS}}},
        {"Program", 2, 1, {{1, RM, "RuntimeEntity"}, {2, M, "OgtActivities"}}},

    };
    return rows;
}

TEST(MessageType, EveryMessageMatchesItsDocumentedSchema) {
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

TEST(MessageType, NamedIndexesFollowTheDeclarationOrder) {
    struct Case {
        std::int32_t index;
        std::int32_t expected;
    };
    const Case cases[] = {
        // Tags 26 and 27 are declared after 6 and 19: indexes follow declarations, not tags.
        {KLVPBMeasurementBundle::previous_start_timestamp_millis, 6},
        {KLVPBMeasurementBundle::previous_end_timestamp_millis, 7},
        {KLVPBMeasurementBundle::vendor_device_id, 20},
        {KLVPBMeasurementBundle::limited_ad_tracking, 21},
        {KLVPBMeasurementBundle::ad_campaign_info, 52},
        {KLVPBMeasurementConfig::region, 15},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.index, c.expected);
}

}  // namespace
}  // namespace engine
