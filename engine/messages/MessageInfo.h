#pragma once

// The in-memory form of every message: a slot for each field that is set (a message holds only
// the fields it uses, however many its type has), the type's kind words and the message name. A
// MessageInfo owns everything it holds by value, so copying one copies the whole tree and no two
// messages ever share a cell.
//
// A moved-from MessageInfo may only be assigned to or destroyed; message objects
// (NANOMessageBase) leave an empty message behind instead.
//
// A singular field is absent or holds one value; a repeated field is always present and holds a
// list (possibly empty). Scalars sit in a 64-bit cell the way the wire codec and the accessors
// agree on: bool as 0 or 1, enum, int32 and uint32 as the 32-bit pattern in the low half, int64 and
// uint64 as is, float as its 32 bits in the low half, double as its 64 bits.

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "engine/messages/MessageType.h"

namespace engine {

class FieldValue;

class MessageInfo {
  public:
    // A new message of the type: every singular field absent, every repeated field empty. It
    // allocates nothing.
    explicit MessageInfo(const MessageType& type);

    const MessageType& type() const { return *type_; }
    const char* name() const { return type_->name(); }
    std::span<const std::int32_t> kinds() const { return type_->kinds(); }
    std::int32_t fieldCount() const { return type_->fieldCount(); }

    // The slot of a field by index. Reading a field that is not set gives its empty value
    // (absent, or an empty list); asking for a slot to change makes one, holding that value.
    // A reference to a slot lasts until another slot is made or cleared.
    FieldValue& field(std::int32_t index);
    const FieldValue& field(std::int32_t index) const;
    // The slots made so far, in ascending field index (some may hold an empty value).
    struct Slot;
    std::span<const Slot> slots() const;

    // Frees one field: a singular field becomes absent, a repeated one empty. An index outside the
    // message prints "<ERROR> %s: Cannot deallocate field %d: Unknown field" and returns false.
    bool clearField(std::int32_t index);

    // Same type and equal fields, deeply; scalars compare by their bits.
    friend bool operator==(const MessageInfo& a, const MessageInfo& b);

  private:
    const MessageType* type_;
    std::vector<Slot> slots_;  // ascending index
};

using ScalarList = std::vector<std::uint64_t>;
using StringList = std::vector<std::string>;
using MessageList = std::vector<MessageInfo>;

// One slot. Strings hold UTF-8 (or raw bytes for a bytes field) and may contain any byte.
class FieldValue {
  public:
    FieldValue() = default;

    // The empty value of a field of this kind: absent, or an empty list.
    static FieldValue emptyFor(const FieldInfo& field);

    bool isAbsent() const { return std::holds_alternative<std::monostate>(value_); }

    // Typed views: null when the slot holds something else.
    const std::uint64_t* scalar() const { return std::get_if<std::uint64_t>(&value_); }
    const std::string* string() const { return std::get_if<std::string>(&value_); }
    const MessageInfo* message() const { return std::get_if<MessageInfo>(&value_); }
    MessageInfo* message() { return std::get_if<MessageInfo>(&value_); }
    const ScalarList* scalars() const { return std::get_if<ScalarList>(&value_); }
    ScalarList* scalars() { return std::get_if<ScalarList>(&value_); }
    const StringList* strings() const { return std::get_if<StringList>(&value_); }
    StringList* strings() { return std::get_if<StringList>(&value_); }
    const MessageList* messages() const { return std::get_if<MessageList>(&value_); }
    MessageList* messages() { return std::get_if<MessageList>(&value_); }

    // (Defined below, once MessageInfo's slots are complete.)
    void setScalar(std::uint64_t bits);
    void setString(std::string bytes);
    void setMessage(MessageInfo message);
    void setList(ScalarList list);
    void setList(StringList list);
    void setList(MessageList list);
    void clear();

    friend bool operator==(const FieldValue& a, const FieldValue& b) = default;

  private:
    std::variant<std::monostate, std::uint64_t, std::string, MessageInfo, ScalarList, StringList,
                 MessageList>
        value_;
};

struct MessageInfo::Slot {
    std::int32_t index;
    FieldValue value;

    friend bool operator==(const Slot& a, const Slot& b) = default;
};

// Lets GoogleTest print messages in failure messages: the message name and each field that holds
// something, by name, in tag order: Event{params: [EventParam{...}], name: "_f"}. Strings are
// quoted, bytes in hex, scalars as their field's kind reads them.
void PrintTo(const MessageInfo& info, std::ostream* os);

inline MessageInfo::MessageInfo(const MessageType& type) : type_(&type) {}

inline void FieldValue::setScalar(std::uint64_t bits) {
    value_ = bits;
}
inline void FieldValue::setString(std::string bytes) {
    value_ = std::move(bytes);
}
inline void FieldValue::setMessage(MessageInfo message) {
    value_ = std::move(message);
}
inline void FieldValue::setList(ScalarList list) {
    value_ = std::move(list);
}
inline void FieldValue::setList(StringList list) {
    value_ = std::move(list);
}
inline void FieldValue::setList(MessageList list) {
    value_ = std::move(list);
}
inline void FieldValue::clear() {
    value_ = std::monostate{};
}

inline std::span<const MessageInfo::Slot> MessageInfo::slots() const {
    return slots_;
}

}  // namespace engine
