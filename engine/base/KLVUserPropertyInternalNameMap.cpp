#include "engine/base/KLVUserPropertyInternalNameMap.h"

namespace engine {

const KLVUserPropertyNameMap& KLVUserPropertyInternalNameMap() {
    static const KLVUserPropertyNameMap kMap = {
        {"tarnwell_last_notification", "_ln"}, {"first_open_after_install", "_fi"},
        {"first_open_time", "_fot"},           {"pe_session_id", "_sid"},
        {"pe_session_number", "_sno"},         {"last_advertising_id_reset", "_lair"},
        {"last_deep_link_referrer", "_ldl"},   {"lifetime_user_engagement", "_lte"},
        {"session_user_engagement", "_se"},    {"user_id", "_id"},
    };
    return kMap;
}

}  // namespace engine
