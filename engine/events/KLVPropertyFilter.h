#pragma once

// One stored audience filter on a user property (a row of "property_filters"): which audience and
// filter it is, the property it applies to, the encoded PropertyFilter message and three flags.
// Set once, unchecked.

#include <cstdint>
#include <string>
#include <utility>

#include "platform/foundation/Object.h"

namespace engine {

class KLVPropertyFilter {
  public:
    static KLVPropertyFilter initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                std::string propertyName, platform::Data data,
                                                bool sessionScoped, bool dynamic, bool sequence) {
        return KLVPropertyFilter(audienceID, filterID, std::move(propertyName), std::move(data),
                                 sessionScoped, dynamic, sequence);
    }
    KLVPropertyFilter(std::int32_t audienceID, std::int32_t filterID, std::string propertyName,
                      platform::Data data, bool sessionScoped, bool dynamic, bool sequence)
        : sessionScoped_(sessionScoped),
          dynamic_(dynamic),
          sequence_(sequence),
          audienceID_(audienceID),
          filterID_(filterID),
          propertyName_(std::move(propertyName)),
          data_(std::move(data)) {}

    std::int32_t audienceID() const { return audienceID_; }
    std::int32_t filterID() const { return filterID_; }
    const std::string& propertyName() const { return propertyName_; }
    const platform::Data& data() const { return data_; }
    // Results are cleared with the session.
    bool isSessionScoped() const { return sessionScoped_; }
    bool isDynamic() const { return dynamic_; }
    bool isSequence() const { return sequence_; }

  private:
    bool sessionScoped_;
    bool dynamic_;
    bool sequence_;
    std::int32_t audienceID_;
    std::int32_t filterID_;
    std::string propertyName_;
    platform::Data data_;
};

}  // namespace engine
