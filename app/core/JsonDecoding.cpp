#include "app/core/JsonDecoding.h"

namespace app {
namespace {

const nlohmann::json& member(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        throw DecodingFailure(DecodingErrorCode::keyNotFound,
                              std::string("No value associated with key \"") + key + "\".");
    }
    return *found;
}

[[noreturn]] void mismatch(const char* key, const char* expected, const nlohmann::json& found) {
    throw DecodingFailure(DecodingErrorCode::typeMismatch,
                          std::string("Expected to decode ") + expected + " for key \"" + key +
                              "\" but found " + found.type_name() + " instead.");
}

std::string stringValue(const char* key, const nlohmann::json& value) {
    if (!value.is_string()) mismatch(key, "String", value);
    return value.get<std::string>();
}

double numberValue(const char* key, const nlohmann::json& value) {
    if (!value.is_number()) mismatch(key, "Double", value);
    return value.get<double>();
}

bool isAbsent(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null();
}

}  // namespace

void requireObject(const nlohmann::json& value) {
    if (!value.is_object()) mismatch("", "a keyed record", value);
}

std::string decodeString(const nlohmann::json& object, const char* key) {
    return stringValue(key, member(object, key));
}

double decodeNumber(const nlohmann::json& object, const char* key) {
    return numberValue(key, member(object, key));
}

std::vector<std::string> decodeStringList(const nlohmann::json& object, const char* key) {
    const auto& list = member(object, key);
    if (!list.is_array()) mismatch(key, "Array<String>", list);
    std::vector<std::string> texts;
    for (const auto& element : list)
        texts.push_back(stringValue(key, element));
    return texts;
}

std::optional<std::vector<std::string>> decodeOptionalStringList(const nlohmann::json& object,
                                                                 const char* key) {
    if (isAbsent(object, key)) return std::nullopt;
    return decodeStringList(object, key);
}

std::optional<std::map<std::string, double>> decodeOptionalNumberDictionary(
    const nlohmann::json& object, const char* key) {
    if (isAbsent(object, key)) return std::nullopt;
    const auto& dictionary = object.at(key);
    if (!dictionary.is_object()) mismatch(key, "Dictionary<String, Double>", dictionary);
    std::map<std::string, double> numbers;
    for (const auto& [name, value] : dictionary.items())
        numbers[name] = numberValue(key, value);
    return numbers;
}

}  // namespace app
