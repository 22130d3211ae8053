#pragma once

// Decoding what an upload sent, for tests: a recorded "/a" request as its batch, a batch's
// bundles, and a bundle's events and user attributes as name → value maps.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/NANOAccessors.h"
#include "platform/foundation/Object.h"
#include "testkit/LoopbackServer.h"

namespace engine::testing {

using ValueMap = std::map<std::string, platform::Object, std::less<>>;

// The server has already inflated the gzip body.
inline KLVPBMeasurementBatch decodeUploadedBatch(const testkit::RecordedRequest& request) {
    const std::vector<std::uint8_t> bytes(request.body.begin(), request.body.end());
    auto batch = KLVPBMeasurementBatch::initWithBuffer(bytes);
    EXPECT_TRUE(batch) << "the body of " << request.path << " is no batch";
    return batch.value_or(KLVPBMeasurementBatch());
}

inline std::vector<KLVPBMeasurementBundle> bundlesOf(const KLVPBMeasurementBatch& batch) {
    return NANOGetArray<KLVPBMeasurementBundle>(batch, KLVPBMeasurementBatch::bundles)
        .value_or(std::vector<KLVPBMeasurementBundle>{});
}

inline std::vector<KLVPBEvent> eventsOf(const KLVPBMeasurementBundle& bundle) {
    return NANOGetArray<KLVPBEvent>(bundle, KLVPBMeasurementBundle::events)
        .value_or(std::vector<KLVPBEvent>{});
}

// A value as the message holds it: string, 64-bit integer or double; null when none is set.
template <typename Message>
platform::Object valueOf(const Message& message, std::int32_t stringField, std::int32_t intField,
                         std::int32_t doubleField) {
    if (NANOHasField(message, stringField))
        return platform::Object(NANOGetString(message, stringField).value_or(""));
    if (NANOHasField(message, intField)) return platform::Object(NANOGetInt64(message, intField));
    if (NANOHasField(message, doubleField))
        return platform::Object(NANOGetDouble(message, doubleField));
    return platform::Object();
}

inline ValueMap parametersOf(const KLVPBEvent& event) {
    ValueMap values;
    for (const auto& param : NANOGetArray<KLVPBEventParam>(event, KLVPBEvent::params)
                                 .value_or(std::vector<KLVPBEventParam>{})) {
        values[NANOGetString(param, KLVPBEventParam::name).value_or("")] =
            valueOf(param, KLVPBEventParam::string_value, KLVPBEventParam::int_value,
                    KLVPBEventParam::double_value);
    }
    return values;
}

inline ValueMap userAttributesOf(const KLVPBMeasurementBundle& bundle) {
    ValueMap values;
    for (const auto& attribute :
         NANOGetArray<KLVPBUserAttribute>(bundle, KLVPBMeasurementBundle::user_attributes)
             .value_or(std::vector<KLVPBUserAttribute>{})) {
        values[NANOGetString(attribute, KLVPBUserAttribute::name).value_or("")] =
            valueOf(attribute, KLVPBUserAttribute::string_value, KLVPBUserAttribute::int_value,
                    KLVPBUserAttribute::double_value);
    }
    return values;
}

}  // namespace engine::testing
