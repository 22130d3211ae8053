#pragma once

// One stored audience event filter (a row of "event_filters"): which audience and filter it is,
// the event it applies to, the encoded EventFilter message and three flags. Set once, unchecked.

#include <cstdint>
#include <string>
#include <utility>

#include "platform/foundation/Object.h"

namespace engine {

class KLVEventFilter {
  public:
    static KLVEventFilter initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                             std::string eventName, platform::Data data,
                                             bool sessionScoped, bool dynamic, bool sequence) {
        return KLVEventFilter(audienceID, filterID, std::move(eventName), std::move(data),
                              sessionScoped, dynamic, sequence);
    }
    KLVEventFilter(std::int32_t audienceID, std::int32_t filterID, std::string eventName,
                   platform::Data data, bool sessionScoped, bool dynamic, bool sequence)
        : audienceID_(audienceID),
          filterID_(filterID),
          eventName_(std::move(eventName)),
          data_(std::move(data)),
          sessionScoped_(sessionScoped),
          dynamic_(dynamic),
          sequence_(sequence) {}

    std::int32_t audienceID() const { return audienceID_; }
    std::int32_t filterID() const { return filterID_; }
    const std::string& eventName() const { return eventName_; }
    const platform::Data& data() const { return data_; }
    // Results are cleared with the session.
    bool isSessionScoped() const { return sessionScoped_; }
    bool isDynamic() const { return dynamic_; }
    // Part of a sequence audience.
    bool isSequence() const { return sequence_; }

  private:
    std::int32_t audienceID_;
    std::int32_t filterID_;
    std::string eventName_;
    platform::Data data_;
    bool sessionScoped_;
    bool dynamic_;
    bool sequence_;
};

}  // namespace engine
