#pragma once

// The engine's 42 protocol-buffer messages, as one table: the wrapper class and the message name.
// The schemas themselves are the .proto files in proto/; the code generator turns them into the
// field tables (tessaline_<Message>_msg) and field lists (tessaline_<Message>_FIELDLIST) that
// MessageType and the wrapper classes are built from.

#include <cstddef>
#include <cstdint>

#include "engine/messages/proto/config.pb.h"
#include "engine/messages/proto/experiments.pb.h"
#include "engine/messages/proto/measurement.pb.h"

// X(WrapperClass, MessageName)
#define TESSALINE_MESSAGES(X)                                                      \
    X(KLVPBAdCampaignInfo, AdCampaignInfo)                                         \
    X(KLVPBAppProperty, AppProperty)                                               \
    X(KLVPBAudience, Audience)                                                     \
    X(KLVPBAudienceLeafFilterResult, AudienceLeafFilterResult)                     \
    X(KLVPBClientProperty, ClientProperty)                                         \
    X(KLVPBConsentConfig, ConsentConfig)                                           \
    X(KLVPBConsentDefaultEntry, ConsentDefaultEntry)                               \
    X(KLVPBConsentDelegationEntry, ConsentDelegationEntry)                         \
    X(KLVPBCorePlatformServiceEntry, CorePlatformServiceEntry)                     \
    X(KLVPBCustomProperty, CustomProperty)                                         \
    X(KLVPBDataControl, DataControl)                                               \
    X(KLVPBDynamicFilterResultTimestamp, DynamicFilterResultTimestamp)             \
    X(KLVPBEvent, Event)                                                           \
    X(KLVPBEventConfig, EventConfig)                                               \
    X(KLVPBEventFilter, EventFilter)                                               \
    X(KLVPBEventParam, EventParam)                                                 \
    X(KLVPBExperiment, Experiment)                                                 \
    X(KLVPBExperimentRequest, ExperimentRequest)                                   \
    X(KLVPBExperimentResponse, ExperimentResponse)                                 \
    X(KLVPBFilter, Filter)                                                         \
    X(KLVPBFlag, Flag)                                                             \
    X(KLVPBMeasurementBatch, MeasurementBatch)                                     \
    X(KLVPBMeasurementBundle, MeasurementBundle)                                   \
    X(KLVPBMeasurementConfig, MeasurementConfig)                                   \
    X(KLVPBNumberFilter, NumberFilter)                                             \
    X(KLVPBOgtActivities, OgtActivities)                                           \
    X(KLVPBOgtActivity, OgtActivity)                                               \
    X(KLVPBProgram, Program)                                                       \
    X(KLVPBPropertyFilter, PropertyFilter)                                         \
    X(KLVPBPsmSetting, PsmSetting)                                                 \
    X(KLVPBRegion, Region)                                                         \
    X(KLVPBResultData, ResultData)                                                 \
    X(KLVPBRuntimeEntity, RuntimeEntity)                                           \
    X(KLVPBSdkResponse, SdkResponse)                                               \
    X(KLVPBSequenceFilterResultTimestamp, SequenceFilterResultTimestamp)           \
    X(KLVPBSetting, Setting)                                                       \
    X(KLVPBVrexSetting, VrexSetting)                                               \
    X(KLVPBSkAdNetworkConversionValueRequest, SkAdNetworkConversionValueRequest)   \
    X(KLVPBSkAdNetworkConversionValueResponse, SkAdNetworkConversionValueResponse) \
    X(KLVPBSnapshot, Snapshot)                                                     \
    X(KLVPBStringFilter, StringFilter)                                             \
    X(KLVPBUserAttribute, UserAttribute)

// A field's index is its declaration position in the schema. With every field generated as a
// callback (proto/messages.options), the generated structure is one pb_callback_t per field in
// declaration order, so the position follows from the field's offset.
#define TESSALINE_FIELD_POSITION(Struct, field) \
    static_cast<std::int32_t>(offsetof(Struct, field) / sizeof(pb_callback_t))

namespace engine {

#define TESSALINE_MESSAGE_ID(Class, Message) Message,
enum class MessageId : int { TESSALINE_MESSAGES(TESSALINE_MESSAGE_ID) };
#undef TESSALINE_MESSAGE_ID

#define TESSALINE_COUNT_ONE(Class, Message) +1
inline constexpr int kMessageCount = 0 TESSALINE_MESSAGES(TESSALINE_COUNT_ONE);
#undef TESSALINE_COUNT_ONE

}  // namespace engine
