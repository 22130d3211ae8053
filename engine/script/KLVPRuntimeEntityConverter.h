#pragma once

// Conversions into and out of runtime values: program entities into literals and statements, and
// platform objects (event parameters, module answers) both ways.

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/MessageInfo.h"
#include "engine/script/KLVPRuntimeValue.h"
#include "platform/foundation/Object.h"

namespace engine {

class KLVPMapValue;
class KLVPScope;

class KLVPRuntimeEntityConverter {
  public:
    // By the entity's type: 1 string, 2 number, 3 boolean, 4 statement; any other (or none) is
    // script error 12. A tree nested deeper than kMaxNestingDepth is script error 19. The first
    // failure anywhere fails the whole entity with undefined. The entity is read in place.
    static KLVPValue runtimeValueFromRuntimeEntity(const KLVPBRuntimeEntity& entity,
                                                   platform::Error* error);
    static KLVPValue runtimeValueFromRuntimeEntity(const MessageInfo& entity,
                                                   platform::Error* error);
    // Missing fields give "", NaN and false.
    static KLVPValue stringValueFromRuntimeEntity(const MessageInfo& entity);
    static KLVPValue numberValueFromRuntimeEntity(const MessageInfo& entity);
    static KLVPValue booleanValueFromRuntimeEntity(const MessageInfo& entity);
    // Script error 14 without a name.
    static KLVPValue statementValueFromRuntimeEntity(const MessageInfo& entity,
                                                     platform::Error* error);

    // Null gives null; strings, booleans and numbers their values; dictionaries new maps and
    // arrays new arrays (made through the scope's runtime); data and dates script error 13.
    static KLVPValue runtimeValueFromNSObject(const platform::Object& object, KLVPScope& scope,
                                              platform::Error* error);
    // Null gives the null object (none); undefined ""; maps dictionaries and arrays arrays, both
    // without their null members; anything else its number, or its text when the number is NaN.
    // The objects are charged to the run as made; a structure nested deeper than
    // kKLVPMaxConversionDepth, or holding itself, is script error 19.
    static platform::Object objectFromRuntimeValue(const KLVPValue& value, platform::Error* error);
    static platform::Dictionary dictionaryFromMapValue(const KLVPMapValue& map,
                                                       platform::Error* error);
};

}  // namespace engine
