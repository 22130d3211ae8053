#include "engine/messages/NANOAccessors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/MessageTestSupport.h"

namespace engine {
namespace {

using platform::Array;
using platform::Object;
using testing::LogCapture;

struct Call {
    const char* operation;
    std::function<void()> run;  // checks its own neutral answer
};

TEST(NANOAccessors, NullMessageAnswersNeutrallyAndLogs) {
    const NANOMessageBase* none = nullptr;
    NANOMessageBase* noneMutable = nullptr;
    const std::vector<Call> calls = {
        {"ClearField", [&] { NANOClearField(noneMutable, 0); }},
        {"GetBool", [&] { EXPECT_FALSE(NANOGetBool(none, 0)); }},
        {"GetString", [&] { EXPECT_EQ(NANOGetString(none, 0), std::nullopt); }},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.operation);
        LogCapture log;
        call.run();
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{std::string("ProtocolBuffer message hasn't been "
                                                       "initialized. ") +
                                           call.operation + " can't be performed"});
    }
    LogCapture log;
    EXPECT_FALSE(NANOHasField(nullptr, 0));
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "ProtocolBuffer message hasn't been initialized. HasField operation "
                               "can't be performed. Message name (null)"});
}

KLVPBEvent sampleEvent() {
    KLVPBEvent event;
    NANOSetString(event, KLVPBEvent::name, "_s");
    NANOSetInt64(event, KLVPBEvent::timestamp_millis, 1700000000123);
    NANOSetInt32(event, KLVPBEvent::field_5, 7);
    KLVPBEventParam param;
    NANOSetString(param, KLVPBEventParam::name, "p");
    NANOSetArray(event, KLVPBEvent::params, std::vector<KLVPBEventParam>{param});
    return event;
}

TEST(NANOAccessors, WrongKindLogsAndChangesNothing) {
    KLVPBEvent event = sampleEvent();
    const KLVPBEvent before = event;
    const std::vector<Call> calls = {
        {"<Nano/Failure> Field type isn't a scalar BOOL. Message: Event, field ID: 1",
         [&] { EXPECT_FALSE(NANOGetBool(event, KLVPBEvent::name)); }},

        {"<Nano/Failure> Field type isn't REPEATED. Message: Event, field ID: 1",
         [&] { EXPECT_EQ(NANOGetArray(event, KLVPBEvent::name), std::nullopt); }},
        {"<Nano/Failure> Field index is out of range. Message: Event, field ID: 5",
         [&] { EXPECT_FALSE(NANOHasField(event, KLVPBEvent::kFieldCount)); }},

    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.operation);
        LogCapture log;
        call.run();
        EXPECT_EQ(log.lines(), std::vector<std::string>{call.operation});
        EXPECT_EQ(event, before);
    }
}

TEST(NANOAccessors, ScalarsReadBackAndAbsentOnesReadZeroSilently) {
    LogCapture log;
    KLVPBSkAdNetworkConversionValueResponse response;
    using R = KLVPBSkAdNetworkConversionValueResponse;
    EXPECT_FALSE(NANOHasField(response, R::fine_value));
    EXPECT_EQ(NANOGetInt32(response, R::fine_value), 0);

    NANOSetInt32(response, R::fine_value, 0);
    NANOSetBool(response, R::lock_window, false);
    EXPECT_TRUE(NANOHasField(response, R::fine_value));  // presence is not content
    EXPECT_TRUE(NANOHasField(response, R::lock_window));

    NANOSetInt32(response, R::coarse_value, -1);  // an enum holding 4294967295
    NANOSetInt64(response, R::expiry_time_millis, INT64_MIN);
    NANOSetBool(response, R::lock_window, true);
    EXPECT_EQ(NANOGetInt32(response, R::coarse_value), -1);
    EXPECT_EQ(response.protoBuffer(),
              testing::bytes({0x18, 0x00, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x28, 0x01, 0x30,
                              0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}));
    EXPECT_EQ(NANOGetInt64(response, R::expiry_time_millis), INT64_MIN);
    EXPECT_TRUE(NANOGetBool(response, R::lock_window));

    KLVPBRuntimeEntity entity;
    NANOSetDouble(entity, KLVPBRuntimeEntity::number_value, -0.0);
    EXPECT_TRUE(std::signbit(NANOGetDouble(entity, KLVPBRuntimeEntity::number_value)));

    NANOClearField(response, R::fine_value);
    EXPECT_FALSE(NANOHasField(response, R::fine_value));
    EXPECT_TRUE(log.lines().empty());
}

TEST(NANOAccessors, StringsKeepPresenceApartFromContent) {
    KLVPBSetting setting;
    EXPECT_EQ(NANOGetString(setting, KLVPBSetting::name), std::nullopt);
    NANOSetString(setting, KLVPBSetting::name, "");
    EXPECT_TRUE(NANOHasField(setting, KLVPBSetting::name));
    EXPECT_EQ(NANOGetString(setting, KLVPBSetting::name), "");
    NANOSetString(setting, KLVPBSetting::name, std::string_view("a\0b", 3));
    EXPECT_EQ(NANOGetString(setting, KLVPBSetting::name), std::string("a\0b", 3));
    NANOSetString(setting, KLVPBSetting::name, std::nullopt);
    EXPECT_FALSE(NANOHasField(setting, KLVPBSetting::name));

    // Bytes that are not UTF-8 stay stored (and encoded) but do not read as text.
    for (const std::string bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80"}) {
        NANOSetString(setting, KLVPBSetting::value, bad);
        EXPECT_TRUE(NANOHasField(setting, KLVPBSetting::value));
        EXPECT_EQ(NANOGetString(setting, KLVPBSetting::value), std::nullopt);
    }
}

TEST(NANOAccessors, ArraysOfNumbersAndStrings) {
    LogCapture log;
    KLVPBResultData data;
    EXPECT_TRUE(NANOHasField(data, KLVPBResultData::status));
    EXPECT_EQ(NANOGetArray(data, KLVPBResultData::status), Array{});

    // 64-bit words come back with the same bits; numbers are truncated toward zero.
    NANOSetArray(data, KLVPBResultData::status, Array{-1, 1.9, -2.9, true});
    EXPECT_EQ(NANOGetArray(data, KLVPBResultData::status), (Array{-1, 1, -2, 1}));
    EXPECT_EQ(data.protoBuffer(),
              testing::bytes({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                              0xFF, 0x01, 0x08, 0x01, 0x08, 0xFE, 0xFF, 0xFF, 0xFF,
                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x08, 0x01}));

    KLVPBMeasurementBundle bundle;
    NANOSetArray(bundle, KLVPBMeasurementBundle::experiment_ids,
                 Array{std::int64_t{4294967295}, std::int64_t{4294967296 + 7}});
    EXPECT_EQ(NANOGetArray(bundle, KLVPBMeasurementBundle::experiment_ids),
              (Array{std::int64_t{4294967295}, 7}));
    NANOSetArray(bundle, KLVPBMeasurementBundle::redacted_fields, Array{"user_id", "", "é"});
    EXPECT_EQ(NANOGetArray(bundle, KLVPBMeasurementBundle::redacted_fields),
              (Array{"user_id", "", "é"}));
    EXPECT_TRUE(log.lines().empty());
}

TEST(NANOAccessors, AnArrayWithAMisfitLeavesTheFieldEmpty) {
    struct Case {
        std::int32_t index;
        Array value;
        const char* logged;
    };
    const Case cases[] = {
        {KLVPBMeasurementBundle::redacted_fields, Array{"a", "b", 3},
         "<ERROR> Invalid object type. String fields expect NSString. Type: integer"},
        {KLVPBMeasurementBundle::events, Array{1},
         "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: integer"},
    };
    KLVPBMeasurementBundle filled;
    NANOSetArray(filled, KLVPBMeasurementBundle::redacted_fields, Array{"x"});
    NANOSetArray(filled, KLVPBMeasurementBundle::events, std::vector<KLVPBEvent>{KLVPBEvent()});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        KLVPBMeasurementBundle bundle = filled;
        LogCapture log;
        NANOSetArray(bundle, c.index, c.value);
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.logged});
        EXPECT_TRUE(NANOHasField(bundle, c.index));
        EXPECT_TRUE(bundle.messageInfo().field(c.index) ==
                    FieldValue::emptyFor(bundle.messageType().field(c.index)));
    }
}

TEST(NANOAccessors, SubMessagesGoInAndComeOutAsCopies) {
    KLVPBMeasurementConfig config;
    EXPECT_FALSE(
        NANOGetMessage<KLVPBConsentConfig>(config, KLVPBMeasurementConfig::consent_config));

    KLVPBConsentConfig consent;
    NANOSetBool(consent, KLVPBConsentConfig::dma_region, true);
    NANOSetMessage(config, KLVPBMeasurementConfig::consent_config, consent);
    NANOSetBool(consent, KLVPBConsentConfig::dma_region, false);  // the stored copy is unaffected

    auto read = NANOGetMessage<KLVPBConsentConfig>(config, KLVPBMeasurementConfig::consent_config);
    ASSERT_TRUE(read);
    EXPECT_TRUE(NANOGetBool(read, KLVPBConsentConfig::dma_region));

    {
        LogCapture log;  // asking for another class: nothing, and nothing logged
        EXPECT_FALSE(NANOGetMessage<KLVPBRegion>(config, KLVPBMeasurementConfig::consent_config));
        EXPECT_TRUE(log.lines().empty());
    }
    {
        LogCapture log;  // storing another type is refused; the field keeps what it had
        NANOSetMessage(config, KLVPBMeasurementConfig::consent_config, KLVPBRegion());
        EXPECT_EQ(log.lines(), std::vector<std::string>{
                                   "<ERROR> Invalid message type. Field expects ConsentConfig. "
                                   "Type: Region"});
        EXPECT_TRUE(NANOHasField(config, KLVPBMeasurementConfig::consent_config));
    }
    NANOSetMessage(config, KLVPBMeasurementConfig::consent_config, nullptr);
    EXPECT_FALSE(NANOHasField(config, KLVPBMeasurementConfig::consent_config));
}

TEST(NANOAccessors, ArraysOfMessages) {
    KLVPBEvent event = sampleEvent();
    // An array value: a named parameter whose entries are nameless elements.
    KLVPBEventParam entry;
    NANOSetInt64(entry, KLVPBEventParam::int_value, 3);
    KLVPBEventParam array;
    NANOSetString(array, KLVPBEventParam::name, "items");
    NANOSetArray(array, KLVPBEventParam::param_value, std::vector<KLVPBEventParam>{entry, entry});
    EXPECT_EQ(array.protoBuffer(), testing::bytes({0x0A, 0x05, 'i', 't', 'e', 'm', 's', 0x32, 0x02,
                                                   0x18, 0x03, 0x32, 0x02, 0x18, 0x03}));

    // A message may be stored into its own list: the copy is taken first.
    NANOSetArray(array, KLVPBEventParam::param_value, std::vector<KLVPBEventParam>{array});
    const auto nested = NANOGetArray<KLVPBEventParam>(array, KLVPBEventParam::param_value);
    ASSERT_EQ(nested->size(), 1u);
    EXPECT_EQ(NANOGetArray<KLVPBEventParam>(nested->front(), KLVPBEventParam::param_value)->size(),
              2u);

    struct Refusal {
        std::function<void()> run;
        const char* logged;
    };
    const Refusal refusals[] = {
        {[&] { NANOSetArray(event, KLVPBEvent::params, std::vector<KLVPBRegion>{KLVPBRegion()}); },
         "<ERROR> Invalid message type. Field expects EventParam. Type: Region"},
        {[&] {
             NANOSetArray(event, KLVPBEvent::params,
                          std::vector<KLVPBEventParam>{entry, KLVPBEventParam()});
             KLVPBSequenceFilterResultTimestamp timestamps;
             NANOSetArray(timestamps, KLVPBSequenceFilterResultTimestamp::eval_timestamps,
                          std::vector<KLVPBEvent>{event});
         },
         "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: KLVPBEvent"},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.logged);
        LogCapture log;
        refusal.run();
        EXPECT_EQ(log.lines(), std::vector<std::string>{refusal.logged});
    }
    EXPECT_EQ(NANOGetArray<KLVPBEventParam>(event, KLVPBEvent::params)->size(), 2u);
}

}  // namespace
}  // namespace engine
