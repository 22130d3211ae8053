#include "app/core/QuroStringOutput.h"

#include <cmath>

#include "app/core/NumberText.h"
#include "app/core/Strings.h"
#include "platform/foundation/SharedInstance.h"

namespace app {
namespace {

constexpr double kZeroBelow = 1e-10;
constexpr double kInfinityBeyond = 1e12;
// A denominator is shown with the digits the user typed, up to what a double holds faithfully.
constexpr int kDenominatorDigits = 15;

std::string concatenatedLatex(const NaturalConstants& constants) {
    std::string text;
    for (const auto& constant : constants)
        text += constant.latex;
    return text;
}

// "1" and "-1" give way to what follows them ("\pi", "-x"); any other text gets it appended.
std::string withFactor(const std::string& text, const std::string& factor,
                       const std::string& separator) {
    if (text == "1" || text == "-1") return replaceAll(text, "1", factor);
    return text + separator + factor;
}

std::string withConstants(std::string text, const NaturalConstants& constants) {
    for (const auto& constant : constants)
        text = withFactor(text, constant.latex, "");
    return text;
}

std::string signedNumberText(double value, const std::string& constants, bool noBrackets,
                             int maximumFractionDigits) {
    const std::string formatted = formatDecimal(value, maximumFractionDigits);
    if (value < 0 && !noBrackets) {
        if (constants.empty()) return "(" + formatted + ")";
        if (value == -1) return "(-" + constants + ")";
        return "(" + formatted + constants + ")";
    }
    if (constants.empty()) return formatted;
    return value == 1 ? constants : formatted + constants;
}

std::string numberText(double value, const std::string& constants, int maximumFractionDigits,
                       bool allowInfinity, bool noBrackets) {
    if (std::fabs(value) < kZeroBelow) return "0";
    if (allowInfinity && value > kInfinityBeyond) return "\\infty";
    if (allowInfinity && value < -kInfinityBeyond) return "-\\infty";
    return signedNumberText(value, constants, noBrackets, maximumFractionDigits);
}

std::string variableText(const std::string& name, double power) {
    if (power == 1.0) return name;
    return name + "^{" + shortestDescription(power) + "}";
}

// Numerator and denominator of a term, as a fraction when there is one to show.
std::string fractionText(const Digit& term, double z, bool forceFraction, bool keepSigns,
                         int maximumFractionDigits) {
    const std::string numerator = withConstants(
        formatDecimal(keepSigns ? z : std::fabs(z), maximumFractionDigits), term.zConstants);
    const double shownN =
        roundToSignificantDigits(keepSigns ? term.n : std::fabs(term.n), kDenominatorDigits);
    const std::string denominator =
        withConstants(formatDecimal(shownN, maximumFractionDigits), term.nConstants);
    if (term.n != 1.0 || !term.nConstants.empty() || forceFraction) {
        return "\\frac{" + numerator + "}{" + denominator + "}";
    }
    return numerator;
}

std::string termText(const Digit& term, bool forceFraction, bool keepSigns,
                     int maximumFractionDigits) {
    const double z = *term.z;
    const double v = *term.value();
    if (std::fabs(v) < kZeroBelow && !keepSigns) return "0";
    if (v > kInfinityBeyond) return "\\infty";
    if (v < -kInfinityBeyond) return "-\\infty";
    std::string text;
    if (!keepSigns && ((z < 0 && term.n > 0) || (z > 0 && term.n < 0))) text = "-";
    return text + fractionText(term, z, forceFraction, keepSigns, maximumFractionDigits);
}

}  // namespace

QuroStringOutput& QuroStringOutput::shared() {
    return platform::SharedInstance<QuroStringOutput>::get();
}

std::string QuroStringOutput::latexNumber(double value, const std::string& unit,
                                          const NaturalConstants& constants,
                                          const std::string& variable, int maximumFractionDigits,
                                          bool allowInfinity, bool noBrackets) {
    std::string text = numberText(value, concatenatedLatex(constants), maximumFractionDigits,
                                  allowInfinity, noBrackets);
    if (!variable.empty()) text = withFactor(text, variable, " ");
    if (!unit.empty()) text += " " + unit;
    return text;
}

std::string QuroStringOutput::latexTerm(const Digit& term, const std::string& unit,
                                        std::optional<bool> bracketMode, bool forceFraction,
                                        bool keepSigns, int maximumFractionDigits) {
    if (!term.z) return "";
    std::string text = termText(term, forceFraction, keepSigns, maximumFractionDigits);
    if (const auto variables = latexVariablePart(term)) text = withFactor(text, *variables, " ");
    const bool bracketed = bracketMode.value_or(!text.empty() && text.front() == '-');
    if (bracketed) text = "\\left(" + text + "\\right)";
    if (!unit.empty()) text += " " + unit;
    return text;
}

std::optional<std::string> QuroStringOutput::latexVariablePart(const Digit& term) {
    if (term.zVariable.empty() && term.nVariable.empty()) return std::nullopt;
    const std::string numerator =
        term.zVariable.empty() ? "1" : variableText(term.zVariable, term.powerOfZVariable);
    if (!term.nVariable.empty()) {
        return "\\frac{" + numerator + "}{" + variableText(term.nVariable, term.powerOfNVariable) +
               "}";
    }
    return " " + numerator;
}

std::string QuroStringOutput::latexRatio(const Digit& term, const NaturalConstants& constants,
                                         double divisor) {
    const auto number = [](double value, const NaturalConstants& with) {
        return latexNumber(value, "", with, "", 10, true, false);
    };
    const std::string d = number(divisor, constants);
    const std::string z = term.z ? number(*term.z, term.zConstants) : "";
    const std::string n = number(term.n, term.nConstants);
    return "\\frac{" + z + " : " + d + "}{" + n + " : " + d + "}" +
           latexVariablePart(term).value_or("");
}

std::optional<std::string> QuroStringOutput::latexDivisionStep(
    const Digit& reduced, std::optional<std::int64_t> divisor) {
    if (!divisor || *divisor < 2 || !reduced.z) return std::nullopt;
    const double d = static_cast<double>(*divisor);
    const std::string dText = formatInteger(*divisor);
    return "\\frac{" + formatG(*reduced.z * d) + " : " + dText + "}{" + formatG(reduced.n * d) +
           "  : " + dText + "} = \\frac{" + formatG(*reduced.z) + "}{" + formatG(reduced.n) + "}";
}

std::string latexOfTerm(const Digit& term, bool keepSigns) {
    return QuroStringOutput::latexTerm(term, "", false, false, keepSigns, 10);
}

std::string latexOfNumber(double value) {
    return QuroStringOutput::latexNumber(value, "", {}, "", 10, true, false);
}

}  // namespace app
