#pragma once

// The one wire codec for all 42 messages. It walks the field tables of MessageType (built from the
// generated nanopb descriptors) and uses nanopb's stream primitives for the bytes.
//
// Decoding: unknown tags are skipped; scalars take the last occurrence, a singular string keeps
// its first occurrence, a repeated sub-message or value appends, and a singular sub-message that
// occurs again merges into the first. Repeated integers are read packed and unpacked. A string
// longer than kMaxDecodedStringLength, a wrong wire type, a truncated or corrupt buffer, or nesting
// deeper than kMaxNestingDepth fails the decode.
//
// Encoding writes fields in tag order and repeated integers unpacked, as the standard encoder does,
// after a sizing pass that allocates the output exactly once.
//
// Failures print one line on standard output beginning "<ERROR> ", as the codec always has; the
// field accessors report through the system log instead.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/messages/MessageInfo.h"
#include "platform/foundation/Object.h"

namespace engine {

inline constexpr std::size_t kMaxDecodedStringLength = 1048576;
// Messages deep, the outermost one included: downloaded data cannot exhaust the stack.
inline constexpr int kMaxNestingDepth = 100;

// Decodes bytes into a freshly made MessageInfo. On failure prints
// "<ERROR> %s decoder failed: %s" and returns false; what was decoded so far stays in `message`.
bool decodeMessage(std::span<const std::uint8_t> bytes, MessageInfo& message);

// Encodes a message into a buffer of exactly its encoded size; an empty message gives an empty
// buffer. Nullopt when the message cannot be encoded (larger than a signed 32-bit length).
std::optional<platform::Data> NANOEncodeMessage(const MessageInfo& message);

// Encodes a message whose repeated message field `index` is followed, after the elements the
// message holds, by `encodedElements`: each already the encoding of one element. The result is
// what NANOEncodeMessage gives once those elements are decoded into the field, without decoding
// them. Nullopt as above, or for an index that is not a repeated message field.
std::optional<platform::Data> NANOEncodeMessageWithEncodedElements(
    const MessageInfo& message, std::int32_t index,
    std::span<const std::string_view> encodedElements);

// The number of bytes NANOEncodeMessage would produce.
std::optional<std::size_t> encodedSize(const MessageInfo& message);

// Writes text to standard output unchanged (the codec's failure lines carry their own line end).
void printCodecLine(std::string_view text);

// A whole number in decimal, independent of the C locale.
std::string decimalString(std::int64_t value);

}  // namespace engine
