#pragma once

// One user property as the engine keeps it (a row of "user_attributes"): who set it, its internal
// name, its value and when it was last set, with its message form for upload bundles.

#include <iosfwd>
#include <optional>
#include <string>

#include "engine/events/KLVValue.h"
#include "engine/messages/KLVPBMessages.h"

namespace engine {

class KLVUserAttribute {
  public:
    // Nullopt unless the name passes the internal user-property name rule and the value the
    // internal user-property value rule (the validator logs why). The origin may be empty for
    // properties stored before origins were kept.
    static std::optional<KLVUserAttribute> initWithOrigin(std::string origin, std::string name,
                                                          KLVValue value, double lastSetTimestamp);

    const std::string& origin() const { return origin_; }
    const std::string& name() const { return name_; }
    const KLVValue& value() const { return value_; }
    // Seconds since 1970.
    double lastSetTimestamp() const { return lastSetTimestamp_; }

    // A non-empty name that does not begin with "_".
    bool isPublic() const;
    // The UserAttribute message: the time in milliseconds, the name and the value field of the
    // value's kind (none for an array). The origin is not part of it.
    KLVPBUserAttribute protoUserAttribute() const;

  private:
    KLVUserAttribute(std::string origin, std::string name, KLVValue value, double lastSetTimestamp);

    std::string origin_;
    std::string name_;
    KLVValue value_;
    double lastSetTimestamp_;
};

// For failure messages: KLVUserAttribute{origin: "app", name: "plan", value: "pro",
// lastSetTimestamp: ...}.
void PrintTo(const KLVUserAttribute& attribute, std::ostream* os);

// The public interface's name for the same record.
using TRWAUserAttribute = KLVUserAttribute;

}  // namespace engine
