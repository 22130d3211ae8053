#include "engine/purchases/KLVLifetimeValueRecorder.h"

#include <cctype>
#include <cmath>
#include <limits>

#include "engine/base/KLVLogLevel.h"
#include "engine/base/KLVMonitor.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "platform/dispatch/Clock.h"

namespace engine {
namespace {

// 2^63 as a double: the first value beyond int64.
constexpr double kInt64Bound = 9223372036854775808.0;

bool fitsInt64(double value) {
    return std::isfinite(value) && value >= -kInt64Bound && value < kInt64Bound;
}

// The database answers false without an error when there was nothing to do; that is success.
bool failed(const platform::Error& error) {
    return !error.domain.empty() || error.code != 0;
}

}  // namespace

bool KLVLifetimeValueRecorder::isEcommercePurchaseEvent(const KLVEvent& event) {
    const auto& name = event.name();
    return name == "ecommerce_purchase" || name == "purchase" || name == "refund";
}

bool KLVLifetimeValueRecorder::isPurchaseEvent(const KLVEvent& event) {
    return event.name() == "_iap" || isEcommercePurchaseEvent(event);
}

bool KLVLifetimeValueRecorder::recordLifetimeValueToDatabase(KLVDatabase& database,
                                                             const KLVEvent& event) {
    auto& monitor = engine::monitor();
    if (!isPurchaseEvent(event)) return true;
    const auto outOfBounds = [&monitor] {
        monitor.logWithLevel(kKLVLogErrorMonitored, 22002,
                             "Cannot record transaction with value that is out of bounds");
        return false;
    };
    const auto& parameters = event.parameters();
    const auto currency = parameters.find("currency");
    if (currency == parameters.end() || !currency->second.isString() ||
        currency->second.stringValue()->size() != 3) {
        monitor.logWithLevel(
            kKLVLogErrorMonitored, 22000, "Cannot record transaction with invalid currency code",
            currency == parameters.end() ? MonitorContext()
                                         : MonitorContext(currency->second.value()));
        return true;
    }
    const auto value = parameters.find("value");
    if (value == parameters.end() || !(value->second.isDouble() || value->second.isInt64())) {
        monitor.logWithLevel(
            kKLVLogErrorMonitored, 22001,
            "Cannot record transaction with invalid transaction value",
            value == parameters.end() ? MonitorContext() : MonitorContext(value->second.value()));
        return true;
    }
    std::int64_t amount = 0;
    if (isEcommercePurchaseEvent(event)) {
        const double raw = value->second.isDouble()
                               ? value->second.doubleValue()
                               : static_cast<double>(value->second.int64Value());
        const double micros = std::round(raw * 1'000'000.0);
        if (!fitsInt64(micros)) {
            return outOfBounds();
        }
        amount = static_cast<std::int64_t>(micros);
        if (event.name() == "refund") {
            if (amount == std::numeric_limits<std::int64_t>::min()) {
                return outOfBounds();
            }
            amount = -amount;
        }
    } else if (value->second.isInt64()) {
        amount = value->second.int64Value();
    } else {
        const double cut = std::trunc(value->second.doubleValue());
        if (!fitsInt64(cut)) {
            return outOfBounds();
        }
        amount = static_cast<std::int64_t>(cut);
    }

    std::string name = "_ltv_";
    for (char c : *currency->second.stringValue())
        name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));

    platform::Error error;
    const auto stored = database.allLifetimeValueUserAttributes(&error);
    if (!stored && failed(error)) {
        monitor.logWithLevel(kKLVLogErrorMonitored, 22003,
                             "Failed to query all Lifetime Value User properties. Error", error);
        return false;
    }
    std::int64_t total = amount;
    bool found = false;
    const auto lifetimeValues = stored.value_or(std::vector<KLVUserAttribute>{});
    for (const auto& attribute : lifetimeValues) {
        if (attribute.name() != name) continue;
        found = true;
        if (__builtin_add_overflow(attribute.value().int64Value(), amount, &total)) {
            // The total stays as it was rather than wrapping around.
            return outOfBounds();
        }
        break;
    }
    if (!found) {
        const auto limit = KLVRemoteConfig::current()->maxTrackedCurrencies();
        if (static_cast<std::int64_t>(lifetimeValues.size()) >= limit && !lifetimeValues.empty()) {
            const std::string& oldest = lifetimeValues.back().name();
            platform::Error deleteError;
            if (!database.deleteUserAttributeWithName(oldest, &deleteError) &&
                failed(deleteError)) {
                monitor.logWithLevel(kKLVLogErrorMonitored, 22004,
                                     "Unable to delete Lifetime Value User property. Name, error",
                                     oldest, deleteError);
                return false;
            }
        }
    }
    const auto attribute = KLVUserAttribute::initWithOrigin(
        "auto", name, KLVValue::initWithInt64(total), platform::Clock::current().now());
    if (!attribute)
        return true;  // the validator logged why; the name and kind are fixed, so never here
    platform::Error writeError;
    if (!database.updateUserAttribute(*attribute, &writeError) && failed(writeError)) {
        monitor.logWithLevel(
            kKLVLogErrorMonitored, 22005,
            "Unable to upsert Lifetime Value User Attribute in database. Name, error", name,
            writeError);
        return false;
    }
    monitor.logWithLevel(kKLVLogDebug, 22006, "Lifetime value has been updated in database", name,
                         total);
    return true;
}

}  // namespace engine
