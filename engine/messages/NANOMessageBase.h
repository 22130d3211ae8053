#pragma once

// What every message object is: the owner of exactly one MessageInfo. The 42 wrapper classes
// (KLVPBMessages.h) derive from it; the field accessors (NANOAccessors.h) take any of them.
// Message objects are values: copying one copies its whole tree.

#include <concepts>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "engine/messages/MessageCodec.h"
#include "engine/messages/MessageInfo.h"
#include "platform/foundation/Object.h"

namespace engine {

class NANOMessageBase {
  public:
    // The message name, the same as the MessageInfo's ("Audience").
    const char* messageID() const { return info_.name(); }
    // The object's own MessageInfo, not a copy.
    const MessageInfo& messageInfo() const { return info_; }
    MessageInfo& messageInfo() { return info_; }
    // The encoded message; empty for a message with no present field; nullopt when it cannot be
    // encoded.
    std::optional<platform::Data> protoBuffer() const { return NANOEncodeMessage(info_); }

    friend bool operator==(const NANOMessageBase& a, const NANOMessageBase& b) {
        return a.info_ == b.info_;
    }

  protected:
    explicit NANOMessageBase(MessageInfo info) : info_(std::move(info)) {}
    NANOMessageBase(const NANOMessageBase&) = default;
    NANOMessageBase& operator=(const NANOMessageBase&) = default;
    // A moved-from message is an empty message of its type, so that every accessor stays safe on
    // it. (Only an exhausted heap can make this throw, which ends the process as anywhere else.)
    NANOMessageBase(NANOMessageBase&& other) noexcept : info_(std::move(other.info_)) {
        other.info_ = MessageInfo(info_.type());
    }
    NANOMessageBase& operator=(NANOMessageBase&& other) noexcept {
        if (this != &other) {
            info_ = std::move(other.info_);
            other.info_ = MessageInfo(info_.type());
        }
        return *this;
    }
    ~NANOMessageBase() = default;

    // A message of type T holding a copy of `info`; an empty one for null; nullopt when `info` is
    // of another message type.
    template <class T>
    static std::optional<T> fromMessageInfo(const MessageInfo* info) {
        if (!info) return T();
        if (&info->type() != &T::messageType()) return std::nullopt;
        return T(*info);
    }

    // A message of type T decoded from bytes (no bytes give an empty message); nullopt when they
    // do not decode.
    template <class T>
    static std::optional<T> fromBuffer(std::span<const std::uint8_t> bytes) {
        MessageInfo info(T::messageType());
        if (!decodeMessage(bytes, info)) return std::nullopt;
        return T(std::move(info));
    }

  private:
    MessageInfo info_;
};

// Lets GoogleTest print any message class in failure messages, as its MessageInfo prints. A
// constrained template, so that it is preferred to GoogleTest's own template for each class.
template <class Message>
requires std::derived_from<Message, NANOMessageBase>
void PrintTo(const Message& message, std::ostream* os) {
    PrintTo(message.messageInfo(), os);
}

// What the read accessors take: a message by reference or by pointer. A null pointer (the phone's
// nil) is allowed and gets the accessor's neutral answer.
class NANOMessageRef {
  public:
    NANOMessageRef(std::nullptr_t) {}
    NANOMessageRef(const NANOMessageBase* message) : message_(message) {}
    NANOMessageRef(const NANOMessageBase& message) : message_(&message) {}
    template <class T>
    requires std::derived_from<T, NANOMessageBase> NANOMessageRef(const std::optional<T>& message)
        : message_(message ? &*message : nullptr) {}
    template <class T>
    requires std::derived_from<T, NANOMessageBase> NANOMessageRef(const std::shared_ptr<T>& message)
        : message_(message.get()) {}

    const NANOMessageBase* get() const { return message_; }

  private:
    const NANOMessageBase* message_ = nullptr;
};

// What the write accessors take.
class NANOMutableMessageRef {
  public:
    NANOMutableMessageRef(std::nullptr_t) {}
    NANOMutableMessageRef(NANOMessageBase* message) : message_(message) {}
    NANOMutableMessageRef(NANOMessageBase& message) : message_(&message) {}
    template <class T>
    requires std::derived_from<T, NANOMessageBase> NANOMutableMessageRef(std::optional<T>& message)
        : message_(message ? &*message : nullptr) {}
    template <class T>
    requires std::derived_from<T, NANOMessageBase> NANOMutableMessageRef(
        const std::shared_ptr<T>& message)
        : message_(message.get()) {}

    NANOMessageBase* get() const { return message_; }

  private:
    NANOMessageBase* message_ = nullptr;
};

}  // namespace engine
