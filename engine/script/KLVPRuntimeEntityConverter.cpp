#include "engine/script/KLVPRuntimeEntityConverter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/messages/MessageCodec.h"
#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPBudget.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"
#include "engine/script/KLVPText.h"

namespace engine {

namespace {

constexpr std::uint32_t kStringEntity = 1;
constexpr std::uint32_t kNumberEntity = 2;
constexpr std::uint32_t kBooleanEntity = 3;
constexpr std::uint32_t kStatementEntity = 4;

// Entities are read from their fields in place (the accessors would copy every sub-tree).
const FieldValue& field(const MessageInfo& entity, std::int32_t index) {
    return entity.field(index);
}

std::uint32_t entityType(const MessageInfo& entity) {
    const std::uint64_t* bits = field(entity, KLVPBRuntimeEntity::type).scalar();
    return bits ? static_cast<std::uint32_t>(*bits) : 0;
}

KLVPValue convert(const MessageInfo& entity, int depth, platform::Error* error);

KLVPValue convertStatement(const MessageInfo& entity, int depth, platform::Error* error) {
    const std::string* name = field(entity, KLVPBRuntimeEntity::function_name).string();
    if (!name) {
        KLVPSetScriptError(error, kKLVPErrorStatementName);
        return KLVPUndefined();
    }
    KLVPValues arguments;
    if (const MessageList* entities = field(entity, KLVPBRuntimeEntity::value).messages()) {
        arguments.reserve(entities->size());
        for (const MessageInfo& argument : *entities) {
            arguments.push_back(convert(argument, depth + 1, error));
            if (KLVPFailed(error)) return KLVPUndefined();
        }
    }
    return std::make_shared<KLVPStatementValue>(KLVPUTF16FromUTF8(*name), std::move(arguments));
}

KLVPValue convert(const MessageInfo& entity, int depth, platform::Error* error) {
    if (&entity.type() != &KLVPBRuntimeEntity::messageType()) {
        KLVPSetScriptError(error, kKLVPErrorEntityType);
        return KLVPUndefined();
    }
    if (depth > kMaxNestingDepth) {
        KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
        return KLVPUndefined();
    }
    switch (entityType(entity)) {
        case kStringEntity:
            return KLVPRuntimeEntityConverter::stringValueFromRuntimeEntity(entity);
        case kNumberEntity:
            return KLVPRuntimeEntityConverter::numberValueFromRuntimeEntity(entity);
        case kBooleanEntity:
            return KLVPRuntimeEntityConverter::booleanValueFromRuntimeEntity(entity);
        case kStatementEntity:
            return convertStatement(entity, depth, error);
        default:
            KLVPSetScriptError(error, kKLVPErrorEntityType);
            return KLVPUndefined();
    }
}

KLVPValue fromObject(const platform::Object& object, KLVPScope& scope, int depth,
                     platform::Error* error);

KLVPValue fromArray(const platform::Array& array, KLVPScope& scope, int depth,
                    platform::Error* error) {
    KLVPValues values;
    values.reserve(array.size());
    for (const platform::Object& element : array) {
        values.push_back(fromObject(element, scope, depth + 1, error));
        if (KLVPFailed(error)) return KLVPUndefined();
    }
    auto result = KLVPObjectManager::arrayValueWithArray(std::move(values), scope, error);
    if (!result) return KLVPUndefined();
    return result;
}

KLVPValue fromDictionary(const platform::Dictionary& dictionary, KLVPScope& scope, int depth,
                         platform::Error* error) {
    const auto map = KLVPObjectManager::mapValueWithScope(scope);
    for (const auto& [key, element] : dictionary) {
        KLVPValue value = fromObject(element, scope, depth + 1, error);
        if (KLVPFailed(error)) return KLVPUndefined();
        map->setValue(std::move(value), KLVPUTF16FromUTF8(key));
    }
    return map;
}

KLVPValue fromObject(const platform::Object& object, KLVPScope& scope, int depth,
                     platform::Error* error) {
    if (depth > kMaxNestingDepth) {
        KLVPSetScriptError(error, kKLVPErrorRuntimeLimit);
        return KLVPUndefined();
    }
    switch (object.type()) {
        case platform::Object::Type::Null:
            return KLVPNull();
        case platform::Object::Type::Bool:
            return KLVPBoolean(object.asBool());
        case platform::Object::Type::Integer:
        case platform::Object::Type::Double:
            return KLVPNumberValue::make(*object.numberAsDouble());
        case platform::Object::Type::String:
            return KLVPStringValue::make(KLVPUTF16FromUTF8(object.asString()), error);
        case platform::Object::Type::Array:
            return fromArray(object.asArray(), scope, depth, error);
        case platform::Object::Type::Dictionary:
            return fromDictionary(object.asDictionary(), scope, depth, error);
        case platform::Object::Type::Data:
        case platform::Object::Type::Date:
            break;
    }
    KLVPSetScriptError(error, kKLVPErrorUnsupportedObject);
    return KLVPUndefined();
}

// Runtime values to platform objects, which become event parameters: each object is charged as
// made. Maps and arrays may hold themselves, or each other: the containers on the way down are
// kept, and meeting one again, or going deeper than kKLVPMaxConversionDepth, is script error 19.
class ObjectConversion {
  public:
    explicit ObjectConversion(platform::Error* error) : error_(error) {}

    platform::Object object(const KLVPValue& value) {
        if (!KLVPChargeMemory(kKLVPPlatformObjectBytes, error_) || !KLVPChargeWork(1, error_))
            return {};
        switch (value->kind()) {
            case KLVPValueKind::Null:
                return {};
            case KLVPValueKind::Undefined:
            case KLVPValueKind::Hole:  // a hole reads as undefined
                return platform::Object("");
            case KLVPValueKind::Map:
                return dictionary(static_cast<const KLVPObjectValue&>(*value));
            case KLVPValueKind::Array:
                return array(static_cast<const KLVPArrayValue&>(*value));
            default:
                break;
        }
        const double number = value->doubleValueOrError(error_);
        if (KLVPFailed(error_)) return {};
        if (!std::isnan(number)) return platform::Object(number);
        const KLVPTextForm text(value, error_);
        if (KLVPFailed(error_)) return {};
        return platform::Object(utf8(text.view()));
    }

    platform::Dictionary dictionary(const KLVPObjectValue& map) {
        const KLVPConversionPath::Step step(path_, &map, error_);
        if (!step) return {};
        platform::Dictionary dictionary;
        map.propertyMap().forEachEntry([&](const std::u16string& name, const KLVPValue& property) {
            if (KLVPFailed(error_)) return;
            platform::Object object = this->object(property);
            if (KLVPFailed(error_) || object.isNull()) return;
            std::string key = utf8(name);
            if (!KLVPFailed(error_)) dictionary.insert_or_assign(std::move(key), std::move(object));
        });
        if (KLVPFailed(error_)) return {};
        return dictionary;
    }

  private:
    platform::Array array(const KLVPArrayValue& value) {
        const KLVPConversionPath::Step step(path_, &value, error_);
        if (!step) return {};
        platform::Array array;
        for (const KLVPValue& element : value.elements()) {
            platform::Object object = this->object(element);
            if (KLVPFailed(error_)) return {};
            // Null has no platform object: it is left out, as in dictionaries.
            if (!object.isNull()) array.push_back(std::move(object));
        }
        return array;
    }

    // UTF-8 text, its bytes charged as made.
    std::string utf8(std::u16string_view text) {
        std::string bytes = KLVPUTF8FromUTF16(text);
        if (!KLVPChargeMemory(bytes.size(), error_) || !KLVPChargeWork(text.size(), error_))
            return {};
        return bytes;
    }

    platform::Error* const error_;
    KLVPConversionPath path_;
};

}  // namespace

KLVPValue KLVPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(
    const KLVPBRuntimeEntity& entity, platform::Error* error) {
    return convert(entity.messageInfo(), 0, error);
}

KLVPValue KLVPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const MessageInfo& entity,
                                                                    platform::Error* error) {
    return convert(entity, 0, error);
}

KLVPValue KLVPRuntimeEntityConverter::stringValueFromRuntimeEntity(const MessageInfo& entity) {
    const std::string* text = field(entity, KLVPBRuntimeEntity::string_value).string();
    return KLVPStringValue::make(text ? KLVPUTF16FromUTF8(*text) : std::u16string());
}

KLVPValue KLVPRuntimeEntityConverter::numberValueFromRuntimeEntity(const MessageInfo& entity) {
    const std::uint64_t* bits = field(entity, KLVPBRuntimeEntity::number_value).scalar();
    return KLVPNumberValue::make(bits ? std::bit_cast<double>(*bits)
                                      : std::numeric_limits<double>::quiet_NaN());
}

KLVPValue KLVPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const MessageInfo& entity) {
    const std::uint64_t* bits = field(entity, KLVPBRuntimeEntity::boolean_value).scalar();
    return KLVPBoolean(bits && *bits != 0);
}

KLVPValue KLVPRuntimeEntityConverter::statementValueFromRuntimeEntity(const MessageInfo& entity,
                                                                      platform::Error* error) {
    return convertStatement(entity, 0, error);
}

KLVPValue KLVPRuntimeEntityConverter::runtimeValueFromNSObject(const platform::Object& object,
                                                               KLVPScope& scope,
                                                               platform::Error* error) {
    return fromObject(object, scope, 0, error);
}

platform::Object KLVPRuntimeEntityConverter::objectFromRuntimeValue(const KLVPValue& value,
                                                                    platform::Error* error) {
    platform::Error failure;
    platform::Object object = ObjectConversion(&failure).object(value);
    if (!KLVPFailed(&failure)) return object;
    if (error) *error = std::move(failure);
    return {};
}

platform::Dictionary KLVPRuntimeEntityConverter::dictionaryFromMapValue(const KLVPMapValue& map,
                                                                        platform::Error* error) {
    platform::Error failure;
    platform::Dictionary dictionary = ObjectConversion(&failure).dictionary(map);
    if (!KLVPFailed(&failure)) return dictionary;
    if (error) *error = std::move(failure);
    return {};
}

}  // namespace engine
