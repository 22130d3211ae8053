#pragma once

// The 42 message classes, KLVPB followed by the message name (KLVPBEvent, KLVPBMeasurementConfig
// ...), one per entry of TESSALINE_MESSAGES. They are the same code with the message's type put in:
//
//   KLVPBEvent event;                                   // empty: singular fields absent
//   NANOSetString(event, KLVPBEvent::name, "_s");       // fields go through the accessors
//   std::optional<platform::Data> bytes = event.protoBuffer();
//   std::optional<KLVPBEvent> back = KLVPBEvent::initWithBuffer(*bytes);   // nullopt: bad bytes
//
// Each class names its field indexes after the schema's field names (KLVPBEvent::timestamp_millis,
// KLVPBMeasurementBundle::vendor_device_id), generated from the same field lists as the codec's
// tables, so that no caller writes a bare index. kFieldCount is the number of fields.

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "engine/messages/MessageList.h"
#include "engine/messages/NANOMessageBase.h"

namespace engine {

#define TESSALINE_FIELD_INDEX(Struct, atype, htype, ltype, field, tag) \
    field = TESSALINE_FIELD_POSITION(Struct, field),
#define TESSALINE_FIELD_COUNT(Struct, atype, htype, ltype, field, tag) +1

#define TESSALINE_MESSAGE_CLASS(Class, Message)                                                   \
    class Class final : public NANOMessageBase {                                                  \
      public:                                                                                     \
        enum : std::int32_t {                                                                     \
            tessaline_##Message##_FIELDLIST(TESSALINE_FIELD_INDEX, tessaline_##Message)           \
        };                                                                                        \
        static constexpr std::int32_t kFieldCount =                                               \
            0 tessaline_##Message##_FIELDLIST(TESSALINE_FIELD_COUNT, tessaline_##Message);        \
                                                                                                  \
        static const MessageType& messageType() {                                                 \
            return engine::messageType(MessageId::Message);                                       \
        }                                                                                         \
                                                                                                  \
        /* An empty message. */                                                                   \
        Class() : NANOMessageBase(MessageInfo(messageType())) {}                                  \
        /* A deep copy of `info`; an empty message for null; nullopt for another message type. */ \
        static std::optional<Class> initWithMessageInfo(const MessageInfo* info) {                \
            return fromMessageInfo<Class>(info);                                                  \
        }                                                                                         \
        /* The decoded message; empty bytes give an empty message; nullopt when they do not       \
           decode (the codec has printed why). */                                                 \
        static std::optional<Class> initWithBuffer(std::span<const std::uint8_t> bytes) {         \
            return fromBuffer<Class>(bytes);                                                      \
        }                                                                                         \
                                                                                                  \
      private:                                                                                    \
        friend class NANOMessageBase;                                                             \
        explicit Class(MessageInfo info) : NANOMessageBase(std::move(info)) {}                    \
    };

TESSALINE_MESSAGES(TESSALINE_MESSAGE_CLASS)

#undef TESSALINE_MESSAGE_CLASS
#undef TESSALINE_FIELD_COUNT
#undef TESSALINE_FIELD_INDEX

}  // namespace engine
