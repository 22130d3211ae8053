#include "app/core/QuroFormulaUnit.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <ostream>

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include "app/core/Formula.h"
#include "app/core/JsonDecoding.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/SharedInstance.h"

namespace app {
namespace {

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    // A read error (a directory in the resource's place, an I/O failure) is thrown by the stream
    // buffer itself, past the stream's exception mask; it is an unreadable resource, not a crash.
    try {
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (file.bad()) return std::nullopt;
        return bytes;
    } catch (const std::ios_base::failure&) {
        return std::nullopt;
    }
}

std::optional<std::vector<Unit>> decodeUnits(const std::string& bytes, platform::Error* error) {
    const auto document = nlohmann::json::parse(bytes, nullptr, false);
    if (document.is_discarded()) {
        return platform::failWith<std::optional<std::vector<Unit>>>(
            error, {kDecodingErrorDomain,
                    static_cast<std::int64_t>(DecodingErrorCode::dataCorrupted),
                    "The given data was not valid JSON.",
                    {}});
    }
    if (!document.is_array()) {
        return platform::failWith<std::optional<std::vector<Unit>>>(
            error, {kDecodingErrorDomain,
                    static_cast<std::int64_t>(DecodingErrorCode::typeMismatch),
                    "Expected to decode Array<Unit> but found " +
                        std::string(document.type_name()) + " instead.",
                    {}});
    }
    std::vector<Unit> units;
    for (const auto& element : document) {
        auto unit = Unit::fromJson(element, error);
        if (!unit) return std::nullopt;
        units.push_back(std::move(*unit));
    }
    return units;
}

}  // namespace

std::optional<Unit> Unit::fromJson(const nlohmann::json& object, platform::Error* error) {
    return decodeRecord<Unit>(object, error, [](const nlohmann::json& o) {
        return Unit{decodeString(o, "key"), decodeString(o, "latex"), decodeString(o, "name"),
                    decodeNumber(o, "factor")};
    });
}

nlohmann::ordered_json Unit::toJson() const {
    nlohmann::ordered_json object;
    object["key"] = key;
    object["latex"] = latex;
    object["name"] = name;
    object["factor"] = factor;
    return object;
}

QuroFormulaUnit::QuroFormulaUnit() {
    platform::Error error;
    if (!loadUnits("unitsOfLength", &error)) std::cout << error.description << std::endl;
}

QuroFormulaUnit& QuroFormulaUnit::shared() {
    return platform::SharedInstance<QuroFormulaUnit>::get();
}

bool QuroFormulaUnit::loadUnits(const std::string& fileName, platform::Error* error) {
    const auto path = platform::Bundle::mainBundle().pathForResource(fileName, "json");
    if (!path) return platform::fail(error, makeError(FormulaError::configurationFailed));
    const auto bytes = readFile(*path);
    if (!bytes) return platform::fail(error, makeError(FormulaError::configurationFailed));
    auto decoded = decodeUnits(*bytes, error);
    if (!decoded) return false;
    units = std::move(*decoded);
    return true;
}

std::string QuroFormulaUnit::replaceUnit(const std::string& text, bool useKey) const {
    if (!targetUnit || targetUnit->key == defaultUnitKey) return text;
    // The key as a whole word, searched as the phone's regular expressions do (Unicode word
    // characters, case-sensitive).
    UErrorCode status = U_ZERO_ERROR;
    const auto pattern = icu::UnicodeString::fromUTF8("\\b" + defaultUnitKey + "\\b");
    std::unique_ptr<icu::RegexPattern> regex(icu::RegexPattern::compile(pattern, 0, status));
    if (U_FAILURE(status)) return text;
    const auto input = icu::UnicodeString::fromUTF8(text);
    std::unique_ptr<icu::RegexMatcher> matcher(regex->matcher(input, status));
    if (U_FAILURE(status)) return text;

    // The replacement goes in literally: a unit's LaTeX keeps its backslashes.
    const auto replacement =
        icu::UnicodeString::fromUTF8(useKey ? targetUnit->key : targetUnit->latex);
    icu::UnicodeString result;
    int32_t copied = 0;
    while (matcher->find(status) && U_SUCCESS(status)) {
        const int32_t start = matcher->start(status);
        const int32_t end = matcher->end(status);
        if (U_FAILURE(status)) return text;
        result.append(input, copied, start - copied).append(replacement);
        copied = end;
    }
    if (U_FAILURE(status)) return text;
    result.append(input, copied, input.length() - copied);
    std::string output;
    return result.toUTF8String(output);
}

void PrintTo(const Unit& unit, std::ostream* os) {
    *os << "Unit{key: " << platform::Object(unit.key).description()
        << ", latex: " << platform::Object(unit.latex).description()
        << ", name: " << platform::Object(unit.name).description()
        << ", factor: " << platform::shortestNumberText(unit.factor) << '}';
}

}  // namespace app
