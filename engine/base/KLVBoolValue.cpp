#include "engine/base/KLVBoolValue.h"

namespace engine {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

bool KLVStringBoolValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0')
        ++i;
    if (i == text.size()) return false;
    const char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::optional<bool> KLVBoolValue(const platform::Object& value) {
    if (const auto* text = value.getString()) return KLVStringBoolValue(*text);
    if (const auto number = value.numberAsDouble()) return *number != 0;
    return std::nullopt;
}

}  // namespace engine
