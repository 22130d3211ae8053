#pragma once

// One stored audience event filter (a row of "event_filters"): the event it applies to and the
// encoded EventFilter message.

#include <cstdint>
#include <string>
#include <utility>

#include "engine/events/KLVFilterRow.h"

namespace engine {

class KLVEventFilter : public KLVFilterRow {
  public:
    using KLVFilterRow::KLVFilterRow;
    static KLVEventFilter initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                             std::string eventName, platform::Data data,
                                             bool sessionScoped, bool dynamic, bool sequence) {
        return KLVEventFilter(audienceID, filterID, std::move(eventName), std::move(data),
                              sessionScoped, dynamic, sequence);
    }

    const std::string& eventName() const { return name(); }
};

}  // namespace engine
