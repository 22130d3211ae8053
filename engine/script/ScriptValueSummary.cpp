#include "engine/script/ScriptValueSummary.h"

#include <optional>

#include "engine/messages/MessageCodec.h"
#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPRuntimeEntityConverter.h"
#include "engine/script/KLVPScriptError.h"
#include "engine/script/KLVPText.h"

namespace engine {

namespace {

const char* typeName(KLVPValueKind kind) {
    switch (kind) {
        case KLVPValueKind::Null:
            return "null";
        case KLVPValueKind::Boolean:
            return "boolean";
        case KLVPValueKind::Number:
            return "number";
        case KLVPValueKind::String:
            return "string";
        case KLVPValueKind::Map:
            return "map";
        case KLVPValueKind::Function:
            return "function";
        case KLVPValueKind::Array:
            return "array";
        case KLVPValueKind::Statement:
            return "statement";
        case KLVPValueKind::Control:
            return "control";
        case KLVPValueKind::Undefined:
        case KLVPValueKind::Hole:
            break;
    }
    return "undefined";
}

// The text without charging any run: a summary is made after the run.
std::optional<std::u16string> textOf(const KLVPValue& value, int depth) {
    if (depth > kMaxNestingDepth) return std::nullopt;
    switch (value->kind()) {
        case KLVPValueKind::Statement:
            return static_cast<const KLVPStatementValue&>(*value).functionName();
        case KLVPValueKind::Control: {
            const auto& control = static_cast<const KLVPControlValue&>(*value);
            std::u16string text = KLVPUTF16FromASCII(control.typeName());
            if (control.type() != KLVPControlValue::Type::Return) return text;
            const auto data = textOf(control.data(), depth + 1);
            if (!data) return std::nullopt;
            return text + u":" + *data;
        }
        case KLVPValueKind::Array: {
            std::u16string text;
            const KLVPValues& slots = static_cast<const KLVPArrayValue&>(*value).elements();
            for (std::size_t i = 0; i < slots.size(); ++i) {
                if (i > 0) text += u",";
                const KLVPValueKind kind = slots[i]->kind();
                if (kind == KLVPValueKind::Hole || kind == KLVPValueKind::Undefined ||
                    kind == KLVPValueKind::Null)
                    continue;
                const auto element = textOf(slots[i], depth + 1);
                if (!element) return std::nullopt;
                text += *element;
            }
            return text;
        }
        default: {
            platform::Error error;
            std::u16string text = value->stringValueOrError(&error);
            if (KLVPFailed(&error)) return std::nullopt;
            return text;
        }
    }
}

}  // namespace

ScriptValueSummary summarizeScriptValue(const KLVPValue& value) {
    ScriptValueSummary summary;
    summary.type = typeName(value->kind());
    if (const auto text = textOf(value, 0)) summary.text = KLVPUTF8FromUTF16(*text);
    platform::Error error;
    platform::Object object = KLVPRuntimeEntityConverter::objectFromRuntimeValue(value, &error);
    if (!KLVPFailed(&error)) summary.object = std::move(object);
    return summary;
}

}  // namespace engine
