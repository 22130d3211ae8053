#include "engine/messages/MessageInfo.h"

#include <cstdio>
#include <string>

#include "engine/messages/MessageCodec.h"

namespace engine {

FieldValue FieldValue::emptyFor(const FieldInfo& field) {
    FieldValue value;
    if (!kindIsRepeated(field.kind)) return value;
    switch (kindValueType(field.kind)) {
        case kKindString:
        case kKindBytes:
            value.setList(StringList{});
            break;
        case kKindMessage:
            value.setList(MessageList{});
            break;
        default:
            value.setList(ScalarList{});
            break;
    }
    return value;
}

MessageInfo::MessageInfo(const MessageType& type) : type_(&type) {
    fields_.reserve(static_cast<std::size_t>(type.fieldCount()));
    for (std::int32_t i = 0; i < type.fieldCount(); ++i) {
        fields_.push_back(FieldValue::emptyFor(type.field(i)));
    }
}

FieldValue& MessageInfo::field(std::int32_t index) {
    return fields_[static_cast<std::size_t>(index)];
}

const FieldValue& MessageInfo::field(std::int32_t index) const {
    return fields_[static_cast<std::size_t>(index)];
}

bool MessageInfo::clearField(std::int32_t index) {
    if (!type_->isValidIndex(index)) {
        printCodecLine("<ERROR> " + std::string(name()) + ": Cannot deallocate field " +
                       decimalString(index) + ": Unknown field\n");
        return false;
    }
    field(index) = FieldValue::emptyFor(type_->field(index));
    return true;
}

bool operator==(const MessageInfo& a, const MessageInfo& b) {
    return a.type_ == b.type_ && a.fields_ == b.fields_;
}

}  // namespace engine
