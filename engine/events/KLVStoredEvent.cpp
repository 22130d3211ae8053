#include "engine/events/KLVStoredEvent.h"

#include <bit>
#include <cstring>
#include <string>

#include "engine/base/KLVEventNameMap.h"
#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVStringAdditions.h"
#include "engine/events/KLVDataTypeValidator.h"
#include "engine/settings/KLVRemoteConfig.h"
#include "platform/foundation/Text.h"

namespace engine {

namespace {

// Field numbers and wire types of the Event and EventParam messages.
constexpr std::uint32_t kEventParams = 1;
constexpr std::uint32_t kEventTimestamp = 3;
constexpr std::uint32_t kEventPreviousTimestamp = 4;
constexpr std::uint32_t kParamName = 1;
constexpr std::uint32_t kParamString = 2;
constexpr std::uint32_t kParamInt = 3;
constexpr std::uint32_t kParamDouble = 5;
constexpr std::uint32_t kParamChildren = 6;
constexpr std::uint32_t kVarint = 0;
constexpr std::uint32_t kFixed64 = 1;
constexpr std::uint32_t kLengthDelimited = 2;

// Reads the wire format strictly as the engine's encoder writes it: varints in their shortest
// form, lengths within the buffer. Anything else reads as a failure.
class WireReader {
  public:
    explicit WireReader(std::span<const std::uint8_t> bytes)
        : at_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    bool atEnd() const { return at_ == end_; }
    const std::uint8_t* position() const { return at_; }

    bool varint(std::uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at_ == end_) return false;
            const std::uint8_t byte = *at_++;
            value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) {
                // A longer form than needed ends in a zero byte; the tenth byte holds one bit.
                if (shift > 0 && byte == 0) return false;
                return shift < 63 || byte <= 1;
            }
        }
        return false;
    }

    bool tag(std::uint32_t& field, std::uint32_t& wireType) {
        std::uint64_t key = 0;
        if (!varint(key) || key > 0xFFFFFFFFu) return false;
        field = static_cast<std::uint32_t>(key >> 3);
        wireType = static_cast<std::uint32_t>(key & 7);
        return field != 0;
    }

    bool bytes(std::span<const std::uint8_t>& out) {
        std::uint64_t length = 0;
        if (!varint(length) || length > static_cast<std::uint64_t>(end_ - at_)) return false;
        out = std::span<const std::uint8_t>(at_, static_cast<std::size_t>(length));
        at_ += length;
        return true;
    }

    bool fixed64(std::uint64_t& value) {
        if (end_ - at_ < 8) return false;
        std::uint8_t raw[8];
        std::memcpy(raw, at_, 8);
        value = 0;
        for (int i = 7; i >= 0; --i)
            value = value << 8 | raw[i];
        at_ += 8;
        return true;
    }

  private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
};

std::string_view textOf(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

enum class ValueKind { None, String, Integer, Double, Items };

// One parameter record as the event model writes it: the name, then exactly one value field, or
// (an array) only item messages.
struct ParameterRecord {
    std::string_view name;
    ValueKind kind = ValueKind::None;
    std::string_view text;
    std::int64_t integer = 0;
    double number = 0;
    std::span<const std::uint8_t> items;  // the record's bytes from the first item on
};

// Reads the name and value of one EventParam; `allowItems` for a top-level parameter. False when
// the record is not in the event model's form.
bool readRecord(std::span<const std::uint8_t> bytes, bool allowItems, ParameterRecord& record) {
    WireReader reader(bytes);
    std::uint32_t field = 0;
    std::uint32_t wireType = 0;
    std::span<const std::uint8_t> name;
    if (!reader.tag(field, wireType) || field != kParamName || wireType != kLengthDelimited ||
        !reader.bytes(name) || !platform::isValidUTF8(textOf(name))) {
        return false;
    }
    record.name = textOf(name);
    if (reader.atEnd()) {
        // A name alone reads back as an empty array, which is written as a name alone.
        record.kind = allowItems ? ValueKind::Items : ValueKind::None;
        return allowItems;
    }
    const std::uint8_t* valueStart = reader.position();
    if (!reader.tag(field, wireType)) return false;
    if (field == kParamString && wireType == kLengthDelimited) {
        std::span<const std::uint8_t> text;
        if (!reader.bytes(text) || !platform::isValidUTF8(textOf(text))) return false;
        record.kind = ValueKind::String;
        record.text = textOf(text);
    } else if (field == kParamInt && wireType == kVarint) {
        std::uint64_t value = 0;
        if (!reader.varint(value)) return false;
        record.kind = ValueKind::Integer;
        record.integer = static_cast<std::int64_t>(value);
    } else if (field == kParamDouble && wireType == kFixed64) {
        std::uint64_t bits = 0;
        if (!reader.fixed64(bits)) return false;
        record.kind = ValueKind::Double;
        record.number = std::bit_cast<double>(bits);
    } else if (field == kParamChildren && wireType == kLengthDelimited && allowItems) {
        record.kind = ValueKind::Items;
        record.items = std::span<const std::uint8_t>(
            valueStart, static_cast<std::size_t>(bytes.data() + bytes.size() - valueStart));
        // Every remaining field is an item: a message of named scalar children in name order.
        WireReader items(record.items);
        while (!items.atEnd()) {
            std::span<const std::uint8_t> item;
            if (!items.tag(field, wireType) || field != kParamChildren ||
                wireType != kLengthDelimited || !items.bytes(item)) {
                return false;
            }
            WireReader children(item);
            std::string_view previous;
            bool first = true;
            while (!children.atEnd()) {
                std::span<const std::uint8_t> child;
                ParameterRecord scalar;
                if (!children.tag(field, wireType) || field != kParamChildren ||
                    wireType != kLengthDelimited || !children.bytes(child) ||
                    !readRecord(child, false, scalar) || scalar.kind == ValueKind::None ||
                    (!first && scalar.name <= previous)) {
                    return false;
                }
                previous = scalar.name;
                first = false;
            }
        }
        return true;
    } else {
        return false;
    }
    return reader.atEnd();
}

// The flag parameters bundling reads.
KLVStoredParameter* watched(KLVStoredEventScan& scan, std::string_view name) {
    if (name == kKLVRealtimeParameter) return &scan.realtime;
    if (name == kKLVConversionParameter) return &scan.conversion;
    if (name == "_et") return &scan.engagementTime;
    if (name == "_fr") return &scan.freeride;
    return nullptr;
}

bool isEngineEventName(std::string_view name) {
    return name.starts_with('_') || KLVEventNameMap().contains(name);
}

std::int64_t codePoints(std::string_view text) {
    return static_cast<std::int64_t>(klv_UTF32Length(text));
}

// Sanitising the rebuilt event's parameters (internal rules) would leave this one as it is.
bool keptBySanitising(const ParameterRecord& record, bool engineEvent,
                      const KLVStoredEventLimits& limits) {
    if (!KLVDataTypeValidator::passesInternalEventParameterNameRule(record.name)) return false;
    if (record.kind != ValueKind::String) return true;
    const std::int64_t length = codePoints(record.text);
    if (record.name == kKLVErrorValueParameter) {
        // An "_ev" is cut once; a cut one keeps its "..." and is not cut again.
        return length <= limits.maxInternalParameterValueLength ||
               (length == limits.maxInternalParameterValueLength + 3 &&
                record.text.ends_with("..."));
    }
    return !engineEvent || length <= limits.maxInternalParameterValueLength;
}

}  // namespace

KLVStoredEventLimits KLVStoredEventLimits::current() {
    const auto settings = KLVRemoteConfig::current();
    return {settings->maxInternalEventParameterValueLength(), settings->maxPublicEventParams()};
}

KLVStoredEventScan KLVScanStoredEvent(std::span<const std::uint8_t> bytes,
                                      std::string_view eventName,
                                      const KLVStoredEventLimits& limits) {
    KLVStoredEventScan scan;
    if (!KLVDataTypeValidator::passesInternalEventNameRule(eventName)) return scan;
    // The rebuilt event of a conversion or an ad impression has its value checked again.
    if (eventName == "ad_impression" || eventName == "_ai") return scan;
    const bool engineEvent = isEngineEventName(eventName);

    WireReader reader(bytes);
    std::uint32_t lastField = 0;
    std::string_view previousName;
    bool anyParameter = false;
    std::int64_t publicParameters = 0;
    bool hasOrigin = false;
    const std::uint8_t* recordsEnd = bytes.data();
    while (!reader.atEnd()) {
        std::uint32_t field = 0;
        std::uint32_t wireType = 0;
        const std::uint8_t* recordStart = reader.position();
        if (!reader.tag(field, wireType) || field < lastField) return scan;
        if (field == kEventParams && wireType == kLengthDelimited) {
            std::span<const std::uint8_t> body;
            ParameterRecord record;
            if (!reader.bytes(body) || !readRecord(body, true, record)) return scan;
            // The event model writes its parameters once each, in name order.
            if (anyParameter && record.name <= previousName) return scan;
            previousName = record.name;
            anyParameter = true;
            recordsEnd = reader.position();
            const auto offset = static_cast<std::size_t>(recordStart - bytes.data());
            const auto length = static_cast<std::size_t>(reader.position() - recordStart);
            if (record.name == kKLVOriginParameter) {
                if (record.kind != ValueKind::String) return scan;
                scan.origin = record.text;
                hasOrigin = true;
                continue;
            }
            if (!keptBySanitising(record, engineEvent, limits)) return scan;
            if (!record.name.starts_with('_')) ++publicParameters;
            if (KLVStoredParameter* flag = watched(scan, record.name)) {
                flag->present = true;
                flag->offset = offset;
                flag->length = length;
                if (record.kind == ValueKind::Integer) flag->integer = record.integer;
            }
        } else if ((field == kEventTimestamp || field == kEventPreviousTimestamp) &&
                   wireType == kVarint && field != lastField) {
            std::uint64_t value = 0;
            if (!reader.varint(value)) return scan;
            if (field == kEventPreviousTimestamp)
                scan.previousTimestampMillis = static_cast<std::int64_t>(value);
        } else {
            return scan;
        }
        lastField = field;
    }
    if (!hasOrigin || !KLVDataTypeValidator::passesEventOriginRule(scan.origin)) return scan;
    if (publicParameters > limits.maxPublicParameters) return scan;
    if (scan.conversion.integer == 1) return scan;
    scan.parameterRecords = std::span<const std::uint8_t>(
        bytes.data(), static_cast<std::size_t>(recordsEnd - bytes.data()));
    scan.passesThrough = true;
    return scan;
}

namespace {

platform::Object scalarObject(const ParameterRecord& record) {
    switch (record.kind) {
        case ValueKind::String:
            return platform::Object(std::string(record.text));
        case ValueKind::Integer:
            return platform::Object(record.integer);
        default:
            return platform::Object(record.number);
    }
}

}  // namespace

KLVParameters KLVStoredEventParameters(std::span<const std::uint8_t> parameterRecords) {
    KLVParameters parameters;
    WireReader reader(parameterRecords);
    std::uint32_t field = 0;
    std::uint32_t wireType = 0;
    std::span<const std::uint8_t> body;
    while (!reader.atEnd() && reader.tag(field, wireType) && reader.bytes(body)) {
        ParameterRecord record;
        if (!readRecord(body, true, record)) continue;
        if (record.kind == ValueKind::String) {
            parameters.emplace(record.name, KLVValue::initWithString(std::string(record.text)));
        } else if (record.kind == ValueKind::Integer) {
            parameters.emplace(record.name, KLVValue::initWithInt64(record.integer));
        } else if (record.kind == ValueKind::Double) {
            parameters.emplace(record.name, KLVValue::initWithDouble(record.number));
        } else {
            platform::Array items;
            WireReader itemReader(record.items);
            std::span<const std::uint8_t> item;
            while (!itemReader.atEnd() && itemReader.tag(field, wireType) &&
                   itemReader.bytes(item)) {
                platform::Dictionary dictionary;
                WireReader children(item);
                std::span<const std::uint8_t> child;
                while (!children.atEnd() && children.tag(field, wireType) &&
                       children.bytes(child)) {
                    ParameterRecord scalar;
                    if (readRecord(child, false, scalar))
                        dictionary.insert_or_assign(std::string(scalar.name), scalarObject(scalar));
                }
                items.emplace_back(std::move(dictionary));
            }
            parameters.emplace(record.name, KLVValue::initWithArray(std::move(items)));
        }
    }
    return parameters;
}

}  // namespace engine
