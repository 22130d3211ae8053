#pragma once

// What a stored audience filter holds, whether it filters events or user properties: which
// audience and filter it is, the name it applies to, the encoded filter message and three flags.
// Set once, unchecked.

#include <cstdint>
#include <string>
#include <utility>

#include "platform/foundation/Object.h"

namespace engine {

class KLVFilterRow {
  public:
    KLVFilterRow(std::int32_t audienceID, std::int32_t filterID, std::string name,
                 platform::Data data, bool sessionScoped, bool dynamic, bool sequence)
        : audienceID_(audienceID),
          filterID_(filterID),
          name_(std::move(name)),
          data_(std::move(data)),
          sessionScoped_(sessionScoped),
          dynamic_(dynamic),
          sequence_(sequence) {}

    std::int32_t audienceID() const { return audienceID_; }
    std::int32_t filterID() const { return filterID_; }
    const platform::Data& data() const { return data_; }
    // Results are cleared with the session.
    bool isSessionScoped() const { return sessionScoped_; }
    bool isDynamic() const { return dynamic_; }
    // Part of a sequence audience.
    bool isSequence() const { return sequence_; }

  protected:
    const std::string& name() const { return name_; }

  private:
    std::int32_t audienceID_;
    std::int32_t filterID_;
    std::string name_;
    platform::Data data_;
    bool sessionScoped_;
    bool dynamic_;
    bool sequence_;
};

}  // namespace engine
