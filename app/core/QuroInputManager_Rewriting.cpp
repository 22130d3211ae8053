// The input manager's given-values steps and the rewriting of the parsed terms.

#include <algorithm>
#include <cmath>

#include "app/core/LocalizedString.h"
#include "app/core/NumberText.h"
#include "app/core/QuroDigitAnalyser.h"
#include "app/core/QuroFormulaUnit.h"
#include "app/core/QuroInputManager.h"
#include "app/core/QuroMathOperation.h"
#include "app/core/Strings.h"

namespace app {
namespace {

// Typed numbers keep their digits through the expansion, up to what a double holds faithfully.
constexpr int kTypedDigits = 15;

struct Expansion {
    std::size_t index = 0;
    std::string before;
    std::string expansion;
    std::string after;
};

std::string unitText(const Symbol& symbol) {
    return QuroFormulaUnit::shared().replaceUnit(symbol.unit, false);
}

// Expands a decimal fraction of `term` into whole numbers; none when it has no decimal places,
// when its settings leave it alone, or when the whole numbers would not fit a double.
std::optional<Expansion> expand(Digit& term, bool convertAlways) {
    const double z = roundToSignificantDigits(*term.z, kTypedDigits);
    const double n = roundToSignificantDigits(term.n, kTypedDigits);
    const std::string zText = plainDecimalText(z, kTypedDigits);
    const std::string nText = plainDecimalText(n, kTypedDigits);
    const double places = QuroDigitAnalyser::maxDecimalPlaces(zText, nText);
    if (!(places > 0 && (convertAlways || term.n != 1.0))) return std::nullopt;
    const double factor = std::pow(10.0, places);
    if (!std::isfinite(factor * std::fabs(z)) || !std::isfinite(factor * std::fabs(n))) {
        return std::nullopt;
    }
    const std::string factorText = plainDecimalText(factor, kTypedDigits);
    Expansion expansion;
    expansion.before = latexOfTerm(term);
    expansion.expansion =
        "\\frac{" + zText + " \\cdot " + factorText + "}{" + nText + " \\cdot " + factorText + "}";
    term.z = std::round(factor * z);
    term.n = std::round(factor * n);
    expansion.after = latexOfTerm(term);
    return expansion;
}

}  // namespace

void QuroInputManager::addGivenValuesStep(bool isFirst) {
    std::vector<std::string> pieces;
    for (const auto& term : allInputs) {
        pieces.push_back(term->z ? latexOfTerm(*term, isFirst) : " ? ");
    }
    const std::string& title =
        isAnyNumberChanged ? LocalizedString::modifiedInput() : LocalizedString::yourInput();
    if (inputFormatMode == FormatMode::formula) {
        std::string text = inputFormat.empty() ? "" : inputFormat.front();
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            // Appended rather than `"%" + std::to_string(i)`: g++ 12 at -O3 reports a false
            // -Wrestrict overlap in the inlined insert at the front of a temporary.
            std::string placeholder = "%";
            placeholder += std::to_string(i);
            text = replaceAll(text, placeholder, pieces[i]);
        }
        appendStep(title, text);
        return;
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::string entry = i < inputFormat.size() ? inputFormat[i] : "";
        const std::string unit = i < inputSymbols.size() ? unitText(inputSymbols[i]) : "";
        appendStep(i == 0 ? title : "", replaceAll(entry, "%0", pieces[i]) + " " + unit + "\n");
    }
}

void QuroInputManager::resolveInputSymbols() {
    const auto& symbols = QuroFormulaSymbol::shared().symbols;
    for (auto& entry : inputFormat) {
        // The first non-empty piece before an "=", blanks removed.
        const auto start = std::min(entry.find_first_not_of('='), entry.size());
        std::string name = entry.substr(start, entry.find('=', start) - start);
        std::erase(name, ' ');
        const auto found = std::find_if(symbols.begin(), symbols.end(), [&](const Symbol& s) {
            return s.subcategory == subcategory && s.topic == topic && s.key == name;
        });
        // Without a symbol the entry stays as it is; an empty symbol keeps the list aligned with
        // the fields.
        if (name.empty() || found == symbols.end()) {
            inputSymbols.emplace_back();
            continue;
        }
        entry = replaceAll(entry, name, found->latex);
        inputSymbols.push_back(*found);
    }
}

void QuroInputManager::eliminateDecimals() {
    const bool convertAlways =
        (isWithFraction && isAllFractionIfOccuredOnce) || isDecimalEliminationForced;
    std::vector<Expansion> expansions;
    for (std::size_t i = 0; i < allInputs.size(); ++i) {
        const bool emptyText = i < allTextFieldTexts.size() && allTextFieldTexts[i].empty();
        if (emptyText || !allInputs[i]->z) continue;
        auto expansion = expand(*allInputs[i], convertAlways);
        if (!expansion) continue;
        expansion->index = i;
        expansions.push_back(std::move(*expansion));
        isAnyNumberChanged = true;
        isWithFraction = true;
    }
    if (inputFormatMode == FormatMode::formula) {
        for (std::size_t k = 0; k < expansions.size(); ++k) {
            const auto& e = expansions[k];
            appendStep(k == 0 ? LocalizedString::expand() : "",
                       e.before + " = " + e.expansion + " = " + e.after);
        }
        return;
    }
    auto& steps = outputHelper().solutionSteps;
    for (const auto& e : expansions) {
        const std::string entry = e.index < inputFormat.size() ? inputFormat[e.index] : "";
        const Symbol symbol = e.index < inputSymbols.size() ? inputSymbols[e.index] : Symbol{};
        const std::string prefix = replaceAll(entry, "%0", "");
        for (auto& step : steps) {
            step = postProcessStep(step, prefix, e.expansion + " = " + e.after, symbol);
        }
    }
}

void QuroInputManager::reduceFractions() {
    bool first = true;
    for (auto& term : allInputs) {
        auto reduced = operation().cancelDown(*term);
        if (!reduced.term) continue;
        // The reduced term takes the old one's place; the old object itself is left as it was.
        const std::string typed = latexOfTerm(*term, true);
        term = std::move(reduced.term);
        appendStep(first ? LocalizedString::cancelMath() : "", typed + "= " + *reduced.text);
        first = false;
        isAnyNumberChanged = true;
    }
}

void QuroInputManager::normaliseSigns() {
    for (const auto& term : allInputs) {
        if (!term->z || !(term->n < 0)) continue;
        term->z = -*term->z;
        term->n = -term->n;
        isAnyNumberChanged = true;
    }
}

SolutionStep QuroInputManager::postProcessStep(const SolutionStep& step, const std::string& prefix,
                                               const std::string& valueText, const Symbol& symbol) {
    const auto latex = step.find(kStepLatexString);
    if (latex == step.end() || latex->second.rfind(prefix, 0) != 0) return step;
    SolutionStep changed = step;
    changed[kStepLatexString] =
        replaceAll(latex->second, "\n", " = ") + valueText + " " + unitText(symbol);
    return changed;
}

}  // namespace app
