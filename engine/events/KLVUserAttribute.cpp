#include "engine/events/KLVUserAttribute.h"

#include <ostream>
#include <utility>

#include "engine/base/KLVMilliseconds.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/messages/NANOAccessors.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"

namespace engine {

KLVUserAttribute::KLVUserAttribute(std::string origin, std::string name, KLVValue value,
                                   double lastSetTimestamp)
    : origin_(std::move(origin)),
      name_(std::move(name)),
      value_(std::move(value)),
      lastSetTimestamp_(lastSetTimestamp) {}

std::optional<KLVUserAttribute> KLVUserAttribute::initWithOrigin(std::string origin,
                                                                 std::string name, KLVValue value,
                                                                 double lastSetTimestamp) {
    if (!KLVDataTypeValidator::isValidInternalUserAttributeName(name) ||
        !KLVDataTypeValidator::isValidInternalUserAttributeValue(&value, name)) {
        return std::nullopt;
    }
    return KLVUserAttribute(std::move(origin), std::move(name), std::move(value), lastSetTimestamp);
}

bool KLVUserAttribute::isPublic() const {
    return !name_.empty() && name_.front() != '_';
}

KLVPBUserAttribute KLVUserAttribute::protoUserAttribute() const {
    KLVPBUserAttribute message;
    if (const auto millis = KLVMillisecondsFromSeconds(lastSetTimestamp_)) {
        NANOSetInt64(message, KLVPBUserAttribute::set_timestamp_millis, *millis);
    }
    NANOSetString(message, KLVPBUserAttribute::name, name_);
    switch (value_.valueType()) {
        case KLVValueTypeDouble:
            NANOSetDouble(message, KLVPBUserAttribute::double_value, value_.doubleValue());
            break;
        case KLVValueTypeInt64:
            NANOSetInt64(message, KLVPBUserAttribute::int_value, value_.int64Value());
            break;
        case KLVValueTypeString:
            // The field must read back as text: bytes that are not UTF-8 go in as U+FFFD.
            NANOSetString(message, KLVPBUserAttribute::string_value,
                          platform::toValidUTF8(*value_.stringValue()));
            break;
        case KLVValueTypeArray:
            break;
    }
    return message;
}

void PrintTo(const KLVUserAttribute& attribute, std::ostream* os) {
    *os << "KLVUserAttribute{origin: " << platform::Object(attribute.origin()).description()
        << ", name: " << platform::Object(attribute.name()).description() << ", value: ";
    PrintTo(attribute.value(), os);
    *os << ", lastSetTimestamp: " << platform::shortestNumberText(attribute.lastSetTimestamp())
        << '}';
}

}  // namespace engine
