#pragma once

// The in-memory form of every message: one slot per field by index, the type's kind words and the
// message name. A MessageInfo owns everything it holds by value, so copying one copies the whole
// tree and no two messages ever share a cell.
//
// A moved-from MessageInfo may only be assigned to or destroyed; message objects
// (NANOMessageBase) leave an empty message behind instead.
//
// A singular field is absent or holds one value; a repeated field is always present and holds a
// list (possibly empty). Scalars sit in a 64-bit cell the way the wire codec and the accessors
// agree on: bool as 0 or 1, enum, int32 and uint32 as the 32-bit pattern in the low half, int64 and
// uint64 as is, float as its 32 bits in the low half, double as its 64 bits.

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "engine/messages/MessageType.h"

namespace engine {

class FieldValue;

class MessageInfo {
  public:
    // A new message of the type: every singular field absent, every repeated field empty.
    explicit MessageInfo(const MessageType& type);

    const MessageType& type() const { return *type_; }
    const char* name() const { return type_->name(); }
    std::span<const std::int32_t> kinds() const { return type_->kinds(); }
    std::int32_t fieldCount() const { return type_->fieldCount(); }

    // The slots, by field index.
    std::span<FieldValue> fields();
    std::span<const FieldValue> fields() const;
    FieldValue& field(std::int32_t index);
    const FieldValue& field(std::int32_t index) const;

    // Frees one field: a singular field becomes absent, a repeated one empty. An index outside the
    // message prints "<ERROR> %s: Cannot deallocate field %d: Unknown field" and returns false.
    bool clearField(std::int32_t index);

    // Same type and equal fields, deeply; scalars compare by their bits.
    friend bool operator==(const MessageInfo& a, const MessageInfo& b);

  private:
    const MessageType* type_;
    std::vector<FieldValue> fields_;
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

    void setScalar(std::uint64_t bits) { value_ = bits; }
    void setString(std::string bytes) { value_ = std::move(bytes); }
    void setMessage(MessageInfo message) { value_ = std::move(message); }
    void setList(ScalarList list) { value_ = std::move(list); }
    void setList(StringList list) { value_ = std::move(list); }
    void setList(MessageList list) { value_ = std::move(list); }
    void clear() { value_ = std::monostate{}; }

    friend bool operator==(const FieldValue& a, const FieldValue& b) = default;

  private:
    std::variant<std::monostate, std::uint64_t, std::string, MessageInfo, ScalarList, StringList,
                 MessageList>
        value_;
};

inline std::span<FieldValue> MessageInfo::fields() {
    return fields_;
}
inline std::span<const FieldValue> MessageInfo::fields() const {
    return fields_;
}

}  // namespace engine
