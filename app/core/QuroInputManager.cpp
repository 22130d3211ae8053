#include "app/core/QuroInputManager.h"

#include <algorithm>

#include "app/core/NumberText.h"
#include "app/core/QuroMathOperation.h"
#include "app/core/Strings.h"
#include "platform/foundation/SharedInstance.h"

namespace app {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Occurrences of a whole character. A UTF-8 sequence cannot start inside another character, so a
// search for its bytes finds exactly the characters.
std::size_t countOf(const std::string& text, std::string_view character) {
    std::size_t count = 0;
    for (auto at = text.find(character); at != std::string::npos;
         at = text.find(character, at + character.size())) {
        ++count;
    }
    return count;
}

std::string withoutBrackets(std::string text) {
    std::erase_if(text, [](char c) { return c == '(' || c == ')'; });
    return text;
}

// "π" alone stands for 1π and "-π" for -1π; otherwise the factor is simply left out.
std::string replacingFactor(const std::string& text, const std::string& factor) {
    if (text == factor || text == "-" + factor) return replaceAll(text, factor, "1");
    return replaceAll(text, factor, "");
}

ParsedTerm failedTerm(std::string key) {
    ParsedTerm failed;
    failed.errorKey = std::move(key);
    return failed;
}

std::vector<int> tagsOf(const std::vector<std::string>& ids) {
    std::vector<int> tags;
    for (const auto& id : ids)
        tags.push_back(static_cast<int>(parseInteger(id).value_or(0)));
    return tags;
}

}  // namespace

QuroInputManager& QuroInputManager::shared() {
    return platform::SharedInstance<QuroInputManager>::get();
}

ProcessedInput QuroInputManager::processInput(
    const std::vector<std::string>& texts, const std::vector<int>& tags,
    const std::vector<std::string>& ids, const std::vector<std::string>& format,
    bool isGivenValuesStepShown, bool allFractionIfOccuredOnce, bool decimalEliminationForced,
    FormatMode formatMode, const std::string& subcategoryName, const std::string& topicName,
    int requiredInputCount, bool isEveryInputRequired,
    const std::vector<std::string>& requiredTextFieldIds) {
    isAnyNumberChanged = false;
    isAllFractionIfOccuredOnce = allFractionIfOccuredOnce;
    isDecimalEliminationForced = decimalEliminationForced;
    isWithFraction = false;
    inputFormatMode = formatMode;
    allTextFieldTexts = texts;
    allInputs.clear();
    inputFormat = format;
    inputSymbols.clear();
    subcategory = subcategoryName;
    topic = topicName;
    isTagUsed = !tags.empty();
    allTextFieldIds.clear();
    if (isTagUsed) {
        for (const int tag : tags)
            allTextFieldIds.push_back(formatInteger(tag));
    } else {
        allTextFieldIds = ids;
    }

    auto check =
        checkRequiredInputs(requiredInputCount, isEveryInputRequired, requiredTextFieldIds);
    if (check.errorKey) {
        return {std::nullopt,
                std::move(check.errorKey),
                std::move(check.tags),
                std::move(check.textFieldIds),
                false,
                std::nullopt};
    }
    if (auto error = parseInputs()) {
        std::optional<std::vector<int>> errorTags;
        if (error->tag) errorTags = std::vector<int>{*error->tag};
        return {std::nullopt,         error->errorKey,
                std::move(errorTags), std::vector<std::string>{error->textFieldId},
                isWithFraction,       std::nullopt};
    }

    if (inputFormatMode == FormatMode::variables) resolveInputSymbols();
    if (isGivenValuesStepShown) addGivenValuesStep(true);
    eliminateDecimals();
    reduceFractions();
    normaliseSigns();
    if (isAnyNumberChanged && inputFormatMode == FormatMode::formula && isGivenValuesStepShown) {
        addGivenValuesStep(false);
    }
    return {allInputs,    std::nullopt,   std::nullopt,
            std::nullopt, isWithFraction, outputHelper().solutionSteps};
}

RequiredInputsCheck QuroInputManager::checkRequiredInputs(
    int requiredInputCount, bool isEveryInputRequired,
    const std::vector<std::string>& requiredTextFieldIds) {
    const auto idAt = [this](std::size_t i) {
        return i < allTextFieldIds.size() ? allTextFieldIds[i] : std::string();
    };
    std::vector<std::string> missing;
    if (requiredTextFieldIds.empty()) {
        const std::size_t required =
            isEveryInputRequired ? allTextFieldTexts.size()
                                 : static_cast<std::size_t>(std::max(requiredInputCount, 0));
        std::size_t filled = 0;
        for (std::size_t i = 0; i < allTextFieldTexts.size(); ++i) {
            if (allTextFieldTexts[i].empty()) {
                missing.push_back(idAt(i));
            } else {
                ++filled;
            }
            // Enough filled fields: the rest are not looked at.
            if (filled >= required) return {};
        }
    } else {
        for (std::size_t i = 0; i < allTextFieldTexts.size(); ++i) {
            const auto id = idAt(i);
            const bool isRequired =
                std::find(requiredTextFieldIds.begin(), requiredTextFieldIds.end(), id) !=
                requiredTextFieldIds.end();
            if (isRequired && allTextFieldTexts[i].empty()) missing.push_back(id);
        }
        if (missing.empty()) return {};
    }
    std::optional<std::vector<int>> tags;
    if (isTagUsed) tags = tagsOf(missing);
    return {kNotEnoughInputValues, std::move(tags), std::move(missing)};
}

std::optional<InputError> QuroInputManager::parseInputs() {
    for (std::size_t i = 0; i < allTextFieldTexts.size(); ++i) {
        const auto& text = allTextFieldTexts[i];
        if (!contains(text, "/")) continue;
        isWithFraction = true;
        operation().withFraction = true;
        if (countOf(text, "/") > 1) return errorForField(i, kInputParameterError);
    }
    for (std::size_t i = 0; i < allTextFieldTexts.size(); ++i) {
        if (auto error = parseField(i)) return error;
    }
    return std::nullopt;
}

std::optional<InputError> QuroInputManager::parseField(std::size_t index) {
    const auto& text = allTextFieldTexts[index];
    auto term = makeDigit();
    const std::string s = withoutBrackets(text);
    // A field of brackets only is filled but holds no number.
    if (!text.empty() && s.empty()) return errorForField(index, kInputParameterError);

    const bool hasSlash = contains(s, "/");
    if ((isWithFraction && isAllFractionIfOccuredOnce) || hasSlash) {
        if (!s.empty()) {
            std::string numeratorText = s;
            std::string denominatorText = "1";
            if (hasSlash) {
                const auto pieces = splitDroppingEmpty(s, "/");
                if (pieces.size() < 2) return errorForField(index, kFractionIncomplete);
                numeratorText = pieces.front();
                denominatorText = pieces.back();
            }
            const auto numerator = parseTerm(numeratorText);
            if (numerator.errorKey) return errorForField(index, numerator.errorKey->c_str());
            const auto denominator = parseTerm(denominatorText);
            if (denominator.errorKey) return errorForField(index, denominator.errorKey->c_str());
            if (*denominator.value == 0) return errorForField(index, kInputZeroInDenominator);
            term->z = numerator.value;
            term->zConstants = *numerator.constants;
            term->zVariable = *numerator.variable;
            term->powerOfZVariable = *numerator.power;
            term->n = *denominator.value;
            term->nConstants = *denominator.constants;
            term->nVariable = *denominator.variable;
            term->powerOfNVariable = *denominator.power;
        }
    } else if (!s.empty()) {
        const auto parsed = parseTerm(s);
        if (parsed.errorKey) return errorForField(index, parsed.errorKey->c_str());
        term->z = parsed.value;
        term->zConstants = *parsed.constants;
        term->zVariable = *parsed.variable;
        term->powerOfZVariable = *parsed.power;
    }
    allInputs.push_back(std::move(term));
    return std::nullopt;
}

InputError QuroInputManager::errorForField(std::size_t index, const char* key) const {
    const std::string id = index < allTextFieldIds.size() ? allTextFieldIds[index] : "";
    std::optional<int> tag;
    if (isTagUsed) tag = static_cast<int>(parseInteger(id).value_or(0));
    return {key, tag, id};
}

ParsedTerm QuroInputManager::parseTerm(const std::string& text) const {
    const auto constants = parseNaturalConstants(text);
    if (constants.errorKey) return failedTerm(*constants.errorKey);
    std::string remaining = text;
    for (const auto& constant : constants.constants) {
        remaining = replacingFactor(remaining, constant.key);
    }
    const auto variable = parseVariables(text);
    if (variable.errorKey) return failedTerm(*variable.errorKey);
    if (!variable.variable.empty()) remaining = replacingFactor(remaining, variable.variable);
    const auto value = parseInputNumber(remaining);
    if (!value) return failedTerm(kInputParameterError);
    return {value, constants.constants, variable.variable, variable.power, std::nullopt};
}

ParsedConstants QuroInputManager::parseNaturalConstants(const std::string& text) const {
    const auto& table = naturalConstantTable();
    std::size_t count = 0;
    for (const auto& constant : table)
        count += countOf(text, constant.key);
    if (count > 1) return {{}, kToManyNaturalConstantsInSubstring};
    if (count == 0) return {};
    const bool last = std::any_of(table.begin(), table.end(),
                                  [&](const NaturalConstant& c) { return text.ends_with(c.key); });
    if (!last) return {{}, kNaturalConstantInWrongPositionOfSubstring};
    NaturalConstants found;
    for (const auto& constant : table) {
        if (contains(text, constant.key)) found.push_back(constant);
    }
    return {found, std::nullopt};
}

ParsedVariable QuroInputManager::parseVariables(const std::string& text) const {
    std::size_t count = 0;
    for (const auto name : variableTable)
        count += countOf(text, name);
    if (count > 1) return {"", 0.0, kToManyVariablesInSubstring};
    if (count == 0) return {};
    const bool last = std::any_of(variableTable.begin(), variableTable.end(),
                                  [&](std::string_view name) { return text.ends_with(name); });
    // The grammar reports a misplaced variable with the key of a misplaced constant.
    if (!last) return {"", 0.0, kNaturalConstantInWrongPositionOfSubstring};
    for (const auto name : variableTable) {
        if (contains(text, std::string(name))) return {std::string(name), 1.0, std::nullopt};
    }
    return {};
}

void QuroInputManager::appendStep(std::string title, std::string latexString) {
    outputHelper().solutionSteps.push_back(makeStep(std::move(title), std::move(latexString)));
}

}  // namespace app
