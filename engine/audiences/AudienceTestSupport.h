#pragma once

// Test support for the audience tests (header only): audience definition messages built from
// plain values, and the decoded form of stored results.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/audiences/KLVAudienceFilters.h"
#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/NANOAccessors.h"

namespace engine::testing {

inline KLVPBNumberFilter numberFilter(std::int32_t type, std::optional<std::string> value,
                                      std::optional<std::string> min = std::nullopt,
                                      std::optional<std::string> max = std::nullopt) {
    KLVPBNumberFilter filter;
    NANOSetInt32(filter, KLVPBNumberFilter::comparison_type, type);
    if (value) NANOSetString(filter, KLVPBNumberFilter::comparison_value, *value);
    if (min) NANOSetString(filter, KLVPBNumberFilter::min_comparison_value, *min);
    if (max) NANOSetString(filter, KLVPBNumberFilter::max_comparison_value, *max);
    return filter;
}

inline KLVPBStringFilter stringFilter(std::int32_t type, std::optional<std::string> expression,
                                      bool caseSensitive = false,
                                      const platform::Array& list = {}) {
    KLVPBStringFilter filter;
    NANOSetInt32(filter, KLVPBStringFilter::match_type, type);
    if (expression) NANOSetString(filter, KLVPBStringFilter::expression, *expression);
    if (caseSensitive) NANOSetBool(filter, KLVPBStringFilter::case_sensitive, true);
    if (!list.empty()) NANOSetArray(filter, KLVPBStringFilter::expression_list, list);
    return filter;
}

inline KLVPBFilter filterOf(const KLVPBNumberFilter& number, const std::string& param = "",
                            bool complement = false) {
    KLVPBFilter filter;
    NANOSetMessage(filter, KLVPBFilter::number_filter, &number);
    if (!param.empty()) NANOSetString(filter, KLVPBFilter::param_name, param);
    if (complement) NANOSetBool(filter, KLVPBFilter::complement, true);
    return filter;
}

inline KLVPBFilter filterOf(const KLVPBStringFilter& string, const std::string& param = "",
                            bool complement = false) {
    KLVPBFilter filter;
    NANOSetMessage(filter, KLVPBFilter::string_filter, &string);
    if (!param.empty()) NANOSetString(filter, KLVPBFilter::param_name, param);
    if (complement) NANOSetBool(filter, KLVPBFilter::complement, true);
    return filter;
}

struct Flags {
    bool dynamic = false;
    bool sequence = false;
    bool sessionScoped = false;
};

inline KLVPBEventFilter eventFilter(std::int32_t id, const std::string& name,
                                    const std::vector<KLVPBFilter>& parameters = {},
                                    const std::optional<KLVPBNumberFilter>& count = std::nullopt,
                                    Flags flags = {}) {
    KLVPBEventFilter filter;
    NANOSetInt32(filter, KLVPBEventFilter::filter_id, id);
    NANOSetString(filter, KLVPBEventFilter::event_name, name);
    if (!parameters.empty()) NANOSetArray(filter, KLVPBEventFilter::filters, parameters);
    if (count) NANOSetMessage(filter, KLVPBEventFilter::event_count_filter, &*count);
    if (flags.dynamic) NANOSetBool(filter, KLVPBEventFilter::dynamic, true);
    if (flags.sequence) NANOSetBool(filter, KLVPBEventFilter::sequence, true);
    if (flags.sessionScoped) NANOSetBool(filter, KLVPBEventFilter::session_scoped, true);
    return filter;
}

inline KLVPBPropertyFilter propertyFilter(std::int32_t id, const std::string& name,
                                          const std::optional<KLVPBFilter>& inner,
                                          Flags flags = {}) {
    KLVPBPropertyFilter filter;
    NANOSetInt32(filter, KLVPBPropertyFilter::filter_id, id);
    NANOSetString(filter, KLVPBPropertyFilter::property_name, name);
    if (inner) NANOSetMessage(filter, KLVPBPropertyFilter::filter, &*inner);
    if (flags.dynamic) NANOSetBool(filter, KLVPBPropertyFilter::dynamic, true);
    if (flags.sequence) NANOSetBool(filter, KLVPBPropertyFilter::sequence, true);
    if (flags.sessionScoped) NANOSetBool(filter, KLVPBPropertyFilter::session_scoped, true);
    return filter;
}

inline KLVPBAudience audience(std::optional<std::int32_t> id,
                              const std::vector<KLVPBEventFilter>& events,
                              const std::vector<KLVPBPropertyFilter>& properties = {}) {
    KLVPBAudience message;
    if (id) NANOSetInt32(message, KLVPBAudience::audience_id, *id);
    if (!events.empty()) NANOSetArray(message, KLVPBAudience::event_filters, events);
    if (!properties.empty()) NANOSetArray(message, KLVPBAudience::property_filters, properties);
    return message;
}

// A stored result in plain values: the words and the timestamp entries.
struct DecodedResult {
    std::vector<std::int64_t> status;
    std::vector<std::int64_t> results;
    std::vector<std::pair<std::int32_t, std::int64_t>> dynamic;
    std::vector<std::pair<std::int32_t, std::vector<std::int64_t>>> sequence;
    friend bool operator==(const DecodedResult&, const DecodedResult&) = default;
};

inline std::vector<std::int64_t> integers(const std::optional<platform::Array>& array) {
    std::vector<std::int64_t> out;
    for (const auto& element : array.value_or(platform::Array{}))
        out.push_back(element.numberAsInteger().value_or(0));
    return out;
}

inline DecodedResult decoded(const KLVPBResultData& data) {
    DecodedResult out{integers(NANOGetArray(data, KLVPBResultData::status)),
                      integers(NANOGetArray(data, KLVPBResultData::results)),
                      {},
                      {}};
    const auto dynamic = NANOGetArray<KLVPBDynamicFilterResultTimestamp>(
        data, KLVPBResultData::dynamic_filter_timestamps);
    for (const auto& entry : *dynamic) {
        out.dynamic.emplace_back(
            NANOGetInt32(entry, KLVPBDynamicFilterResultTimestamp::filter_id),
            NANOGetInt64(entry, KLVPBDynamicFilterResultTimestamp::timestamp_millis));
    }
    const auto sequence = NANOGetArray<KLVPBSequenceFilterResultTimestamp>(
        data, KLVPBResultData::sequence_filter_timestamps);
    for (const auto& entry : *sequence) {
        out.sequence.emplace_back(
            NANOGetInt32(entry, KLVPBSequenceFilterResultTimestamp::filter_id),
            integers(NANOGetArray(entry, KLVPBSequenceFilterResultTimestamp::eval_timestamps)));
    }
    return out;
}

inline DecodedResult decoded(const platform::Data& bytes) {
    return decoded(KLVPBResultData::initWithBuffer(bytes).value_or(KLVPBResultData{}));
}

}  // namespace engine::testing
