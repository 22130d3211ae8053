#pragma once

// The monitor's health record: one slot that keeps, per sampling period, one message chosen
// uniformly among all monitorable messages of the period, with the number of messages seen and
// the time the period opened. Stored as a four-element array
//   [encoded context (string), population (number), key (string), opened at (date)].
// Not thread-safe: the monitor uses it only on its own queue.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Object.h"

namespace engine {

class KLVMonitoringSampledData {
  public:
    // A uniform random number below `upperBound` (which is at least 1).
    using UniformRandom = std::function<std::uint32_t(std::uint32_t upperBound)>;

    // Adopts `stored` when it is a valid slot, else starts empty. Without a random source the
    // system's secure source is used.
    explicit KLVMonitoringSampledData(const platform::Object& stored = {},
                                      UniformRandom random = {});

    // Opens the slot with this message, reported at `reportedAt` (default: now), or counts it and
    // keeps it with probability 1/population in place of the kept one (the opening time stays).
    void insertOrUpdateSampledDataWithKey(std::string_view key, std::string_view encodedContext,
                                          std::optional<platform::Date> reportedAt = std::nullopt);

    // The record due for sending: "<population>:<key>:<context>" ("<population>:<key>" for an
    // empty context) when the slot opened more than `samplePeriod` seconds ago, which empties the
    // slot; "0:" when there is no slot and `lastSampledTimestamp` (when above 0) lies more than a
    // period in the past; else nullopt.
    std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(
        double samplePeriod, double lastSampledTimestamp);

    // The slot as its stored array; nullopt when empty.
    std::optional<platform::Array> sampledData() const;

    // Exactly [string, number, string, date].
    static bool isValidUserDefaultsArrayEntry(const platform::Object& entry);
    static std::string monitoringURLParamWithKey(std::string_view key, std::int32_t population,
                                                 std::string_view context);
    static platform::Array sampledDataEntryWithKey(std::string_view key, platform::Date timestamp,
                                                   std::string_view context,
                                                   std::int32_t population);

  private:
    struct Slot {
        std::string context;
        std::int32_t population = 0;
        std::string key;
        platform::Date openedAt;
    };

    std::optional<Slot> slot_;
    UniformRandom random_;
};

}  // namespace engine
