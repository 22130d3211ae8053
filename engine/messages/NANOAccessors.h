#pragma once

// Typed access to message fields by 0-based field index (use the wrapper classes' named indexes,
// e.g. KLVPBEvent::timestamp_millis). Every read and write of a message field in the engine goes
// through these.
//
// Each accessor first checks the message (null: logs "ProtocolBuffer message hasn't been
// initialized. ...") , the index (outside the message: logs and refuses) and the field's kind
// (wrong kind: logs "<Nano/Failure> Field type isn't ..."), all through the system log, and then
// answers neutrally: false, 0, 0.0 or nullopt; setters change nothing.
//
// Presence is the existence of a value, never its content: a present empty string reads as "" and
// a present zero as 0. A repeated field is always present. An absent scalar reads as 0 without a
// log line. Sub-messages and array elements come out and go in as copies.

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/messages/NANOMessageBase.h"
#include "platform/foundation/Object.h"

namespace engine {

bool NANOHasField(NANOMessageRef message, std::int32_t index);
// A singular field becomes absent; a repeated one empty (and still present).
void NANOClearField(NANOMutableMessageRef message, std::int32_t index);

bool NANOGetBool(NANOMessageRef message, std::int32_t index);
void NANOSetBool(NANOMutableMessageRef message, std::int32_t index, bool value);

// Enum, int32 or uint32 fields: the low 32 bits, signed (a uint32 above 2147483647 reads negative).
std::int32_t NANOGetInt32(NANOMessageRef message, std::int32_t index);
void NANOSetInt32(NANOMutableMessageRef message, std::int32_t index, std::int32_t value);

// Int64 or uint64 fields.
std::int64_t NANOGetInt64(NANOMessageRef message, std::int32_t index);
void NANOSetInt64(NANOMutableMessageRef message, std::int32_t index, std::int64_t value);

double NANOGetDouble(NANOMessageRef message, std::int32_t index);
void NANOSetDouble(NANOMutableMessageRef message, std::int32_t index, double value);

// Nullopt for an absent field or bytes that are not valid UTF-8.
std::optional<std::string> NANOGetString(NANOMessageRef message, std::int32_t index);
// Nullopt clears the field.
void NANOSetString(NANOMutableMessageRef message, std::int32_t index,
                   std::optional<std::string_view> value);

namespace nano_detail {
const MessageInfo* messageFieldForGet(NANOMessageRef message, std::int32_t index);
const MessageList* messageArrayForGet(NANOMessageRef message, std::int32_t index);
void setMessageArray(NANOMutableMessageRef message, std::int32_t index,
                     std::span<const NANOMessageBase* const> values);
}  // namespace nano_detail

// A copy of a singular sub-message as a T; nullopt when absent or when T is another message type
// (the latter without a log line).
template <class T>
requires std::derived_from<T, NANOMessageBase> std::optional<T> NANOGetMessage(
    NANOMessageRef message, std::int32_t index) {
    const MessageInfo* child = nano_detail::messageFieldForGet(message, index);
    if (!child) return std::nullopt;
    return T::initWithMessageInfo(child);
}

// Stores a copy of `value`; null clears the field. A value of another message type than the
// field's is refused with a log line and leaves the field as it was.
void NANOSetMessage(NANOMutableMessageRef message, std::int32_t index, NANOMessageRef value);

// The elements of a repeated field of numbers, strings or bytes, as objects: bool, int32, enum,
// uint32, int64 and float or double become Bool, Integer and Double objects; a uint64 becomes the
// Integer with the same 64 bits; strings become String objects (elements that are not valid
// UTF-8 are skipped), bytes Data. Message elements need the typed form below.
std::optional<platform::Array> NANOGetArray(NANOMessageRef message, std::int32_t index);

// The elements of a repeated message field as copies of type T; elements of another type are
// skipped. A repeated field of another kind logs and gives nullopt.
template <class T>
requires std::derived_from<T, NANOMessageBase> std::optional<std::vector<T>> NANOGetArray(
    NANOMessageRef message, std::int32_t index) {
    const MessageList* list = nano_detail::messageArrayForGet(message, index);
    if (!list) return std::nullopt;
    std::vector<T> out;
    out.reserve(list->size());
    for (const MessageInfo& element : *list) {
        if (auto value = T::initWithMessageInfo(&element)) out.push_back(std::move(*value));
    }
    return out;
}

// Replaces a repeated field of numbers, strings or bytes. Numbers go into integer fields truncated
// toward zero (32-bit fields keep the low 32 bits). Nullopt or an empty array leaves the field
// present and empty; so does an element that does not fit the field's kind, which is logged
// ("<ERROR> Invalid object type. ...").
void NANOSetArray(NANOMutableMessageRef message, std::int32_t index,
                  const std::optional<platform::Array>& value);

// Replaces a repeated message field with copies of `values`. Values of another message type than
// the field's are refused with a log line and leave the field present and empty.
template <class T>
requires std::derived_from<T, NANOMessageBase>
void NANOSetArray(NANOMutableMessageRef message, std::int32_t index, const std::vector<T>& values) {
    std::vector<const NANOMessageBase*> pointers;
    pointers.reserve(values.size());
    for (const T& value : values)
        pointers.push_back(&value);
    nano_detail::setMessageArray(message, index, pointers);
}

}  // namespace engine
