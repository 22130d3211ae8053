#include "engine/messages/KLVPBFlagFunctions.h"

#include <utility>

#include "engine/messages/NANOAccessors.h"

namespace engine {

namespace {

std::optional<KLVPBFlag> refuse(KLVPBFlagFailure* failure, KLVPBFlagFailure reason) {
    if (failure) *failure = std::move(reason);
    return std::nullopt;
}

}  // namespace

platform::Object KLVPBFlagValue(const KLVPBFlag* flag) {
    if (!flag) return {};
    if (NANOHasField(flag, KLVPBFlag::int_value)) return NANOGetInt64(flag, KLVPBFlag::int_value);
    if (NANOHasField(flag, KLVPBFlag::double_value)) {
        return NANOGetDouble(flag, KLVPBFlag::double_value);
    }
    if (NANOHasField(flag, KLVPBFlag::string_value)) {
        auto text = NANOGetString(flag, KLVPBFlag::string_value);
        return text ? platform::Object(std::move(*text)) : platform::Object();
    }
    if (NANOHasField(flag, KLVPBFlag::bool_value)) return NANOGetBool(flag, KLVPBFlag::bool_value);
    return {};
}

std::optional<KLVPBFlag> KLVPBFlagWithNameAndValue(const platform::Object& name,
                                                   const platform::Object& value,
                                                   KLVPBFlagFailure* failure) {
    if (name.isNull()) return refuse(failure, {850000, "Flag name must not be nil", ""});
    if (!name.isString()) {
        return refuse(failure,
                      {850001, "Flag name must be a string", platform::typeName(name.type())});
    }
    if (!value.isNumber() && !value.isString()) {
        return refuse(failure, {850002, "Flag value is invalid", platform::typeName(value.type())});
    }
    KLVPBFlag flag;
    NANOSetString(flag, KLVPBFlag::name, name.asString());
    if (value.isString()) {
        NANOSetString(flag, KLVPBFlag::string_value, value.asString());
    } else if (value.isDouble()) {
        NANOSetDouble(flag, KLVPBFlag::double_value, value.asDouble());
    } else {
        NANOSetInt64(flag, KLVPBFlag::int_value, *value.numberAsInteger());
    }
    return flag;
}

}  // namespace engine
