#include "engine/messages/MessageCodec.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <charconv>
#include <cstdio>
#include <limits>

namespace engine {

namespace {

// ---- decoding ----

bool failWith(pb_istream_t* stream, const char* reason) {
    PB_SET_ERROR(stream, reason);
    return false;
}

// Keeps the first reason a nested stream gave for failing.
bool failFrom(pb_istream_t* stream, const pb_istream_t& nested) {
    return failWith(stream, nested.errmsg);
}

pb_wire_type_t wireTypeOf(std::int32_t valueType) {
    switch (valueType) {
        case kKindFloat:
            return PB_WT_32BIT;
        case kKindDouble:
            return PB_WT_64BIT;
        case kKindString:
        case kKindBytes:
        case kKindMessage:
            return PB_WT_STRING;
        default:
            return PB_WT_VARINT;
    }
}

bool isLengthDelimited(std::int32_t valueType) {
    return wireTypeOf(valueType) == PB_WT_STRING;
}

// Reads one value of a numeric kind into its cell representation.
bool readScalar(pb_istream_t* stream, std::int32_t valueType, std::uint64_t* bits) {
    if (valueType == kKindFloat) {
        std::uint32_t raw = 0;
        if (!pb_decode_fixed32(stream, &raw)) return false;
        *bits = raw;
        return true;
    }
    if (valueType == kKindDouble) return pb_decode_fixed64(stream, bits);
    std::uint64_t raw = 0;
    if (!pb_decode_varint(stream, &raw)) return false;
    switch (valueType) {
        case kKindBool:
            *bits = raw != 0 ? 1 : 0;
            return true;
        case kKindEnum:
        case kKindInt32:
        case kKindUInt32:
            *bits = raw & 0xFFFFFFFFu;
            return true;
        default:
            *bits = raw;
            return true;
    }
}

// Reads a length-delimited string into `out`.
bool readString(pb_istream_t* stream, std::string& out) {
    pb_istream_t sub;
    if (!pb_make_string_substream(stream, &sub)) return false;
    const std::size_t length = sub.bytes_left;
    if (length > kMaxDecodedStringLength) {
        printCodecLine("Unable to process proto stream. Buffer is too big. " +
                       decimalString(static_cast<std::int64_t>(length)) + " > " +
                       decimalString(static_cast<std::int64_t>(kMaxDecodedStringLength)));
        return failWith(stream, "string too long");
    }
    out.assign(length, '\0');
    if (!pb_read(&sub, reinterpret_cast<pb_byte_t*>(out.data()), length)) {
        return failFrom(stream, sub);
    }
    return pb_close_string_substream(stream, &sub);
}

class Decoder {
  public:
    // Decodes the fields of one message; `depth` counts the messages from the outermost, which
    // is 1.
    bool fields(pb_istream_t* stream, MessageInfo& message, int depth) {
        while (stream->bytes_left > 0) {
            pb_wire_type_t wireType;
            std::uint32_t tag = 0;
            bool eof = false;
            if (!pb_decode_tag(stream, &wireType, &tag, &eof))
                return eof ? failWith(stream, "zero tag") : false;
            if (tag == 0) return failWith(stream, "zero tag");
            const auto index = message.type().indexForTag(tag);
            const bool ok = index ? field(stream, wireType, message, *index, depth)
                                  : pb_skip_field(stream, wireType);
            if (!ok) return false;
        }
        return true;
    }

  private:
    bool field(pb_istream_t* stream, pb_wire_type_t wireType, MessageInfo& message,
               std::int32_t index, int depth) {
        const FieldInfo& info = message.type().field(index);
        FieldValue& slot = message.field(index);
        const std::int32_t valueType = kindValueType(info.kind);
        if (kindIsRepeated(info.kind)) return element(stream, wireType, info, slot, depth);
        if (wireType != wireTypeOf(valueType)) return failWith(stream, "wrong wire type");
        if (valueType == kKindMessage) {
            // A sub-message that occurs again merges into the first occurrence.
            if (slot.isAbsent()) slot.setMessage(MessageInfo(*info.messageType));
            return subMessage(stream, *slot.message(), depth);
        }
        if (isLengthDelimited(valueType)) {
            // The first occurrence of a singular string wins; later ones are only skipped, so the
            // length limit applies to what is stored, not to what is passed over.
            if (slot.string()) return pb_skip_field(stream, PB_WT_STRING);
            std::string bytes;
            if (!readString(stream, bytes)) return false;
            slot.setString(std::move(bytes));
            return true;
        }
        std::uint64_t bits = 0;
        if (!readScalar(stream, valueType, &bits)) return false;
        slot.setScalar(bits);
        return true;
    }

    bool element(pb_istream_t* stream, pb_wire_type_t wireType, const FieldInfo& info,
                 FieldValue& slot, int depth) {
        const std::int32_t valueType = kindValueType(info.kind);
        if (valueType == kKindMessage) {
            if (wireType != PB_WT_STRING) return failWith(stream, "wrong wire type");
            MessageList& list = *slot.messages();
            list.emplace_back(*info.messageType);
            return subMessage(stream, list.back(), depth);
        }
        if (isLengthDelimited(valueType)) {
            if (wireType != PB_WT_STRING) return failWith(stream, "wrong wire type");
            StringList& list = *slot.strings();
            list.emplace_back();
            return readString(stream, list.back());
        }
        ScalarList& list = *slot.scalars();
        if (wireType == PB_WT_STRING) return packed(stream, valueType, list);
        if (wireType != wireTypeOf(valueType)) return failWith(stream, "wrong wire type");
        std::uint64_t bits = 0;
        if (!readScalar(stream, valueType, &bits)) return false;
        list.push_back(bits);
        return true;
    }

    bool packed(pb_istream_t* stream, std::int32_t valueType, ScalarList& list) {
        pb_istream_t sub;
        if (!pb_make_string_substream(stream, &sub)) return false;
        while (sub.bytes_left > 0) {
            std::uint64_t bits = 0;
            if (!readScalar(&sub, valueType, &bits)) return failFrom(stream, sub);
            list.push_back(bits);
        }
        return pb_close_string_substream(stream, &sub);
    }

    bool subMessage(pb_istream_t* stream, MessageInfo& child, int parentDepth) {
        if (parentDepth >= kMaxNestingDepth) return failWith(stream, "max nesting depth exceeded");
        pb_istream_t sub;
        if (!pb_make_string_substream(stream, &sub)) return false;
        if (!fields(&sub, child, parentDepth + 1)) return failFrom(stream, sub);
        return pb_close_string_substream(stream, &sub);
    }
};

// ---- encoding ----

std::uint64_t varintValue(std::int32_t valueType, std::uint64_t bits) {
    switch (valueType) {
        case kKindBool:
            return bits != 0 ? 1 : 0;
        case kKindInt32:
            // Negative 32-bit values are sign-extended to ten bytes, as the standard encoder does.
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(
                static_cast<std::int32_t>(static_cast<std::uint32_t>(bits))));
        case kKindEnum:
            // Enumerations travel as unsigned 32-bit varints (at most five bytes), as the field
            // tables declare them; a value stored from a negative number is not sign-extended.
        case kKindUInt32:
            return bits & 0xFFFFFFFFu;
        default:
            return bits;
    }
}

struct EncodedElements;
bool writeMessage(pb_ostream_t* stream, const MessageInfo& message,
                  const EncodedElements* extra = nullptr);

bool writeScalar(pb_ostream_t* stream, const FieldInfo& info, std::uint64_t bits) {
    const std::int32_t valueType = kindValueType(info.kind);
    if (!pb_encode_tag(stream, wireTypeOf(valueType), info.tag)) return false;
    if (valueType == kKindFloat) {
        const auto raw = static_cast<std::uint32_t>(bits);
        return pb_encode_fixed32(stream, &raw);
    }
    if (valueType == kKindDouble) return pb_encode_fixed64(stream, &bits);
    return pb_encode_varint(stream, varintValue(valueType, bits));
}

bool writeString(pb_ostream_t* stream, const FieldInfo& info, const std::string& bytes) {
    return pb_encode_tag(stream, PB_WT_STRING, info.tag) &&
           pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(bytes.data()), bytes.size());
}

bool writeSubMessage(pb_ostream_t* stream, const FieldInfo& info, const MessageInfo& child) {
    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    if (!writeMessage(&sizing, child)) return false;
    if (!pb_encode_tag(stream, PB_WT_STRING, info.tag) ||
        !pb_encode_varint(stream, sizing.bytes_written)) {
        return false;
    }
    // A sizing pass only counts: encoding the child again at every level would take time
    // exponential in the nesting depth.
    if (stream->callback == nullptr) return pb_write(stream, nullptr, sizing.bytes_written);
    const std::size_t before = stream->bytes_written;
    if (!writeMessage(stream, child)) return false;
    if (stream->bytes_written - before != sizing.bytes_written) {
        PB_SET_ERROR(stream, "submsg size changed");
        return false;
    }
    return true;
}

bool writeField(pb_ostream_t* stream, const FieldInfo& info, const FieldValue& value) {
    if (const auto* bits = value.scalar()) return writeScalar(stream, info, *bits);
    if (const auto* bytes = value.string()) return writeString(stream, info, *bytes);
    if (const auto* child = value.message()) return writeSubMessage(stream, info, *child);
    if (const auto* list = value.scalars()) {
        // Repeated integers are written unpacked, one tag per element.
        for (const auto bits : *list) {
            if (!writeScalar(stream, info, bits)) return false;
        }
    } else if (const auto* strings = value.strings()) {
        for (const auto& bytes : *strings) {
            if (!writeString(stream, info, bytes)) return false;
        }
    } else if (const auto* messages = value.messages()) {
        for (const auto& child : *messages) {
            if (!writeSubMessage(stream, info, child)) return false;
        }
    }
    return true;
}

// Elements of one repeated message field that arrive encoded.
struct EncodedElements {
    std::int32_t index;
    std::span<const std::string_view> elements;
};

bool writeMessage(pb_ostream_t* stream, const MessageInfo& message, const EncodedElements* extra) {
    for (const std::int32_t index : message.type().tagOrder()) {
        const FieldInfo& info = message.type().field(index);
        if (!writeField(stream, info, message.field(index))) return false;
        if (!extra || extra->index != index) continue;
        for (const std::string_view element : extra->elements) {
            if (!pb_encode_tag(stream, PB_WT_STRING, info.tag) ||
                !pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(element.data()),
                                  element.size())) {
                return false;
            }
        }
    }
    return true;
}

std::optional<platform::Data> encodeWith(const MessageInfo& message, const EncodedElements* extra) {
    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    if (!writeMessage(&sizing, message, extra) ||
        sizing.bytes_written > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return std::nullopt;
    }
    platform::Data out(sizing.bytes_written);
    pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
    if (!writeMessage(&stream, message, extra) || stream.bytes_written != out.size()) {
        return std::nullopt;
    }
    return out;
}

}  // namespace

bool decodeMessage(std::span<const std::uint8_t> bytes, MessageInfo& message) {
    pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    if (Decoder().fields(&stream, message, 1)) return true;
    printCodecLine("<ERROR> " + std::string(message.name()) +
                   " decoder failed: " + PB_GET_ERROR(&stream) + "\n");
    return false;
}

std::optional<std::size_t> encodedSize(const MessageInfo& message) {
    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    if (!writeMessage(&sizing, message)) return std::nullopt;
    return sizing.bytes_written;
}

std::optional<platform::Data> NANOEncodeMessage(const MessageInfo& message) {
    return encodeWith(message, nullptr);
}

std::optional<platform::Data> NANOEncodeMessageWithEncodedElements(
    const MessageInfo& message, std::int32_t index,
    std::span<const std::string_view> encodedElements) {
    const MessageType& type = message.type();
    if (!type.isValidIndex(index) || type.field(index).kind != (kKindRepeated | kKindMessage)) {
        return std::nullopt;
    }
    const EncodedElements extra{index, encodedElements};
    return encodeWith(message, &extra);
}

void printCodecLine(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string decimalString(std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(std::begin(buffer), std::end(buffer), value);
    return std::string(buffer, result.ptr);
}

}  // namespace engine
