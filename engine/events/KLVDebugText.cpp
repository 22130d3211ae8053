#include "engine/events/KLVDebugText.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "engine/base/KLVEventNameMap.h"
#include "engine/base/KLVEventParameterNameMap.h"
#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVMonitor.h"
#include "engine/base/KLVUserPropertyInternalNameMap.h"

namespace engine {
namespace {

bool debugMode() {
    return monitor().isDebugModeEnabled();
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The public name whose table entry maps to `name`: the first that is not a "tarnwell_" name,
// else the last one found.
template <typename Table>
std::string nameLookup(std::string_view name, const Table& table) {
    if (name.empty() || table.empty() || name.front() != '_' || !debugMode()) {
        return std::string(name);
    }
    const std::string* found = nullptr;
    for (const auto& [key, value] : table) {
        if (value != name) continue;
        found = &key;
        if (!startsWith(key, "tarnwell_")) break;
    }
    return found ? *found + " (" + std::string(name) + ")" : std::string(name);
}

bool lessCaseInsensitive(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
}

std::string arrayText(const platform::Array& array) {
    std::string text = "[\n";
    for (std::size_t i = 0; i < array.size(); ++i) {
        if (i > 0) text += ",\n";
        text += KLVDebugDictionaryText(array[i], "    ");
    }
    return text + "\n    ]";
}

std::string valueText(std::string_view key, const KLVValue& value) {
    if (const auto* array = value.arrayValue()) return arrayText(*array);
    if (key == "_err" && value.isInt64()) {
        const auto& names = errorCodeNames();
        const auto it = names.find(value.int64Value());
        if (it != names.end()) {
            return std::string(it->second) + " (" + std::to_string(value.int64Value()) + ")";
        }
        return std::to_string(value.int64Value());
    }
    return value.description();
}

std::string valueText(std::string_view key, const platform::Object& value) {
    if (const auto* array = value.getArray()) return arrayText(*array);
    if (key == "_err") {
        if (const auto klvValue = KLVValue::valueFromObject(value);
            klvValue && klvValue->isInt64()) {
            return valueText(key, *klvValue);
        }
    }
    return value.description();
}

template <typename Map>
std::string layout(const Map& map, std::string_view indent) {
    std::vector<std::string> lines;
    lines.reserve(map.size());
    for (const auto& [key, value] : map) {
        lines.push_back(std::string(indent) + "    " + KLVDebugParameterName(key) + " = " +
                        valueText(key, value) + ";\n");
    }
    std::stable_sort(lines.begin(), lines.end(), lessCaseInsensitive);
    std::string text = std::string(indent) + "{\n";
    for (const auto& line : lines)
        text += line;
    return text + std::string(indent) + "}";
}

std::string describe(const KLVParameters& parameters) {
    platform::Dictionary objects;
    for (const auto& [key, value] : parameters)
        objects.emplace(key, value.value());
    return platform::Object(std::move(objects)).description();
}

}  // namespace

std::string KLVDebugEventName(std::string_view name) {
    return nameLookup(name, KLVEventNameMap());
}

std::string KLVDebugParameterName(std::string_view name) {
    return nameLookup(name, KLVEventParameterNameMap());
}

std::string KLVDebugUserPropertyName(std::string_view name) {
    if (startsWith(name, "_exp_")) return "experiment_id (" + std::string(name) + ")";
    return nameLookup(name, KLVUserPropertyInternalNameMap());
}

std::string KLVDebugParameters(const KLVParameters& parameters) {
    return KLVDebugDictionaryText(parameters, "");
}

std::string KLVDebugParameters(const platform::Dictionary& parameters) {
    return KLVDebugDictionaryText(platform::Object(parameters), "");
}

std::string KLVDebugDictionaryText(const platform::Object& object, std::string_view indent) {
    const auto* dictionary = object.getDictionary();
    if (!dictionary || !debugMode()) return object.description();
    return layout(*dictionary, indent);
}

std::string KLVDebugDictionaryText(const KLVParameters& parameters, std::string_view indent) {
    if (!debugMode()) return describe(parameters);
    return layout(parameters, indent);
}

std::string KLVDebugArrayText(const platform::Object& object) {
    const auto* array = object.getArray();
    if (!array || !debugMode()) return object.description();
    return arrayText(*array);
}

}  // namespace engine
