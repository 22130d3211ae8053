#pragma once

// What the engine knows about one message type: its name, and per field (by index) the tag, the
// kind word and, for sub-messages, the sub-message's type. Built once from the generated field
// tables; shared, constant and safe to read from any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/messages/MessageList.h"

namespace engine {

// Kind word of a field: exactly one label bit (low four bits) and one value-type bit.
inline constexpr std::int32_t kKindSingular = 0x2;
inline constexpr std::int32_t kKindRepeated = 0x8;
inline constexpr std::int32_t kKindBool = 0x20;
inline constexpr std::int32_t kKindEnum = 0x40;
inline constexpr std::int32_t kKindInt32 = 0x80;
inline constexpr std::int32_t kKindUInt32 = 0x100;
inline constexpr std::int32_t kKindInt64 = 0x200;
inline constexpr std::int32_t kKindUInt64 = 0x400;
inline constexpr std::int32_t kKindFloat = 0x800;
inline constexpr std::int32_t kKindDouble = 0x1000;
inline constexpr std::int32_t kKindString = 0x2000;
inline constexpr std::int32_t kKindMessage = 0x4000;
inline constexpr std::int32_t kKindBytes = 0x8000;

inline constexpr std::int32_t kKindLabelMask = 0xF;

// The value-type bit of a kind word.
constexpr std::int32_t kindValueType(std::int32_t kind) {
    return kind & ~kKindLabelMask;
}
constexpr bool kindIsRepeated(std::int32_t kind) {
    return (kind & kKindRepeated) != 0;
}

class MessageType;

struct FieldInfo {
    std::uint32_t tag = 0;
    std::int32_t kind = 0;
    const char* name = "";
    // The element or sub-message type of a message field; null for every other kind.
    const MessageType* messageType = nullptr;
};

class MessageType {
  public:
    MessageType(const char* name, MessageId id);

    const char* name() const { return name_; }
    MessageId id() const { return id_; }
    std::int32_t fieldCount() const { return static_cast<std::int32_t>(fields_.size()); }
    // One kind word per field, by index.
    std::span<const std::int32_t> kinds() const { return kinds_; }
    const FieldInfo& field(std::int32_t index) const { return fields_[static_cast<size_t>(index)]; }
    bool isValidIndex(std::int32_t index) const { return index >= 0 && index < fieldCount(); }
    // The field index that carries a wire tag; nullopt for a tag the schema does not know.
    std::optional<std::int32_t> indexForTag(std::uint32_t tag) const;
    // Field indexes in ascending tag order: the order in which fields are written.
    std::span<const std::int32_t> tagOrder() const { return tagOrder_; }

  private:
    friend class MessageTypeRegistry;

    const char* name_;
    MessageId id_;
    std::vector<FieldInfo> fields_;
    std::vector<std::int32_t> kinds_;
    std::vector<std::int32_t> tagOrder_;
    std::vector<std::int32_t> indexByTag_;  // -1 where no field has the tag
};

// The type of one of the 42 messages.
const MessageType& messageType(MessageId id);
// The type with this name ("Audience"), or null.
const MessageType* messageTypeNamed(std::string_view name);
// All 42 types, in the order of MessageId.
std::span<const MessageType> allMessageTypes();

}  // namespace engine
