#include "app/core/QuroFormulaSymbol.h"

#include "app/core/JsonDecoding.h"
#include "platform/foundation/SharedInstance.h"

namespace app {

std::optional<Symbol> Symbol::fromJson(const nlohmann::json& object, platform::Error* error) {
    return decodeRecord<Symbol>(object, error, [](const nlohmann::json& o) {
        return Symbol{decodeString(o, "category"), decodeString(o, "subcategory"),
                      decodeString(o, "topic"),    decodeString(o, "key"),
                      decodeString(o, "latex"),    decodeString(o, "name"),
                      decodeString(o, "unit"),     decodeOptionalNumberDictionary(o, "rules")};
    });
}

nlohmann::ordered_json Symbol::toJson() const {
    nlohmann::ordered_json object;
    object["category"] = category;
    object["subcategory"] = subcategory;
    object["topic"] = topic;
    object["key"] = key;
    object["latex"] = latex;
    object["name"] = name;
    object["unit"] = unit;
    if (rules) {
        object["rules"] = nlohmann::ordered_json::object();
        for (const auto& [rule, number] : *rules)
            object["rules"][rule] = number;
    }
    return object;
}

QuroFormulaSymbol& QuroFormulaSymbol::shared() {
    return platform::SharedInstance<QuroFormulaSymbol>::get();
}

}  // namespace app
