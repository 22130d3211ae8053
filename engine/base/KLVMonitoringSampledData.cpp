#include "engine/base/KLVMonitoringSampledData.h"

#include <array>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/security/Random.h"

namespace engine {

namespace {

enum Index : std::size_t { kContext = 0, kPopulation = 1, kKey = 2, kOpenedAt = 3, kCount = 4 };

// Uniform in [0, upperBound) from the secure source, without modulo bias.
std::uint32_t secureUniform(std::uint32_t upperBound) {
    if (upperBound < 2) return 0;
    const std::uint32_t threshold = (0u - upperBound) % upperBound;
    while (true) {
        std::array<std::uint8_t, 4> bytes{};
        if (!platform::randomBytes(bytes)) return 0;
        std::uint32_t value = 0;
        std::memcpy(&value, bytes.data(), sizeof value);
        if (value >= threshold) return value % upperBound;
    }
}

std::int32_t storedPopulation(const platform::Object& number) {
    const auto value = number.numberAsInteger().value_or(0);
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return value < 0 ? 0 : static_cast<std::int32_t>(value);
}

}  // namespace

KLVMonitoringSampledData::KLVMonitoringSampledData(const platform::Object& stored,
                                                   UniformRandom random)
    : random_(random ? std::move(random) : UniformRandom(secureUniform)) {
    if (!isValidUserDefaultsArrayEntry(stored)) return;
    slot_ = Slot{stored[kContext].asString(), storedPopulation(stored[kPopulation]),
                 stored[kKey].asString(), stored[kOpenedAt].asDate()};
}

void KLVMonitoringSampledData::insertOrUpdateSampledDataWithKey(
    std::string_view key, std::string_view encodedContext,
    std::optional<platform::Date> reportedAt) {
    if (!slot_) {
        slot_ = Slot{std::string(encodedContext), 1, std::string(key),
                     reportedAt.value_or(platform::Date{platform::Clock::current().now()})};
        return;
    }
    // The count saturates instead of wrapping; the sampling chance stays uniform enough.
    if (slot_->population < std::numeric_limits<std::int32_t>::max()) ++slot_->population;
    if (random_(static_cast<std::uint32_t>(slot_->population)) == 0) {
        slot_->key = key;
        slot_->context = encodedContext;
    }
}

std::optional<std::string> KLVMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
    const double now = platform::Clock::current().now();
    if (!slot_) {
        if (lastSampledTimestamp > 0 && now - lastSampledTimestamp > samplePeriod) return "0:";
        return std::nullopt;
    }
    if (!(slot_->openedAt.secondsSince1970 < now - samplePeriod)) return std::nullopt;
    std::string data = monitoringURLParamWithKey(slot_->key, slot_->population, slot_->context);
    slot_.reset();
    return data;
}

std::optional<platform::Array> KLVMonitoringSampledData::sampledData() const {
    if (!slot_) return std::nullopt;
    return sampledDataEntryWithKey(slot_->key, slot_->openedAt, slot_->context, slot_->population);
}

bool KLVMonitoringSampledData::isValidUserDefaultsArrayEntry(const platform::Object& entry) {
    const auto* array = entry.getArray();
    if (!array || array->size() != kCount) return false;
    const auto& population = (*array)[kPopulation];
    return (*array)[kContext].isString() && (population.isInteger() || population.isDouble()) &&
           (*array)[kKey].isString() && (*array)[kOpenedAt].isDate();
}

std::string KLVMonitoringSampledData::monitoringURLParamWithKey(std::string_view key,
                                                                std::int32_t population,
                                                                std::string_view context) {
    if (context.empty()) return platform::formatString("%d:%@", population, key);
    return platform::formatString("%d:%@:%@", population, key, context);
}

platform::Array KLVMonitoringSampledData::sampledDataEntryWithKey(std::string_view key,
                                                                  platform::Date timestamp,
                                                                  std::string_view context,
                                                                  std::int32_t population) {
    return platform::Array{platform::Object(context), platform::Object(population),
                           platform::Object(key), platform::Object(timestamp)};
}

}  // namespace engine
