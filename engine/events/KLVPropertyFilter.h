#pragma once

// One stored audience filter on a user property (a row of "property_filters"): the property it
// applies to and the encoded PropertyFilter message.

#include <cstdint>
#include <string>
#include <utility>

#include "engine/events/KLVFilterRow.h"

namespace engine {

class KLVPropertyFilter : public KLVFilterRow {
  public:
    using KLVFilterRow::KLVFilterRow;
    static KLVPropertyFilter initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                std::string propertyName, platform::Data data,
                                                bool sessionScoped, bool dynamic, bool sequence) {
        return KLVPropertyFilter(audienceID, filterID, std::move(propertyName), std::move(data),
                                 sessionScoped, dynamic, sequence);
    }

    const std::string& propertyName() const { return name(); }
};

}  // namespace engine
