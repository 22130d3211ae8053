#include "engine/events/KLVEventAggregates.h"

#include <limits>
#include <ostream>
#include <utility>

#include "engine/base/KLVMonitor.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Object.h"

namespace engine {

namespace {

constexpr std::int64_t kNegativeCountCode = 17000;
constexpr std::int64_t kLifetimeOverflowCode = 17001;
constexpr std::int64_t kBundleOverflowCode = 17002;
constexpr std::int64_t kSessionOverflowCode = 17003;

void increment(std::int32_t& counter, std::int64_t overflowCode, const char* overflowMessage) {
    if (counter == std::numeric_limits<std::int32_t>::max()) {
        counter = 0;
        monitor().logWithLevel(kKLVLogWarningSilent, overflowCode, overflowMessage);
        return;
    }
    ++counter;
}

}  // namespace

KLVEventAggregates::KLVEventAggregates(std::string name, std::int32_t lifetimeCount,
                                       std::int32_t currentBundleCount,
                                       std::int32_t currentSessionCount, double lastFireTimestamp)
    : name_(std::move(name)),
      lifetimeCount_(lifetimeCount),
      currentBundleCount_(currentBundleCount),
      currentSessionCount_(currentSessionCount),
      lastFireTimestamp_(lastFireTimestamp) {}

std::optional<KLVEventAggregates> KLVEventAggregates::initWithName(std::string name,
                                                                   std::int32_t lifetimeCount,
                                                                   std::int32_t currentBundleCount,
                                                                   std::int32_t currentSessionCount,
                                                                   double lastFireTimestamp) {
    if (!KLVDataTypeValidator::isValidInternalEventName(name)) return std::nullopt;
    if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
        monitor().logWithLevel(
            kKLVLogWarningSilent, kNegativeCountCode,
            "Failed to create event aggregates object. Received negative count.");
        return std::nullopt;
    }
    return KLVEventAggregates(std::move(name), lifetimeCount, currentBundleCount,
                              currentSessionCount, lastFireTimestamp);
}

void KLVEventAggregates::incrementLifetimeCount() {
    increment(lifetimeCount_, kLifetimeOverflowCode,
              "Lifetime count overflow. Lifetime count reset to 0.");
}

void KLVEventAggregates::incrementCurrentBundleCount() {
    increment(currentBundleCount_, kBundleOverflowCode,
              "Bundle count overflow. Bundle count reset to 0.");
}

void KLVEventAggregates::incrementCurrentSessionCount() {
    increment(currentSessionCount_, kSessionOverflowCode,
              "Session count overflow. Session count reset to 0.");
}

void PrintTo(const KLVEventAggregates& aggregates, std::ostream* os) {
    *os << "KLVEventAggregates{name: " << platform::Object(aggregates.name()).description()
        << ", lifetimeCount: " << aggregates.lifetimeCount()
        << ", currentBundleCount: " << aggregates.currentBundleCount()
        << ", currentSessionCount: " << aggregates.currentSessionCount()
        << ", lastFireTimestamp: " << platform::shortestNumberText(aggregates.lastFireTimestamp())
        << ", lastBundledTimestamp: "
        << platform::shortestNumberText(aggregates.lastBundledTimestamp())
        << ", lastSampledComplexEventID: ";
    if (const auto& id = aggregates.lastSampledComplexEventID())
        *os << *id;
    else
        *os << "none";
    *os << ", lastSamplingRate: " << aggregates.lastSamplingRate()
        << ", lastExemptFromSampling: " << (aggregates.lastExemptFromSampling() ? "true" : "false")
        << ", lastBundledDay: " << aggregates.lastBundledDay() << '}';
}

}  // namespace engine
