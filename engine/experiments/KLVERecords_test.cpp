#include <gtest/gtest.h>

#include "engine/base/EngineTestSupport.h"
#include "engine/experiments/ExperimentsTestSupport.h"
#include "engine/settings/KLVEManager.h"

namespace engine {
namespace {

using platform::Object;
using testing::idsOf;
using testing::makeExperimentMessage;
using testing::makeFlag;
using testing::makeSnapshotMessage;

class KLVERecordsTest : public EngineTest {};

TEST_F(KLVERecordsTest, SnapshotFromMessageKeepsOneExperimentPerIDTheLaterWinning) {
    const auto snapshot = KLVESnapshot::initWithProtobuf(makeSnapshotMessage(
        "brackenfold", {makeExperimentMessage(3, {makeFlag("f", "first")}),
                        makeExperimentMessage(3, {makeFlag("f", "second")}),
                        makeExperimentMessage(std::nullopt, {makeFlag("g", 1)})}));
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(idsOf(snapshot), (std::vector<std::int32_t>{0, 3}));
    const auto flag = snapshot->flagByName("f");
    EXPECT_EQ(KLVPBFlagValue(flag ? &*flag : nullptr), Object("second"));
    EXPECT_FALSE(snapshot->manuallyActivated());

    // Without an SDK name there is no snapshot.
    EXPECT_FALSE(KLVESnapshot::initWithProtobuf(makeSnapshotMessage("", {})));
}

TEST_F(KLVERecordsTest, ProtoRoundTripKeepsEveryFlagKind) {
    KLVPBFlag boolFlag;
    NANOSetString(boolFlag, KLVPBFlag::name, "b");
    NANOSetBool(boolFlag, KLVPBFlag::bool_value, true);
    const std::vector<KLVPBFlag> flags = {makeFlag("i", 7), makeFlag("d", 0.25),
                                          makeFlag("s", "text"), boolFlag};
    const auto snapshot =
        KLVESnapshot::initWithSDKName("s", {KLVEExperiment::initWithExperimentID(5, flags),
                                            KLVEExperiment::initWithExperimentID(0, {})});
    const auto decoded = KLVPBSnapshot::initWithBuffer(*snapshot->proto().protoBuffer());
    ASSERT_TRUE(decoded);
    const auto back = KLVESnapshot::initWithProtobuf(*decoded);
    ASSERT_TRUE(back);
    EXPECT_EQ(idsOf(back), (std::vector<std::int32_t>{0, 5}));
    const std::vector<std::pair<std::string, Object>> expected = {
        {"i", Object(7)}, {"d", Object(0.25)}, {"s", Object("text")}, {"b", Object(true)}};
    for (const auto& [name, value] : expected) {
        const auto flag = back->flagByName(name);
        EXPECT_EQ(KLVPBFlagValue(flag ? &*flag : nullptr), value) << name;
    }
}

class Provider : public KLVESDKPropertyProviderDelegate {
  public:
    std::optional<std::map<std::string, std::string>> dynamicCustomPropertiesForSDKProperty(
        const KLVESDKProperty&) override {
        return std::map<std::string, std::string>{{"b", "dynamic"}, {"c", "3"}};
    }
};

TEST_F(KLVERecordsTest, ClientPropertyDiversionAndCustomProperties) {
    struct Case {
        std::string ownKey;
        std::string identityKey;
        std::optional<std::string> diversion;  // nullopt: no message
    };
    const Case cases[] = {
        {"k", "ident", "k-brackenfold"},
        {"", "ident", "ident-brackenfold"},
        {"", "", std::nullopt},
    };
    for (const auto& c : cases) {
        auto property = KLVESDKProperty::initWithName("brackenfold");
        property.setDiversionKey(c.ownKey);
        const auto message = property.proto([&] { return c.identityKey; });
        ASSERT_EQ(message.has_value(), c.diversion.has_value()) << c.ownKey << c.identityKey;
        if (!message) continue;
        EXPECT_EQ(NANOGetString(*message, KLVPBClientProperty::diversion_id), c.diversion);
    }
    EXPECT_EQ(logCount(860001), 1u);

    // Dynamic properties win over fixed ones of the same key; pairs go out by key.
    auto property = KLVESDKProperty::initWithName("s");
    property.setDiversionKey("k");
    property.setCustomProperties({{"a", "fixed"}, {"b", "fixed"}});
    const auto provider = std::make_shared<Provider>();
    property.setDelegate(provider);
    const auto pairs = NANOGetArray<KLVPBCustomProperty>(*property.proto(nullptr),
                                                         KLVPBClientProperty::custom_properties);
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& pair : *pairs) {
        got.emplace_back(*NANOGetString(pair, KLVPBCustomProperty::key),
                         *NANOGetString(pair, KLVPBCustomProperty::value));
    }
    EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{
                       {"a", "fixed"}, {"b", "dynamic"}, {"c", "3"}}));
}

}  // namespace
}  // namespace engine
