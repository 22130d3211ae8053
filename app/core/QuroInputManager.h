#pragma once

// Turns the texts of a calculator's input fields into terms: checks that enough fields are filled,
// reads every field by the term grammar, then shows what it read and rewrites the terms (decimals
// into whole-number fractions, fractions reduced, signs normalised) as steps of its step buffer.

#include <optional>
#include <string>
#include <vector>

#include "app/core/Digit.h"
#include "app/core/QuroFormulaSymbol.h"
#include "app/core/QuroMathOperation.h"
#include "app/core/QuroStringOutput.h"
#include "app/core/SolutionStep.h"

namespace app {

// How the templates are filled: all fields into one template, or each field into its own.
enum class FormatMode { formula, variables };

struct ProcessedInput {
    std::optional<std::vector<DigitRef>> allInputs;  // absent on an error
    std::optional<std::string> errorKey;
    std::optional<std::vector<int>> errorTags;  // only when fields are identified by tags
    std::optional<std::vector<std::string>> errorTextFieldIds;
    bool isWithFraction = false;
    std::optional<SolutionSteps> solutionSteps;  // the whole step buffer on success
};

// One numerator or denominator text read: everything but the error on success, only the error on
// failure.
struct ParsedTerm {
    std::optional<double> value;
    std::optional<NaturalConstants> constants;
    std::optional<std::string> variable;
    std::optional<double> power;
    std::optional<std::string> errorKey;
};

struct RequiredInputsCheck {
    std::optional<std::string> errorKey;
    std::optional<std::vector<int>> tags;
    std::optional<std::vector<std::string>> textFieldIds;
};

// The one field that failed to parse.
struct InputError {
    std::string errorKey;
    std::optional<int> tag;
    std::string textFieldId;
};

struct ParsedConstants {
    NaturalConstants constants;
    std::optional<std::string> errorKey;
};

struct ParsedVariable {
    std::string variable;
    double power = 0.0;
    std::optional<std::string> errorKey;
};

// The error keys of the input grammar.
inline constexpr const char* kNotEnoughInputValues = "notEnoughInputValues";
inline constexpr const char* kInputParameterError = "inputParameterError";
inline constexpr const char* kFractionIncomplete = "fractionIncomplete";
inline constexpr const char* kInputZeroInDenominator = "inputZeroInDenominator";
inline constexpr const char* kToManyNaturalConstantsInSubstring =
    "toManyNaturalConstantsInSubstring";
inline constexpr const char* kNaturalConstantInWrongPositionOfSubstring =
    "naturalConstantInWrongPositionOfSubstring";
inline constexpr const char* kToManyVariablesInSubstring = "toManyVariablesInSubstring";

class QuroInputManager {
  public:
    // Writes into the process-wide step buffer and arithmetic (whichever instances are current
    // when it writes).
    QuroInputManager() = default;
    // Writes its steps into `outputHelper` and sets the fraction mode of `operation`: those of
    // the calculation it reads the fields for, which outlive it.
    QuroInputManager(QuroStringOutput& outputHelper, QuroMathOperation& operation)
        : outputHelper_(&outputHelper), operation_(&operation) {}

    bool isTagUsed = false;
    std::vector<std::string> allTextFieldIds;
    std::vector<DigitRef> allInputs;
    std::vector<std::string> inputFormat;
    std::vector<Symbol> inputSymbols;
    std::vector<std::string> allTextFieldTexts;
    std::string subcategory;
    std::string topic;
    FormatMode inputFormatMode = FormatMode::formula;
    bool isAllFractionIfOccuredOnce = true;
    bool isDecimalEliminationForced = false;
    bool isWithFraction = false;
    bool isAnyNumberChanged = false;

    static QuroInputManager& shared();

    QuroStringOutput& outputHelper() const {
        return outputHelper_ ? *outputHelper_ : QuroStringOutput::shared();
    }
    QuroMathOperation& operation() const {
        return operation_ ? *operation_ : QuroMathOperation::shared();
    }

    // Reads and rewrites the fields. The lists of texts and identifiers have one entry per field;
    // at most one error is reported, and on an error no term is returned.
    ProcessedInput processInput(const std::vector<std::string>& allTextFieldTexts,
                                const std::vector<int>& allTextFieldTags,
                                const std::vector<std::string>& allTextFieldIds,
                                const std::vector<std::string>& inputFormat,
                                bool isGivenValuesStepShown, bool isAllFractionIfOccuredOnce,
                                bool isDecimalEliminationForced, FormatMode inputFormatMode,
                                const std::string& subcategory, const std::string& topic,
                                int requiredInputCount, bool isEveryInputRequired,
                                const std::vector<std::string>& requiredTextFieldIds);

    // The stages of processInput, public for the calculator shells and the tests. Parsing:
    RequiredInputsCheck checkRequiredInputs(int requiredInputCount, bool isEveryInputRequired,
                                            const std::vector<std::string>& requiredTextFieldIds);
    std::optional<InputError> parseInputs();
    ParsedTerm parseTerm(const std::string& text) const;
    ParsedConstants parseNaturalConstants(const std::string& text) const;
    ParsedVariable parseVariables(const std::string& text) const;

    // Rewriting and the given-values steps.
    void resolveInputSymbols();
    void addGivenValuesStep(bool isFirst);
    void eliminateDecimals();
    void reduceFractions();
    void normaliseSigns();

    // `step` with its line breaks turned into " = " and the value and unit appended, when its
    // LaTeX starts with `prefix`; otherwise unchanged.
    static SolutionStep postProcessStep(const SolutionStep& step, const std::string& prefix,
                                        const std::string& valueText, const Symbol& symbol);

  private:
    QuroStringOutput* outputHelper_ = nullptr;
    QuroMathOperation* operation_ = nullptr;

    std::optional<InputError> parseField(std::size_t index);
    InputError errorForField(std::size_t index, const char* key) const;
    void appendStep(std::string title, std::string latexString);
};

}  // namespace app
