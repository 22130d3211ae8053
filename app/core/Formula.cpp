#include "app/core/Formula.h"

#include "app/core/JsonDecoding.h"

namespace app {

std::optional<Formula> Formula::fromJson(const nlohmann::json& object, platform::Error* error) {
    return decodeRecord<Formula>(object, error, [](const nlohmann::json& o) {
        return Formula{
            decodeString(o, "category"),    decodeString(o, "subcategory"),
            decodeString(o, "topic"),       decodeString(o, "type"),
            decodeString(o, "imageName"),   decodeString(o, "searched"),
            decodeStringList(o, "given"),   decodeString(o, "latex"),
            decodeString(o, "identifier"),  decodeOptionalStringList(o, "conditions"),
            decodeString(o, "description"),
        };
    });
}

nlohmann::ordered_json Formula::toJson() const {
    nlohmann::ordered_json object;
    object["category"] = category;
    object["subcategory"] = subcategory;
    object["topic"] = topic;
    object["type"] = type;
    object["imageName"] = imageName;
    object["searched"] = searched;
    object["given"] = given;
    object["latex"] = latex;
    object["identifier"] = identifier;
    if (conditions) object["conditions"] = *conditions;
    object["description"] = description;
    return object;
}

std::string_view description(FormulaError error) {
    switch (error) {
        case FormulaError::configurationFailed:
            return "configurationFailed";
    }
    return "";
}

platform::Error makeError(FormulaError error) {
    return {
        kFormulaErrorDomain, static_cast<std::int64_t>(error), std::string(description(error)), {}};
}

}  // namespace app
