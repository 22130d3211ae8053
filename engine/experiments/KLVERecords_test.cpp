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

class Provider : public KLVESDKPropertyProviderDelegate {
  public:
    std::optional<std::map<std::string, std::string>> dynamicCustomPropertiesForSDKProperty(
        const KLVESDKProperty&) override {
        return std::map<std::string, std::string>{{"b", "dynamic"}, {"c", "3"}};
    }
};

TEST_F(KLVERecordsTest, ClientPropertyDiversionAndCustomProperties) {
    // Own key, identity key, diversion ID (nullopt: no message).
    const std::tuple<std::string, std::string, std::optional<std::string>> cases[] = {
        {"k", "ident", "k-brackenfold"},
        {"", "ident", "ident-brackenfold"},
        {"", "", std::nullopt}};
    for (const auto& [ownKey, identityKey, diversion] : cases) {
        auto property = KLVESDKProperty::initWithName("brackenfold");
        property.setDiversionKey(ownKey);
        const auto message = property.proto([key = identityKey] { return key; });
        ASSERT_EQ(message.has_value(), diversion.has_value()) << ownKey << identityKey;
        if (!message) continue;
        EXPECT_EQ(NANOGetString(*message, KLVPBClientProperty::diversion_id), diversion);
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
