#include "engine/messages/MessageType.h"

#include <pb_common.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/foundation/Log.h"

namespace engine {

namespace {

// Label and value-type bits under the generator's own names, so that an entry of a generated field
// list turns into its kind word by token pasting. A schema that used any other type would not
// compile here; not every listed type is used by the current schemas.
enum : std::int32_t {
    kLabel_OPTIONAL = kKindSingular,
    kLabel_REPEATED = kKindRepeated,
    kType_BOOL = kKindBool,
    kType_ENUM = kKindEnum,
    kType_UENUM = kKindEnum,
    kType_INT32 = kKindInt32,
    kType_UINT32 = kKindUInt32,
    kType_INT64 = kKindInt64,
    kType_UINT64 = kKindUInt64,
    kType_FLOAT = kKindFloat,
    kType_DOUBLE = kKindDouble,
    kType_STRING = kKindString,
    kType_BYTES = kKindBytes,
    kType_MESSAGE = kKindMessage,
};

// What the generator's field list says of one field.
struct FieldSchema {
    std::int32_t position;
    std::uint32_t tag;
    std::int32_t kind;
    const char* name;
};

struct MessageSchema {
    const char* name;
    MessageId id;
    const pb_msgdesc_t* descriptor;
    std::size_t structSize;
    std::span<const FieldSchema> fields;
};

#define TESSALINE_FIELD_SCHEMA(Struct, atype, htype, ltype, field, tag)                       \
    FieldSchema{TESSALINE_FIELD_POSITION(Struct, field), tag, kLabel_##htype | kType_##ltype, \
                #field},
#define TESSALINE_SCHEMA_FIELDS(Class, Message)    \
    constexpr FieldSchema k##Message##Fields[] = { \
        tessaline_##Message##_FIELDLIST(TESSALINE_FIELD_SCHEMA, tessaline_##Message)};
TESSALINE_MESSAGES(TESSALINE_SCHEMA_FIELDS)
#undef TESSALINE_SCHEMA_FIELDS
#undef TESSALINE_FIELD_SCHEMA

#define TESSALINE_SCHEMA(Class, Message)                                    \
    MessageSchema{#Message, MessageId::Message, &tessaline_##Message##_msg, \
                  sizeof(tessaline_##Message), k##Message##Fields},
const MessageSchema kSchemas[] = {TESSALINE_MESSAGES(TESSALINE_SCHEMA)};
#undef TESSALINE_SCHEMA

// The descriptor's wire-level types that each value type may have (the generator marks an enum
// without negative values unsigned).
struct WireTypeOfKind {
    std::int32_t valueType;
    pb_type_t ltype;
};
constexpr WireTypeOfKind kWireTypes[] = {
    {kKindBool, PB_LTYPE_BOOL},      {kKindEnum, PB_LTYPE_VARINT},
    {kKindEnum, PB_LTYPE_UVARINT},   {kKindInt32, PB_LTYPE_VARINT},
    {kKindUInt32, PB_LTYPE_UVARINT}, {kKindInt64, PB_LTYPE_VARINT},
    {kKindUInt64, PB_LTYPE_UVARINT}, {kKindFloat, PB_LTYPE_FIXED32},
    {kKindDouble, PB_LTYPE_FIXED64}, {kKindString, PB_LTYPE_STRING},
    {kKindBytes, PB_LTYPE_BYTES},    {kKindMessage, PB_LTYPE_SUBMESSAGE},
};

bool wireTypeMatches(std::int32_t kind, pb_type_t type) {
    return std::any_of(std::begin(kWireTypes), std::end(kWireTypes), [&](const auto& e) {
        return e.valueType == kindValueType(kind) && e.ltype == PB_LTYPE(type);
    });
}

bool labelMatches(std::int32_t kind, pb_type_t type) {
    const bool repeated = PB_HTYPE(type) == PB_HTYPE_REPEATED;
    return PB_ATYPE(type) == PB_ATYPE_CALLBACK && repeated == kindIsRepeated(kind);
}

// The generated tables and field lists come from the same schema; a mismatch means the generator
// changed under us, and nothing could be decoded safely.
void require(bool condition, const MessageSchema& schema, const char* what) {
    if (condition) return;
    platform::systemLog(std::string("<Nano/Failure> Inconsistent field table for ") + schema.name +
                        ": " + what);
    std::abort();
}

}  // namespace

MessageType::MessageType(const char* name, MessageId id) : name_(name), id_(id) {}

std::optional<std::int32_t> MessageType::indexForTag(std::uint32_t tag) const {
    if (tag >= indexByTag_.size() || indexByTag_[tag] < 0) return std::nullopt;
    return indexByTag_[tag];
}

class MessageTypeRegistry {
  public:
    static const std::vector<MessageType>& types() {
        static const std::vector<MessageType> types = build();
        return types;
    }

  private:
    static std::vector<MessageType> build() {
        std::vector<MessageType> types;
        types.reserve(std::size(kSchemas));
        for (const auto& schema : kSchemas)
            types.emplace_back(schema.name, schema.id);
        for (std::size_t i = 0; i < types.size(); ++i)
            load(types[i], kSchemas[i], types);
        return types;
    }

    // Walks the generated field table and places each field at its declaration position.
    static void load(MessageType& type, const MessageSchema& schema,
                     const std::vector<MessageType>& all) {
        const std::size_t count = schema.fields.size();
        require(schema.structSize == count * sizeof(pb_callback_t), schema, "structure layout");
        type.fields_.resize(count);
        std::vector<bool> placed(count, false);
        // The iterator computes field addresses inside a structure; give it a real one.
        std::vector<pb_callback_t> scratch(count);
        pb_field_iter_t iter;
        require(pb_field_iter_begin_const(&iter, schema.descriptor, scratch.data()), schema,
                "no fields");
        do {
            require(iter.index < count, schema, "field count");
            const FieldSchema& listed = schema.fields[iter.index];
            const auto offset = static_cast<const char*>(iter.pField) -
                                reinterpret_cast<const char*>(scratch.data());
            const auto position =
                static_cast<std::int32_t>(static_cast<std::size_t>(offset) / sizeof(pb_callback_t));
            require(position == listed.position && iter.tag == listed.tag, schema, listed.name);
            require(!placed[static_cast<std::size_t>(position)], schema, listed.name);
            require(labelMatches(listed.kind, iter.type) && wireTypeMatches(listed.kind, iter.type),
                    schema, listed.name);
            placed[static_cast<std::size_t>(position)] = true;
            type.fields_[static_cast<std::size_t>(position)] =
                FieldInfo{listed.tag, listed.kind, listed.name, subMessageType(iter, all)};
            require((listed.kind & kKindMessage) == 0 ||
                        type.fields_[static_cast<std::size_t>(position)].messageType != nullptr,
                    schema, listed.name);
        } while (pb_field_iter_next(&iter));
        require(std::find(placed.begin(), placed.end(), false) == placed.end(), schema,
                "unplaced field");
        index(type);
    }

    static const MessageType* subMessageType(const pb_field_iter_t& iter,
                                             const std::vector<MessageType>& all) {
        if (!PB_LTYPE_IS_SUBMSG(iter.type)) return nullptr;
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (kSchemas[i].descriptor == iter.submsg_desc) return &all[i];
        }
        return nullptr;
    }

    static void index(MessageType& type) {
        std::uint32_t largest = 0;
        for (const auto& f : type.fields_) {
            type.kinds_.push_back(f.kind);
            largest = std::max(largest, f.tag);
        }
        type.indexByTag_.assign(largest + 1, -1);
        for (std::int32_t i = 0; i < type.fieldCount(); ++i) {
            type.tagOrder_.push_back(i);
            type.indexByTag_[type.field(i).tag] = i;
        }
        std::sort(
            type.tagOrder_.begin(), type.tagOrder_.end(),
            [&](std::int32_t a, std::int32_t b) { return type.field(a).tag < type.field(b).tag; });
    }
};

const MessageType& messageType(MessageId id) {
    return MessageTypeRegistry::types()[static_cast<std::size_t>(id)];
}

const MessageType* messageTypeNamed(std::string_view name) {
    for (const auto& type : MessageTypeRegistry::types()) {
        if (name == type.name()) return &type;
    }
    return nullptr;
}

std::span<const MessageType> allMessageTypes() {
    return MessageTypeRegistry::types();
}

}  // namespace engine
