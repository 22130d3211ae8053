#include "engine/messages/MessageCodec.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/MessageTestSupport.h"
#include "engine/messages/NANOAccessors.h"

namespace engine {
namespace {

using testing::AnyMessage;
using testing::bytes;

// ---- the wire vectors ----

// Fills every field of a message with a value derived from a running counter, down to a fixed
// depth: negative and positive numbers, present false and zero, empty strings, non-ASCII text,
// 64-bit patterns in 32-bit lists and two elements per repeated message field.
class Filler {
  public:
    void fill(AnyMessage& message, int depth) {
        const MessageType& type = message.messageInfo().type();
        for (std::int32_t i = 0; i < type.fieldCount(); ++i)
            fillField(message, type.field(i), i, depth);
    }

  private:
    static constexpr int kDepth = 4;

    void fillField(AnyMessage& message, const FieldInfo& field, std::int32_t i, int depth) {
        const int c = ++counter_;
        const std::int64_t wide = (std::int64_t{c} << 33) + c;
        const std::int32_t k = field.kind;
        if (k == 0x22) return NANOSetBool(message, i, c % 2 == 0);
        // The batch's field 9 enumeration defines only 0.
        if (k == 0x42)
            return NANOSetInt32(message, i, std::string(message.messageID()) != "MeasurementBatch");
        if (k == 0x82) return NANOSetInt32(message, i, c % 3 == 0 ? -c * 1000 : c * 1000);
        if (k == 0x202) return NANOSetInt64(message, i, c % 3 == 0 ? -wide : wide);
        if (k == 0x802)
            return message.messageInfo().field(i).setScalar(
                std::bit_cast<std::uint32_t>(c + 0.25f));
        if (k == 0x1002) return NANOSetDouble(message, i, c % 2 == 0 ? c * 1.5 : -c * 1e-7);
        if (k == 0x2002) return NANOSetString(message, i, text(field, c));
        if (k == 0x108)
            return NANOSetArray(message, i, platform::Array{c, std::int64_t{4000000000}});
        if (k == 0x208) return NANOSetArray(message, i, platform::Array{-1, wide});
        if (k == 0x408) return NANOSetArray(message, i, platform::Array{-1, c});
        if (k == 0x2008) return NANOSetArray(message, i, platform::Array{text(field, c), "", "π"});
        if ((k == 0x4002 || k == 0x4008) && depth >= kDepth) return;
        if (k == 0x4002) return NANOSetMessage(message, i, child(field, depth));
        if (k == 0x4008)
            return NANOSetArray(message, i,
                                std::vector<AnyMessage>{child(field, depth), child(field, depth)});
        FAIL() << "unexpected kind " << k;
    }

    AnyMessage child(const FieldInfo& field, int depth) {
        AnyMessage child(*field.messageType);
        fill(child, depth + 1);
        return child;
    }

    static std::string text(const FieldInfo& field, int c) {
        if (c % 7 == 0) return "";
        return std::string(field.name) + "-" + std::to_string(c) + (c % 2 ? " é" : "");
    }

    int counter_ = 0;
};

template <class T>
std::string number(T value) {
    char buffer[64];
    const auto result = std::to_chars(std::begin(buffer), std::end(buffer), value);
    return std::string(buffer, result.ptr);
}

std::string scalarText(std::int32_t valueType, std::uint64_t bits) {
    const auto low = static_cast<std::uint32_t>(bits);
    if (valueType == kKindBool) return bits ? "true" : "false";
    if (valueType == kKindEnum || valueType == kKindInt32)
        return number(static_cast<std::int32_t>(low));
    if (valueType == kKindUInt32) return number(low);
    if (valueType == kKindInt64) return number(static_cast<std::int64_t>(bits));
    if (valueType == kKindFloat) return number(std::bit_cast<float>(low));
    if (valueType == kKindDouble) return number(std::bit_cast<double>(bits));
    return number(bits);
}

std::string quoted(const std::string& bytes) {
    std::string out = "\"";
    for (const char ch : bytes) {
        if (ch == '"' || ch == '\\') out += '\\';
        out += ch;
    }
    return out + "\"";
}

// The message in protocol-buffer text form, which protoc reads.
void printText(const MessageInfo& message, const std::string& pad, std::string& out) {
    for (std::int32_t i = 0; i < message.fieldCount(); ++i) {
        const FieldInfo& f = message.type().field(i);
        const FieldValue& v = message.field(i);
        const std::int32_t valueType = kindValueType(f.kind);
        const auto line = [&](const std::string& value) {
            out += pad + f.name + ": " + value + "\n";
        };
        const auto block = [&](const MessageInfo& child) {
            out += pad + f.name + " {\n";
            printText(child, pad + "  ", out);
            out += pad + "}\n";
        };
        if (v.scalar()) line(scalarText(valueType, *v.scalar()));
        if (v.string()) line(quoted(*v.string()));
        if (v.message()) block(*v.message());
        if (v.scalars())
            for (const auto bits : *v.scalars())
                line(scalarText(valueType, bits));
        if (v.strings())
            for (const auto& s : *v.strings())
                line(quoted(s));
        if (v.messages())
            for (const auto& child : *v.messages())
                block(child);
    }
}

void collectTypes(const MessageInfo& message, std::set<std::string>& names) {
    names.insert(message.name());
    for (const auto& [index, v] : message.slots()) {
        if (v.message()) collectTypes(*v.message(), names);
        if (v.messages())
            for (const auto& child : *v.messages())
                collectTypes(child, names);
    }
}

// The root messages whose filled trees reach all 42 types.
const char* const kVectorRoots[] = {
    "MeasurementBatch",
    "ExperimentRequest",
    "ExperimentResponse",
    "SkAdNetworkConversionValueRequest",
    "SkAdNetworkConversionValueResponse",
    "MeasurementConfig",
};

AnyMessage filledRoot(const char* name) {
    AnyMessage root(*messageTypeNamed(name));
    Filler().fill(root, 0);
    return root;
}

// testdata/<Root>.bin holds what protoc --encode made of testdata/<Root>.txt (testdata/regenerate).
TEST(WireVectors, FilledMessagesEncodeToTheStandardEncodersBytes) {
    const char* writeTo = std::getenv("TESSALINE_WRITE_WIRE_VECTORS");
    std::set<std::string> covered;
    for (const char* name : kVectorRoots) {
        SCOPED_TRACE(name);
        const AnyMessage root = filledRoot(name);
        std::string text;
        printText(root.messageInfo(), "", text);
        collectTypes(root.messageInfo(), covered);
        if (writeTo) {
            std::ofstream(std::string(writeTo) + "/" + name + ".txt") << text;
            continue;
        }
        const auto expected = testing::readTestdata(std::string(name) + ".bin");
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(root.protoBuffer(), expected);

        MessageInfo decoded(root.messageInfo().type());
        ASSERT_TRUE(decodeMessage(expected, decoded));
        EXPECT_TRUE(decoded == root.messageInfo());
        EXPECT_EQ(NANOEncodeMessage(decoded), expected);
    }
    EXPECT_EQ(covered.size(), 42u);
}

// ---- decoding rules, byte by byte ----

struct RoundTrip {
    const char* what;
    const char* message;
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> reencoded;
};

TEST(MessageCodec, DecodesByTheRulesAndReencodesInStandardForm) {
    const RoundTrip cases[] = {
        {"unknown varint, fixed64, length-delimited and fixed32 fields are skipped", "Event",
         bytes({0x12, 0x01, 'a',  0xA0, 0x06, 0x01, 0xA9, 0x06, 1, 2, 3, 4, 5,    6,   7,
                8,    0xB2, 0x06, 0x02, 'x',  'y',  0xBD, 0x06, 1, 2, 3, 4, 0x18, 0x05}),
         bytes({0x12, 0x01, 'a', 0x18, 0x05})},

        {"repeated elements interleaved with other fields", "Event",
         bytes({0x0A, 0x00, 0x12, 0x01, 'a', 0x0A, 0x00, 0x18, 0x01, 0x0A, 0x00}),
         bytes({0x0A, 0x00, 0x0A, 0x00, 0x0A, 0x00, 0x12, 0x01, 'a', 0x18, 0x01})},
        {"packed integers are read and written unpacked", "SequenceFilterResultTimestamp",
         bytes({0x12, 0x03, 0x01, 0x02, 0x03, 0x08, 0x07}),
         bytes({0x08, 0x07, 0x10, 0x01, 0x10, 0x02, 0x10, 0x03})},
        {"a singular string keeps its first occurrence", "Setting",
         bytes({0x0A, 0x01, 'a', 0x0A, 0x01, 'b'}), bytes({0x0A, 0x01, 'a'})},
        {"a scalar keeps its last occurrence", "Event", bytes({0x18, 0x01, 0x18, 0x02}),
         bytes({0x18, 0x02})},
        {"a singular sub-message that occurs again merges", "AudienceLeafFilterResult",
         bytes({0x12, 0x02, 0x08, 0x01, 0x12, 0x02, 0x10, 0x02}),
         bytes({0x12, 0x04, 0x08, 0x01, 0x10, 0x02})},
        {"a bool is 0 or 1", "EventConfig", bytes({0x10, 0x02, 0x18, 0x00}),
         bytes({0x10, 0x01, 0x18, 0x00})},
        {"a negative int32 sent in five bytes is written in ten", "Event",
         bytes({0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}),
         bytes({0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01})},
        {"an enum is an unsigned 32-bit varint: a ten-byte negative is written in five",
         "SdkResponse", bytes({0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}),
         bytes({0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F})},
        {"uint32 list elements keep their low 32 bits", "MeasurementBundle",
         bytes({0xE8, 0x02, 0x85, 0x80, 0x80, 0x80, 0x10}), bytes({0xE8, 0x02, 0x05})},
        {"bundle tags 26 and 27 are written in tag order", "MeasurementBundle",
         bytes({0xDA, 0x01, 0x01, 'v', 0xD0, 0x01, 0x09, 0x38, 0x07}),
         bytes({0x38, 0x07, 0xD0, 0x01, 0x09, 0xDA, 0x01, 0x01, 'v'})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MessageInfo message(*messageTypeNamed(c.message));
        ASSERT_TRUE(decodeMessage(c.input, message));
        EXPECT_EQ(NANOEncodeMessage(message), c.reencoded);
    }
}

struct Failure {
    const char* what;
    const char* message;
    std::vector<std::uint8_t> input;
    const char* output;
};

TEST(MessageCodec, BadBuffersFailWithTheirReason) {
    const Failure cases[] = {
        {"string field sent as a varint", "Event", bytes({0x10, 0x01}),
         "<ERROR> Event decoder failed: wrong wire type\n"},

        {"varint cut short", "Event", bytes({0x18, 0x80}),
         "<ERROR> Event decoder failed: end-of-stream\n"},
        {"varint longer than ten bytes", "Event",
         bytes({0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}),
         "<ERROR> Event decoder failed: varint overflow\n"},
        {"zero tag", "Event", bytes({0x00}), "<ERROR> Event decoder failed: zero tag\n"},
        {"group wire type on an unknown tag", "Event", bytes({0xA3, 0x06}),
         "<ERROR> Event decoder failed: invalid wire_type\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MessageInfo message(*messageTypeNamed(c.message));
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(decodeMessage(c.input, message));
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.output);
    }
}

std::vector<std::uint8_t> lengthPrefixed(std::uint8_t key, const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> out = {key};
    for (std::size_t n = body.size();; n >>= 7) {
        out.push_back(static_cast<std::uint8_t>((n & 0x7F) | (n >= 0x80 ? 0x80 : 0)));
        if (n < 0x80) break;
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

TEST(MessageCodec, StringsUpToOneMebibyteDecode) {
    for (const std::size_t length : {std::size_t{1048576}, std::size_t{1048577}}) {
        SCOPED_TRACE(length);
        const auto input = lengthPrefixed(0x0A, std::vector<std::uint8_t>(length, 'x'));
        ::testing::internal::CaptureStdout();
        const auto setting = KLVPBSetting::initWithBuffer(input);
        const std::string output = ::testing::internal::GetCapturedStdout();
        if (length == kMaxDecodedStringLength) {
            ASSERT_TRUE(setting);
            EXPECT_EQ(NANOGetString(setting, KLVPBSetting::name)->size(), length);
            EXPECT_EQ(output, "");
        } else {
            EXPECT_FALSE(setting);
            EXPECT_EQ(output,
                      "Unable to process proto stream. Buffer is too big. 1048577 > 1048576"
                      "<ERROR> Setting decoder failed: string too long\n");
        }
    }
}

TEST(MessageCodec, ALaterOccurrenceOfAStringIsSkippedWhateverItsLength) {
    auto input = bytes({0x0A, 0x01, 'a'});
    const auto later = lengthPrefixed(0x0A, std::vector<std::uint8_t>(1048577, 'x'));
    input.insert(input.end(), later.begin(), later.end());
    ::testing::internal::CaptureStdout();
    const auto setting = KLVPBSetting::initWithBuffer(input);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ASSERT_TRUE(setting);
    EXPECT_EQ(NANOGetString(setting, KLVPBSetting::name), "a");
}

// A chain of `levels` messages, each the only element of its parent's recursive list.
std::vector<std::uint8_t> nested(std::uint8_t key, int levels) {
    std::vector<std::uint8_t> body;
    for (int level = 1; level < levels; ++level)
        body = lengthPrefixed(key, body);
    return body;
}

TEST(MessageCodec, NestingStopsAtOneHundredLevels) {
    struct Case {
        const char* message;
        std::uint8_t key;  // the recursive list's tag and wire type
    };
    for (const Case c : {Case{"RuntimeEntity", 0x12}, Case{"EventParam", 0x32}}) {
        SCOPED_TRACE(c.message);
        MessageInfo deepest(*messageTypeNamed(c.message));
        EXPECT_TRUE(decodeMessage(nested(c.key, kMaxNestingDepth), deepest));
        EXPECT_EQ(NANOEncodeMessage(deepest), nested(c.key, kMaxNestingDepth));

        MessageInfo tooDeep(*messageTypeNamed(c.message));
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(decodeMessage(nested(c.key, kMaxNestingDepth + 1), tooDeep));
        EXPECT_EQ(
            ::testing::internal::GetCapturedStdout(),
            "<ERROR> " + std::string(c.message) + " decoder failed: max nesting depth exceeded\n");
    }
}

// Every cut and every single-byte change of a real configuration either decodes or fails cleanly,
// and what decodes survives a round trip unchanged.
TEST(MessageCodec, TruncatedAndCorruptConfigurationsNeverCrash) {
    const auto vector = testing::readTestdata("MeasurementConfig.bin");
    ASSERT_GT(vector.size(), 100u);
    const MessageType& type = KLVPBMeasurementConfig::messageType();
    const auto check = [&](const std::vector<std::uint8_t>& input) {
        MessageInfo message(type);
        if (!decodeMessage(input, message)) return;
        MessageInfo decodedAgain(type);
        ASSERT_TRUE(decodeMessage(*NANOEncodeMessage(message), decodedAgain));
        EXPECT_TRUE(decodedAgain == message);
    };
    ::testing::internal::CaptureStdout();
    for (std::size_t cut = 0; cut < vector.size(); ++cut) {
        check(std::vector<std::uint8_t>(vector.begin(), vector.begin() + static_cast<long>(cut)));
    }
    for (std::size_t at = 0; at < vector.size(); at += 13) {
        for (const std::uint8_t value : {0x00, 0x80, 0xFF}) {
            auto corrupt = vector;
            corrupt[at] = value;
            check(corrupt);
        }
    }
    ::testing::internal::GetCapturedStdout();
}

TEST(MessageInfo, ClearingAnUnknownFieldPrintsAndFails) {
    MessageInfo event(KLVPBEvent::messageType());
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(event.clearField(KLVPBEvent::kFieldCount));
    EXPECT_FALSE(event.clearField(-1));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "<ERROR> Event: Cannot deallocate field 5: Unknown field\n"
              "<ERROR> Event: Cannot deallocate field -1: Unknown field\n");
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

KLVPBEvent namedEvent(const std::string& name, std::int64_t time) {
    KLVPBEvent event;
    KLVPBEventParam param;
    NANOSetString(param, KLVPBEventParam::name, "p");
    NANOSetInt64(param, KLVPBEventParam::int_value, time);
    NANOSetArray(event, KLVPBEvent::params, std::vector{param});
    NANOSetString(event, KLVPBEvent::name, name);
    NANOSetInt64(event, KLVPBEvent::timestamp_millis, time);
    return event;
}

TEST(MessageCodec, EncodedElementsEncodeAsTheSameElementsDecoded) {
    using B = KLVPBMeasurementBundle;
    KLVPBMeasurementBundle envelope;
    NANOSetInt32(envelope, B::protocol_version, 1);
    NANOSetString(envelope, B::app_id, "app");
    NANOSetInt64(envelope, B::previous_start_timestamp_millis, 5);  // tag 26, position 6
    NANOSetInt32(envelope, B::bundle_index, 3);
    const std::vector<std::vector<KLVPBEvent>> lists = {
        {},
        {namedEvent("a", 1)},
        {namedEvent("a", 1), namedEvent(std::string(300, 'b'), 1LL << 40), KLVPBEvent{}},
    };
    for (const auto& events : lists) {
        for (const std::size_t held : {std::size_t{0}, events.size() / 2}) {
            SCOPED_TRACE(std::to_string(events.size()) + " events, " + std::to_string(held) +
                         " held");
            KLVPBMeasurementBundle whole = envelope;
            NANOSetArray(whole, B::events, events);
            // The first `held` events in the message, the others given encoded.
            KLVPBMeasurementBundle part = envelope;
            NANOSetArray(part, B::events,
                         std::vector<KLVPBEvent>(events.begin(), events.begin() + held));
            std::vector<std::string> bytes;
            for (std::size_t i = held; i < events.size(); ++i) {
                const auto encoded = *events[i].protoBuffer();
                bytes.emplace_back(encoded.begin(), encoded.end());
            }
            const std::vector<std::string_view> views(bytes.begin(), bytes.end());
            EXPECT_EQ(NANOEncodeMessageWithEncodedElements(part.messageInfo(), B::events, views),
                      whole.protoBuffer());
        }
    }
    // Only a repeated message field takes encoded elements.
    const std::vector<std::string_view> one = {"x"};
    EXPECT_FALSE(NANOEncodeMessageWithEncodedElements(envelope.messageInfo(), B::app_id, one));
    EXPECT_FALSE(NANOEncodeMessageWithEncodedElements(envelope.messageInfo(), 999, one));
}

}  // namespace
}  // namespace engine
