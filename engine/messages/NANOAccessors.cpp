#include "engine/messages/NANOAccessors.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <limits>
#include <string>

#include "platform/foundation/Log.h"
#include "platform/foundation/Text.h"

namespace engine {

namespace {

enum class Access {
    HasField,
    ClearField,
    GetBool,
    SetBool,
    GetInt32,
    SetInt32,
    GetInt64,
    SetInt64,
    GetDouble,
    SetDouble,
    GetString,
    SetString,
    GetMessage,
    SetMessage,
    GetArray,
    SetArray,
};

// The exact kind tests: a field passes when its kind word has the type bit and the label the
// accessor needs.
bool anyKind(std::int32_t) {
    return true;
}
bool boolKind(std::int32_t k) {
    return (k & 0x28) == 0x20;
}
bool int32Kind(std::int32_t k) {
    return (k & 0x1C0) != 0 && (k & kKindRepeated) == 0;
}
bool int64Kind(std::int32_t k) {
    return (k & 0x600) != 0 && (k & kKindRepeated) == 0;
}
bool doubleKind(std::int32_t k) {
    return (k & 0x1008) == 0x1000;
}
bool stringKind(std::int32_t k) {
    return (k & 0x2008) == 0x2000;
}
bool messageKind(std::int32_t k) {
    return (k & 0x4008) == 0x4000;
}
bool repeatedKind(std::int32_t k) {
    return (k & kKindRepeated) != 0;
}

struct AccessRule {
    Access access;
    const char* operation;
    bool (*accepts)(std::int32_t kind);
    const char* expected;  // completes "Field type isn't ..."
};

constexpr AccessRule kAccessRules[] = {
    {Access::HasField, "HasField", anyKind, ""},
    {Access::ClearField, "ClearField", anyKind, ""},
    {Access::GetBool, "GetBool", boolKind, "a scalar BOOL"},
    {Access::SetBool, "SetBool", boolKind, "a scalar BOOL"},
    {Access::GetInt32, "GetInt32", int32Kind, "a scalar INT32"},
    {Access::SetInt32, "SetInt32", int32Kind, "a scalar INT32"},
    {Access::GetInt64, "GetInt64", int64Kind, "a scalar INT64"},
    {Access::SetInt64, "SetInt64", int64Kind, "a scalar INT64"},
    {Access::GetDouble, "GetDouble", doubleKind, "a scalar DOUBLE"},
    {Access::SetDouble, "SetDouble", doubleKind, "a scalar DOUBLE"},
    {Access::GetString, "GetString", stringKind, "a scalar STRING"},
    {Access::SetString, "SetString", stringKind, "a scalar STRING"},
    {Access::GetMessage, "GetMessage", messageKind, "a scalar MESSAGE"},
    {Access::SetMessage, "SetMessage", messageKind, "a scalar MESSAGE"},
    {Access::GetArray, "GetArray", repeatedKind, "REPEATED"},
    {Access::SetArray, "SetArray", repeatedKind, "REPEATED"},
};

const AccessRule& ruleOf(Access access) {
    return *std::find_if(std::begin(kAccessRules), std::end(kAccessRules),
                         [&](const AccessRule& s) { return s.access == access; });
}

std::string fieldText(const MessageInfo& info, std::int32_t index) {
    return ". Message: " + std::string(info.name()) + ", field ID: " + decimalString(index);
}

void logUninitialised(Access access) {
    if (access == Access::HasField) {
        platform::systemLog(
            "ProtocolBuffer message hasn't been initialized. HasField operation can't be "
            "performed. Message name (null)");
        return;
    }
    platform::systemLog(std::string("ProtocolBuffer message hasn't been initialized. ") +
                        ruleOf(access).operation + " can't be performed");
}

// The common start of every accessor: the message's MessageInfo when the call may go on, after
// the null, index and kind checks; null (having logged why) otherwise.
template <class Info>
Info* checked(Info* info, std::int32_t index, Access access) {
    if (!info) {
        logUninitialised(access);
        return nullptr;
    }
    if (!info->type().isValidIndex(index)) {
        // The index comes from the caller; it must never be used to read outside the message.
        platform::systemLog("<Nano/Failure> Field index is out of range" + fieldText(*info, index));
        return nullptr;
    }
    const AccessRule& rule = ruleOf(access);
    if (!rule.accepts(info->kinds()[static_cast<std::size_t>(index)])) {
        platform::systemLog(std::string("<Nano/Failure> Field type isn't ") + rule.expected +
                            fieldText(*info, index));
        return nullptr;
    }
    return info;
}

const MessageInfo* checked(NANOMessageRef message, std::int32_t index, Access access) {
    return checked(message.get() ? &message.get()->messageInfo() : nullptr, index, access);
}

MessageInfo* checked(NANOMutableMessageRef message, std::int32_t index, Access access) {
    return checked(message.get() ? &message.get()->messageInfo() : nullptr, index, access);
}

const std::uint64_t* scalarOf(NANOMessageRef message, std::int32_t index, Access access) {
    const MessageInfo* info = checked(message, index, access);
    return info ? info->field(index).scalar() : nullptr;
}

void setScalar(NANOMutableMessageRef message, std::int32_t index, Access access,
               std::uint64_t bits) {
    if (MessageInfo* info = checked(message, index, access)) info->field(index).setScalar(bits);
}

// ---- array elements ----

// The log text for an element that does not fit a repeated field, by the field's value type.
struct ElementRule {
    std::int32_t valueType;
    const char* mismatch;
};

constexpr ElementRule kElementRules[] = {
    {kKindBool, "<ERROR> Invalid object type. Boolean fields expect NSNumber. Type: "},
    {kKindInt32, "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: "},
    {kKindUInt32, "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: "},
    {kKindInt64, "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: "},
    {kKindUInt64, "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: "},
    {kKindFloat, "<ERROR> Invalid object type. Float fields expect NSNumber. Type: "},
    {kKindDouble, "<ERROR> Invalid object type. Double fields expect NSNumber. Type: "},
    {kKindEnum, "<ERROR> Invalid object type. Enum fields expect NSNumber. Type: "},
    {kKindString, "<ERROR> Invalid object type. String fields expect NSString. Type: "},
    {kKindBytes, "<ERROR> Invalid object type. Bytes fields expect NSData. Type: "},
    {kKindMessage, "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: "},
};

void logMismatch(std::int32_t valueType, std::string_view typeName) {
    const auto* rule = std::find_if(std::begin(kElementRules), std::end(kElementRules),
                                    [&](const ElementRule& r) { return r.valueType == valueType; });
    if (rule == std::end(kElementRules)) {
        platform::systemLog("<ERROR> Unable to convert ObjC object to byte data. Unknown type. " +
                            decimalString(valueType));
        return;
    }
    platform::systemLog(std::string(rule->mismatch) + std::string(typeName));
}

platform::Object scalarObject(std::int32_t valueType, std::uint64_t bits) {
    const auto low = static_cast<std::uint32_t>(bits);
    switch (valueType) {
        case kKindBool:
            return platform::Object((bits & 0xFFu) != 0);
        case kKindInt32:
        case kKindEnum:
            return platform::Object(static_cast<std::int64_t>(static_cast<std::int32_t>(low)));
        case kKindUInt32:
            return platform::Object(static_cast<std::int64_t>(low));
        case kKindFloat:
            return platform::Object(static_cast<double>(std::bit_cast<float>(low)));
        case kKindDouble:
            return platform::Object(std::bit_cast<double>(bits));
        default:  // int64, and uint64 as the integer with the same bits
            return platform::Object(static_cast<std::int64_t>(bits));
    }
}

// A double beyond float's range becomes an infinity (converting it directly is undefined).
float toFloat(double number) {
    constexpr double kLargest = std::numeric_limits<float>::max();
    if (number > kLargest) return std::numeric_limits<float>::infinity();
    if (number < -kLargest) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(number);
}

// The cell of a number element for a field of this value type; nullopt when it does not fit.
std::optional<std::uint64_t> scalarBits(std::int32_t valueType, const platform::Object& element) {
    if (!element.isNumber()) return std::nullopt;
    const double number = *element.numberAsDouble();
    switch (valueType) {
        case kKindBool:
            return number != 0 ? 1 : 0;
        case kKindFloat:
            return std::bit_cast<std::uint32_t>(toFloat(number));
        case kKindDouble:
            return std::bit_cast<std::uint64_t>(number);
        default:
            break;
    }
    const auto integer = element.numberAsInteger();
    if (!integer) return std::nullopt;
    if (valueType == kKindInt64 || valueType == kKindUInt64) {
        return static_cast<std::uint64_t>(*integer);
    }
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(*integer));
}

template <class List, class Convert>
std::optional<List> convertElements(const platform::Array& value, std::int32_t valueType,
                                    Convert convert) {
    List list;
    list.reserve(value.size());
    for (const auto& element : value) {
        auto converted = convert(element);
        if (!converted) {
            logMismatch(valueType, platform::typeName(element.type()));
            return std::nullopt;
        }
        list.push_back(std::move(*converted));
    }
    return list;
}

// Fills `slot` from `value`, or logs the first element that does not fit and leaves it empty.
void fillList(FieldValue& slot, std::int32_t valueType, const platform::Array& value) {
    if (valueType == kKindString || valueType == kKindBytes) {
        const bool wantsString = valueType == kKindString;
        auto list = convertElements<StringList>(
            value, valueType, [&](const platform::Object& e) -> std::optional<std::string> {
                if (wantsString && e.isString()) return e.asString();
                if (!wantsString && e.isData())
                    return std::string(e.asData().begin(), e.asData().end());
                return std::nullopt;
            });
        if (list) slot.setList(std::move(*list));
        return;
    }
    if (valueType == kKindMessage) {
        logMismatch(valueType, platform::typeName(value.front().type()));
        return;
    }
    auto list = convertElements<ScalarList>(
        value, valueType, [&](const platform::Object& e) { return scalarBits(valueType, e); });
    if (list) slot.setList(std::move(*list));
}

void logWrongMessageType(const MessageType* expected, const char* given) {
    platform::systemLog(std::string("<ERROR> Invalid message type. Field expects ") +
                        (expected ? expected->name() : "(none)") + ". Type: " + given);
}

}  // namespace

bool NANOHasField(NANOMessageRef message, std::int32_t index) {
    const MessageInfo* info = checked(message, index, Access::HasField);
    if (!info) return false;
    return kindIsRepeated(info->kinds()[static_cast<std::size_t>(index)]) ||
           !info->field(index).isAbsent();
}

void NANOClearField(NANOMutableMessageRef message, std::int32_t index) {
    if (MessageInfo* info = checked(message, index, Access::ClearField)) info->clearField(index);
}

bool NANOGetBool(NANOMessageRef message, std::int32_t index) {
    const auto* bits = scalarOf(message, index, Access::GetBool);
    return bits && (*bits & 0xFFu) != 0;
}

void NANOSetBool(NANOMutableMessageRef message, std::int32_t index, bool value) {
    setScalar(message, index, Access::SetBool, value ? 1 : 0);
}

std::int32_t NANOGetInt32(NANOMessageRef message, std::int32_t index) {
    const auto* bits = scalarOf(message, index, Access::GetInt32);
    return bits ? static_cast<std::int32_t>(static_cast<std::uint32_t>(*bits)) : 0;
}

void NANOSetInt32(NANOMutableMessageRef message, std::int32_t index, std::int32_t value) {
    setScalar(message, index, Access::SetInt32, static_cast<std::uint32_t>(value));
}

std::int64_t NANOGetInt64(NANOMessageRef message, std::int32_t index) {
    const auto* bits = scalarOf(message, index, Access::GetInt64);
    return bits ? static_cast<std::int64_t>(*bits) : 0;
}

void NANOSetInt64(NANOMutableMessageRef message, std::int32_t index, std::int64_t value) {
    setScalar(message, index, Access::SetInt64, static_cast<std::uint64_t>(value));
}

double NANOGetDouble(NANOMessageRef message, std::int32_t index) {
    const auto* bits = scalarOf(message, index, Access::GetDouble);
    return bits ? std::bit_cast<double>(*bits) : 0.0;
}

void NANOSetDouble(NANOMutableMessageRef message, std::int32_t index, double value) {
    setScalar(message, index, Access::SetDouble, std::bit_cast<std::uint64_t>(value));
}

std::optional<std::string> NANOGetString(NANOMessageRef message, std::int32_t index) {
    const MessageInfo* info = checked(message, index, Access::GetString);
    const std::string* bytes = info ? info->field(index).string() : nullptr;
    if (!bytes || !platform::isValidUTF8(*bytes)) return std::nullopt;
    return *bytes;
}

void NANOSetString(NANOMutableMessageRef message, std::int32_t index,
                   std::optional<std::string_view> value) {
    MessageInfo* info = checked(message, index, Access::SetString);
    if (!info) return;
    if (!value) {
        info->clearField(index);
        return;
    }
    info->field(index).setString(std::string(*value));
}

void NANOSetMessage(NANOMutableMessageRef message, std::int32_t index, NANOMessageRef value) {
    MessageInfo* info = checked(message, index, Access::SetMessage);
    if (!info) return;
    if (!value.get()) {
        info->clearField(index);
        return;
    }
    const MessageInfo& source = value.get()->messageInfo();
    const MessageType* expected = info->type().field(index).messageType;
    if (&source.type() != expected) {
        logWrongMessageType(expected, source.name());
        return;
    }
    MessageInfo copy = source;  // taken first: the value may live inside the message itself
    info->field(index).setMessage(std::move(copy));
}

std::optional<platform::Array> NANOGetArray(NANOMessageRef message, std::int32_t index) {
    const MessageInfo* info = checked(message, index, Access::GetArray);
    if (!info) return std::nullopt;
    const FieldValue& slot = info->field(index);
    const std::int32_t valueType = kindValueType(info->kinds()[static_cast<std::size_t>(index)]);
    platform::Array out;
    if (const auto* scalars = slot.scalars()) {
        for (const auto bits : *scalars)
            out.push_back(scalarObject(valueType, bits));
    } else if (const auto* strings = slot.strings()) {
        for (const auto& bytes : *strings) {
            if (valueType == kKindBytes) {
                out.emplace_back(platform::Data(bytes.begin(), bytes.end()));
            } else if (platform::isValidUTF8(bytes)) {
                out.emplace_back(bytes);
            }
        }
    } else if (const auto* messages = slot.messages()) {
        for (std::size_t i = 0; i < messages->size(); ++i) {
            platform::systemLog(
                "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: "
                "(null)");
        }
    }
    return out;
}

void NANOSetArray(NANOMutableMessageRef message, std::int32_t index,
                  const std::optional<platform::Array>& value) {
    MessageInfo* info = checked(message, index, Access::SetArray);
    if (!info) return;
    FieldValue& slot = info->field(index);
    const FieldInfo& field = info->type().field(index);
    // Whatever happens below, the old elements are gone and the field stays present.
    const platform::Array elements = value.value_or(platform::Array{});
    slot = FieldValue::emptyFor(field);
    if (elements.empty()) return;
    fillList(slot, kindValueType(field.kind), elements);
}

namespace nano_detail {

const MessageInfo* messageFieldForGet(NANOMessageRef message, std::int32_t index) {
    const MessageInfo* info = checked(message, index, Access::GetMessage);
    return info ? info->field(index).message() : nullptr;
}

const MessageList* messageArrayForGet(NANOMessageRef message, std::int32_t index) {
    const MessageInfo* info = checked(message, index, Access::GetArray);
    if (!info) return nullptr;
    const MessageList* list = info->field(index).messages();
    if (!list) {
        platform::systemLog("<Nano/Failure> Field type isn't REPEATED MESSAGE" +
                            fieldText(*info, index));
    }
    return list;
}

void setMessageArray(NANOMutableMessageRef message, std::int32_t index,
                     std::span<const NANOMessageBase* const> values) {
    MessageInfo* info = checked(message, index, Access::SetArray);
    if (!info) return;
    const FieldInfo& field = info->type().field(index);
    // Copies are taken before the field changes: a value may be the message itself.
    MessageList list;
    list.reserve(values.size());
    bool fits = true;
    for (const NANOMessageBase* value : values) {
        const MessageInfo& element = value->messageInfo();
        if (kindValueType(field.kind) != kKindMessage) {
            logMismatch(kindValueType(field.kind), std::string("KLVPB") + element.name());
            fits = false;
            break;
        }
        if (&element.type() != field.messageType) {
            logWrongMessageType(field.messageType, element.name());
            fits = false;
            break;
        }
        list.push_back(element);
    }
    FieldValue& slot = info->field(index);
    slot = FieldValue::emptyFor(field);
    if (fits && !list.empty()) slot.setList(std::move(list));
}

}  // namespace nano_detail

}  // namespace engine
