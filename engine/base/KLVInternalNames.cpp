#include "engine/base/KLVInternalNames.h"

#include <algorithm>
#include <iterator>

namespace engine {

namespace {

template <std::size_t N>
bool contains(const std::string_view (&names)[N], std::string_view name) {
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

}  // namespace

const std::map<std::int64_t, std::string_view>& errorCodeNames() {
    static const std::map<std::int64_t, std::string_view> table = {
#define KLV_EVENT_ERROR_ENTRY(code, name) {code, #name},
        KLV_EVENT_ERRORS(KLV_EVENT_ERROR_ENTRY)
#undef KLV_EVENT_ERROR_ENTRY
    };
    return table;
}

const KLVEventNameTable& adImpressionEventNameMap() {
    static const KLVEventNameTable table = {{"ad_impression", "_ai"}};
    return table;
}

bool KLVIsArrayParameterEvent(std::string_view eventName) {
    static constexpr std::string_view kEvents[] = {
        "add_payment_info",
        "add_shipping_info",
        "add_to_cart",
        "add_to_wishlist",
        "begin_checkout",
        "purchase",
        "refund",
        "remove_from_cart",
        "select_item",
        "select_promotion",
        "view_cart",
        "view_item",
        "view_item_list",
        "view_promotion",
        "ecommerce_purchase",
        "checkout_progress",
        "purchase_refund",
        "select_content",
        "set_checkout_option",
        "view_search_results",
    };
    return contains(kEvents, eventName);
}

bool KLVIsItemParameterName(std::string_view name) {
    static constexpr std::string_view kNames[] = {
        "affiliation",     "coupon",         "creative_name",
        "creative_slot",   "currency",       "discount",
        "index",           "item_id",        "item_brand",
        "item_category",   "item_category2", "item_category3",
        "item_category4",  "item_category5", "item_list_name",
        "item_list_id",    "item_name",      "item_variant",
        "location_id",     "payment_type",   "price",
        "promotion_id",    "promotion_name", "quantity",
        "shipping",        "shipping_tier",  "tax",
        "transaction_id",  "value",          "checkout_step",
        "checkout_option", "item_list",      "item_location_id",
    };
    return contains(kNames, name);
}

bool KLVIsNotErrorEventName(std::string_view name) {
    return name != kKLVErrorEventName;
}

bool KLVIsPurchaseEventName(std::string_view name) {
    static constexpr std::string_view kNames[] = {"ecommerce_purchase", "_f", "_iap", "purchase",
                                                  "refund"};
    return contains(kNames, name);
}

}  // namespace engine
