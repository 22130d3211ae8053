#include "engine/base/KLVEventNameMap.h"

#include "engine/base/KLVMonitor.h"

namespace engine {

namespace {

struct NamePair {
    const char* publicName;
    const char* internalName;
};

constexpr NamePair kEventNames[] = {
    {"adunit_exposure", "_xu"},
    {"ad_activeview", "_aa"},
    {"ad_click", "_ac"},
    {"ad_exposure", "_xa"},
    {"ad_impression", "_ai"},
    {"ad_query", "_aq"},
    {"ad_reward", "_ar"},
    {"app_clear_data", "_cd"},
    {"app_exception", "_ae"},
    {"app_remove", "_ui"},
    {"app_store_refund", "_asr"},
    {"app_store_subscription_cancel", "_asse"},
    {"app_store_subscription_convert", "_assc"},
    {"app_store_subscription_renew", "_assr"},
    {"app_update", "_au"},
    {"app_upgrade", "_ug"},
    {"pe_campaign", "_cmp"},
    {"pe_extra_parameter", "_ep"},
    {"in_app_purchase", "_iap"},
    {"notification_dismiss", "_nd"},
    {"notification_foreground", "_nf"},
    {"notification_open", "_no"},
    {"notification_receive", "_nr"},
    {"os_update", "_ou"},
    {"screen_view", "_vs"},
    {"session_start", "_s"},
    {"session_start_with_rollout", "_ssr"},
    {"user_engagement", "_e"},
    {"first_open", "_f"},
    {"first_visit", "_v"},
    {"error", "_err"},
    {"tarnwell_campaign", "_cmp"},
};

constexpr std::int64_t kNameNotStringCode = 18002;
constexpr std::int64_t kNameEmptyCode = 18003;

}  // namespace

const KLVEventNameTable& KLVEventNameMap() {
    static const KLVEventNameTable table = [] {
        KLVEventNameTable t;
        for (const auto& pair : kEventNames)
            t.emplace(pair.publicName, pair.internalName);
        return t;
    }();
    return table;
}

const KLVEventNameTable& KLVEventNameMapReversed() {
    static const KLVEventNameTable table = [] {
        KLVEventNameTable t;
        // In public-name order, so that of two public names the first in that order stays.
        for (const auto& [publicName, internalName] : KLVEventNameMap()) {
            t.emplace(internalName, publicName);
        }
        return t;
    }();
    return table;
}

bool KLVIsPublicName(const platform::Object& name) {
    const auto* text = name.getString();
    if (!text) {
        monitor().logWithLevel(kKLVLogErrorSilent, kNameNotStringCode,
                               "Cannot check the name. Name is not a string");
        return false;
    }
    if (text->empty()) {
        monitor().logWithLevel(kKLVLogErrorSilent, kNameEmptyCode,
                               "Cannot check the name. Name is empty");
        return false;
    }
    return text->front() != '_';
}

}  // namespace engine
