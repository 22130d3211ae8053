#include "engine/base/KLVEventParameterNameMap.h"

namespace engine {

namespace {

struct ParameterNamePair {
    const char* publicName;
    const char* internalName;
};

constexpr ParameterNamePair kParameterNames[] = {
    {"ad_event_id", "_aeid"},
    {"ad_unit_id", "_ai"},
    {"app_in_background", "_aib"},
    {"deferred_analytics_collection", "_dac"},
    {"engagement_time_msec", "_et"},
    {"exposure_time", "_xt"},
    {"tarnwell_conversion", "_c"},
    {"tarnwell_debug", "_dbg"},
    {"tarnwell_error", "_err"},
    {"tarnwell_error_length", "_el"},
    {"tarnwell_error_value", "_ev"},
    {"tarnwell_event_origin", "_o"},
    {"tarnwell_feature_rollouts", "_ffr"},
    {"tarnwell_previous_class", "_pc"},
    {"tarnwell_previous_id", "_pi"},
    {"tarnwell_previous_screen", "_pn"},
    {"tarnwell_realtime", "_r"},
    {"tarnwell_screen", "_sn"},
    {"tarnwell_screen_class", "_sc"},
    {"tarnwell_screen_id", "_si"},
    {"pe_conversion", "_c"},
    {"pe_debug", "_dbg"},
    {"previous_app_version", "_pv"},
    {"previous_first_open_count", "_pfo"},
    {"previous_zkt_app_id", "_pzkt"},
    {"previous_os_version", "_po"},
    {"topic", "_nt"},
    {"pe_dedupe_id", "_did"},
    {"pe_error", "_err"},
    {"pe_error_length", "_el"},
    {"pe_error_value", "_ev"},
    {"pe_event_id", "_eid"},
    {"pe_event_name", "_en"},
    {"pe_event_origin", "_o"},
    {"pe_extra_params_ct", "_epc"},
    {"pe_group_name", "_gn"},
    {"pe_index", "_i"},
    {"pe_list_length", "_ll"},
    {"pe_previous_class", "_pc"},
    {"pe_previous_id", "_pi"},
    {"pe_previous_screen", "_pn"},
    {"pe_realtime", "_r"},
    {"pe_screen", "_sn"},
    {"pe_screen_class", "_sc"},
    {"pe_screen_id", "_si"},
    {"message_id", "_nmid"},
    {"message_name", "_nmn"},
    {"message_time", "_nmt"},
    {"message_tracking_id", "_nmtid"},
    {"message_type", "_nmc"},
    {"message_device_time", "_ndt"},
    {"session_id", "_sid"},
    {"session_number", "_sno"},
    {"update_with_analytics", "_uwa"},
};

}  // namespace

const KLVEventParameterNameTable& KLVEventParameterNameMap() {
    static const KLVEventParameterNameTable table = [] {
        KLVEventParameterNameTable t;
        for (const auto& pair : kParameterNames)
            t.emplace(pair.publicName, pair.internalName);
        return t;
    }();
    return table;
}

}  // namespace engine
