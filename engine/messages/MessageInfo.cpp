#include "engine/messages/MessageInfo.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <ostream>
#include <string>

#include "engine/messages/MessageCodec.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Object.h"

namespace engine {

FieldValue FieldValue::emptyFor(const FieldInfo& field) {
    FieldValue value;
    if (!kindIsRepeated(field.kind)) return value;
    switch (kindValueType(field.kind)) {
        case kKindString:
        case kKindBytes:
            value.setList(StringList{});
            break;
        case kKindMessage:
            value.setList(MessageList{});
            break;
        default:
            value.setList(ScalarList{});
            break;
    }
    return value;
}

namespace {

// The empty value of every kind of field, for reads of fields that are not set.
const FieldValue& emptyValueFor(const FieldInfo& field) {
    static const FieldValue absent;
    static const FieldValue scalars = [] {
        FieldValue v;
        v.setList(ScalarList{});
        return v;
    }();
    static const FieldValue strings = [] {
        FieldValue v;
        v.setList(StringList{});
        return v;
    }();
    static const FieldValue messages = [] {
        FieldValue v;
        v.setList(MessageList{});
        return v;
    }();
    if (!kindIsRepeated(field.kind)) return absent;
    switch (kindValueType(field.kind)) {
        case kKindString:
        case kKindBytes:
            return strings;
        case kKindMessage:
            return messages;
        default:
            return scalars;
    }
}

// A slot holding nothing a read could tell from a field that is not set.
bool isEmptyValue(const FieldValue& value) {
    if (value.isAbsent()) return true;
    if (const auto* list = value.scalars()) return list->empty();
    if (const auto* list = value.strings()) return list->empty();
    if (const auto* list = value.messages()) return list->empty();
    return false;
}

void printScalar(std::int32_t valueType, std::uint64_t bits, std::ostream& os) {
    switch (valueType) {
        case kKindBool:
            os << (bits ? "true" : "false");
            return;
        case kKindEnum:
        case kKindInt32:
            os << static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
            return;
        case kKindUInt32:
            os << static_cast<std::uint32_t>(bits);
            return;
        case kKindInt64:
            os << static_cast<std::int64_t>(bits);
            return;
        case kKindFloat:
            os << platform::shortestNumberText(
                std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
            return;
        case kKindDouble:
            os << platform::shortestNumberText(std::bit_cast<double>(bits));
            return;
        default:
            os << bits;
            return;
    }
}

void printString(std::int32_t valueType, const std::string& bytes, std::ostream& os) {
    if (valueType == kKindBytes)
        os << platform::Object(platform::Data(bytes.begin(), bytes.end())).description();
    else
        os << platform::Object(bytes).description();
}

template <typename List, typename Print>
void printList(const List& list, Print print, std::ostream& os) {
    os << '[';
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) os << ", ";
        print(list[i]);
    }
    os << ']';
}

}  // namespace

void PrintTo(const MessageInfo& info, std::ostream* os) {
    *os << info.name() << '{';
    bool first = true;
    for (const auto index : info.type().tagOrder()) {
        const auto& value = info.field(index);
        if (isEmptyValue(value)) continue;
        const auto& field = info.type().field(index);
        const auto valueType = kindValueType(field.kind);
        *os << (first ? "" : ", ") << field.name << ": ";
        first = false;
        if (const auto* bits = value.scalar()) {
            printScalar(valueType, *bits, *os);
        } else if (const auto* bytes = value.string()) {
            printString(valueType, *bytes, *os);
        } else if (const auto* message = value.message()) {
            PrintTo(*message, os);
        } else if (const auto* list = value.scalars()) {
            printList(
                *list, [&](std::uint64_t b) { printScalar(valueType, b, *os); }, *os);
        } else if (const auto* list = value.strings()) {
            printList(
                *list, [&](const std::string& s) { printString(valueType, s, *os); }, *os);
        } else if (const auto* list = value.messages()) {
            printList(
                *list, [&](const MessageInfo& m) { PrintTo(m, os); }, *os);
        }
    }
    *os << '}';
}

FieldValue& MessageInfo::field(std::int32_t index) {
    auto at = std::lower_bound(slots_.begin(), slots_.end(), index,
                               [](const Slot& slot, std::int32_t i) { return slot.index < i; });
    if (at == slots_.end() || at->index != index)
        at = slots_.insert(at, Slot{index, FieldValue::emptyFor(type_->field(index))});
    return at->value;
}

const FieldValue& MessageInfo::field(std::int32_t index) const {
    const auto at =
        std::lower_bound(slots_.begin(), slots_.end(), index,
                         [](const Slot& slot, std::int32_t i) { return slot.index < i; });
    if (at != slots_.end() && at->index == index) return at->value;
    return emptyValueFor(type_->field(index));
}

bool MessageInfo::clearField(std::int32_t index) {
    if (!type_->isValidIndex(index)) {
        printCodecLine("<ERROR> " + std::string(name()) + ": Cannot deallocate field " +
                       decimalString(index) + ": Unknown field\n");
        return false;
    }
    std::erase_if(slots_, [&](const Slot& slot) { return slot.index == index; });
    return true;
}

bool operator==(const MessageInfo& a, const MessageInfo& b) {
    if (a.type_ != b.type_) return false;
    // A slot holding an empty value equals no slot.
    for (const auto& slot : a.slots_) {
        if (!(slot.value == b.field(slot.index))) return false;
    }
    for (const auto& slot : b.slots_) {
        if (!isEmptyValue(slot.value) && !(slot.value == a.field(slot.index))) return false;
    }
    return true;
}

}  // namespace engine
