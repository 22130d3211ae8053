#include "app/core/QuroLogarithmicIdentities.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "app/core/LocalizedString.h"
#include "app/core/QuroInputManager.h"

namespace app {
namespace {

using Rule = void (QuroLogarithmicIdentities::*)();

// One rule: its task template (filled by the input manager, "%0" to "%3" for a, b, u, v), the
// fields it reads and the method that writes its steps.
struct RuleEntry {
    const char* inputTemplate;
    std::array<bool, 4> usesField;  // a, b, u, v
    Rule run;
};

using Q = QuroLogarithmicIdentities;
const std::array<RuleEntry, kLogarithmRuleCount> kRules = {{
    {"\\log_{%0}\\left(%2\\cdot%3\\right)", {true, false, true, true}, &Q::productRule},
    {"\\log_{%0}\\left(\\frac{%2}{%3}\\right)", {true, false, true, true}, &Q::quotientRule},
    {"\\log_{%0}\\left(%2^{%3}\\right)", {true, false, true, true}, &Q::powerRule},
    {"\\log_{%0}\\left(\\sqrt[%3]{%2}\\right)", {true, false, true, true}, &Q::rootRule},
    {"\\log_{%0}\\left(%2\\right) = \\frac{\\log_{%1}\\left(%2\\right)} "
     "{\\log_{%1}\\left(%0\\right)}",
     {true, true, true, false},
     &Q::changeOfBaseRule},
    {"\\log_{%0^{%1}}\\left(%2^{%3}\\right)", {true, true, true, true}, &Q::powerBaseRule},
}};

// log_x(y) as the rules compute it: the natural logarithms of the two values, divided.
double logarithm(const Digit& base, const Digit& argument) {
    return std::log(*argument.value()) / std::log(*base.value());
}

std::string T(const Digit& term) {
    return latexOfTerm(term);
}
std::string L(double value) {
    return latexOfNumber(value);
}

// An exponent as LaTeX reads it after "^": one character stands alone, as the rule's steps have
// always shown it; a longer one ("12", "1.5") is braced, since a bare "^12" raises only the "1".
std::string exponent(const std::string& text) {
    return text.size() == 1 ? text : "{" + text + "}";
}

}  // namespace

IdentityResult QuroLogarithmicIdentities::calculateIdentity(
    const std::optional<std::string>& a, const std::string& aId,
    const std::optional<std::string>& b, const std::string& bId,
    const std::optional<std::string>& u, const std::string& uId,
    const std::optional<std::string>& v, const std::string& vId, int ruleIndex) {
    std::vector<std::string> texts = {a.value_or(""), b.value_or(""), u.value_or(""),
                                      v.value_or("")};
    const std::vector<std::string> ids = {aId, bId, uId, vId};
    const bool known = ruleIndex >= 0 && ruleIndex < kLogarithmRuleCount;
    const RuleEntry* rule = known ? &kRules[static_cast<std::size_t>(ruleIndex)] : nullptr;
    // A field the rule does not use is not read: what the user left in it can neither count as
    // a filled field nor fail the calculation.
    if (rule) {
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (!rule->usesField[i]) texts[i].clear();
        }
    }
    const int required = ruleIndex == static_cast<int>(LogarithmRule::powerBaseRule) ? 4 : 3;

    // Every calculation starts from an empty step buffer and decimal arithmetic.
    output_ = QuroStringOutput();
    operation_ = QuroMathOperation();
    QuroInputManager inputManager(output_, operation_);
    auto processed =
        inputManager.processInput(texts, {}, ids, {rule ? rule->inputTemplate : ""}, true, false,
                                  false, FormatMode::formula, "", "", required, false, {});
    allInputs = processed.allInputs;
    if (processed.errorKey) {
        return {std::move(processed.errorKey), std::move(processed.errorTextFieldIds), std::nullopt,
                std::nullopt};
    }

    operation().withFraction = true;
    if (rule) (this->*(rule->run))();
    const auto& steps = output().solutionSteps;
    std::string latex;
    if (!steps.empty()) {
        const auto found = steps.front().find(kStepLatexString);
        if (found != steps.front().end()) latex = found->second;
    }
    return {std::nullopt, std::nullopt, steps, latex};
}

bool QuroLogarithmicIdentities::hasNumbers(std::initializer_list<std::size_t> positions) const {
    if (!allInputs || allInputs->size() < 4) return false;
    return std::all_of(positions.begin(), positions.end(), [this](std::size_t position) {
        const auto& digit = (*allInputs)[position];
        return digit && digit->z;
    });
}

const Digit& QuroLogarithmicIdentities::term(std::size_t position) const {
    return *(*allInputs)[position];
}

void QuroLogarithmicIdentities::appendStep(const std::string& title, std::string latexString) {
    output().solutionSteps.push_back(makeStep(title, std::move(latexString)));
}

void QuroLogarithmicIdentities::productRule() {
    if (!hasNumbers({0, 2, 3})) return;
    const Digit& a = term(0);
    const Digit& u = term(2);
    const Digit& v = term(3);
    const auto product = operation().multiply(u, v).result;
    const double l1 = logarithm(a, *product);
    const double l2 = logarithm(a, u);
    const double l3 = logarithm(a, v);
    const std::string A = T(a), U = T(u), V = T(v);
    const std::string rhs = ") = log_{" + A + "}" + U + " + log_{" + A + "}" + V;
    appendStep(LocalizedString::choosenFormula(), "\\log_a(u\\cdot v) = log_au + log_av");
    appendStep(LocalizedString::insert(), "\\log_{" + A + "}(" + U + "\\cdot " + V + rhs);
    appendStep(LocalizedString::multiplication(), "\\log_{" + A + "}(" + T(*product) + rhs);
    appendStep(LocalizedString::calculateLogarithm(), L(l1) + " = " + L(l2) + " + " + L(l3));
    appendStep(LocalizedString::result(), L(l1) + " = " + L(l2 + l3));
}

void QuroLogarithmicIdentities::quotientRule() {
    if (!hasNumbers({0, 2, 3})) return;
    const Digit& a = term(0);
    const Digit& u = term(2);
    const Digit& v = term(3);
    const auto quotient = operation().divide(u, v, false).result;
    const double l1 = logarithm(a, *quotient);
    const double l2 = logarithm(a, u);
    const double l3 = logarithm(a, v);
    const std::string A = T(a), U = T(u), V = T(v);
    const std::string rhs = ") = log_{" + A + "}" + U + " - log_{" + A + "}" + V;
    appendStep(LocalizedString::choosenFormula(), "\\log_a(\\frac{u}{v}) = log_au - log_av");
    appendStep(LocalizedString::insert(), "\\log_{" + A + "}(\\frac{" + U + "}{" + V + "}" + rhs);
    appendStep(LocalizedString::division(), "\\log_{" + A + "}(" + T(*quotient) + rhs);
    appendStep(LocalizedString::calculateLogarithm(), L(l1) + " = " + L(l2) + " - " + L(l3));
    appendStep(LocalizedString::result(), L(l1) + " = " + L(l2 - l3));
}

void QuroLogarithmicIdentities::powerRule() {
    if (!hasNumbers({0, 2, 3})) return;
    const Digit& a = term(0);
    const Digit& u = term(2);
    const Digit& v = term(3);
    const double exponent = *v.value();
    const auto power = operation().power(u, exponent);
    const double l1 = logarithm(a, *power);
    const double l2 = logarithm(a, u);
    const std::string A = T(a), U = T(u), V = T(v);
    const std::string rhs = ") = " + V + "\\cdot log_{" + A + "}" + U;
    appendStep(LocalizedString::choosenFormula(), "\\log_a(u^v) = v\\cdot log_au");
    appendStep(LocalizedString::insert(), "\\log_{" + A + "}(" + U + "^{" + V + "}" + rhs);
    appendStep(LocalizedString::calculatePower(), "\\log_{" + A + "}(" + T(*power) + rhs);
    appendStep(LocalizedString::calculateLogarithm(), L(l1) + " = " + V + "\\cdot " + L(l2));
    appendStep(LocalizedString::result(), L(l1) + " = " + L(l2 * exponent));
}

void QuroLogarithmicIdentities::rootRule() {
    if (!hasNumbers({0, 2, 3})) return;
    const Digit& a = term(0);
    const Digit& u = term(2);
    Digit& v = *allInputs->at(3);
    const double x = *u.value();
    const double k = *v.value();
    // An odd root of a negative number is the negative root of its magnitude; an even or
    // fractional one stays NaN.
    const double root =
        x < 0 && std::fabs(std::fmod(k, 2)) == 1 ? -std::pow(-x, 1 / k) : std::pow(x, 1 / k);
    const double l1 = std::log(root) / std::log(*a.value());
    const double l2 = logarithm(a, u);
    const std::string A = T(a), U = T(u), V = T(v);
    const std::string rhs = ") = \\frac{1}{" + V + "}\\cdot log_{" + A + "}" + U;
    appendStep(LocalizedString::choosenFormula(),
               "\\log_a(\\sqrt[v]{u}) = \\frac{1}{v}\\cdot log_au");
    appendStep(LocalizedString::insert(), "\\log_{" + A + "}(\\sqrt[" + V + "]{" + U + "}" + rhs);
    appendStep(LocalizedString::extractRoot(), "\\log_{" + A + "}(" + L(root) + rhs);
    appendStep(LocalizedString::calculateLogarithm(),
               L(l1) + " = \\frac{1}{" + V + "}\\cdot " + L(l2));
    v.invert();
    appendStep(LocalizedString::result(), L(l1) + " = " + L(l2 * *v.value()));
}

void QuroLogarithmicIdentities::changeOfBaseRule() {
    if (!hasNumbers({0, 1, 2})) return;
    const Digit& a = term(0);
    const Digit& b = term(1);
    const Digit& u = term(2);
    const double l1 = logarithm(a, u);
    const double l2 = logarithm(b, u);
    const double l3 = logarithm(b, a);
    const std::string A = T(a), B = T(b), U = T(u);
    appendStep(LocalizedString::choosenFormula(), "\\log_au = \\frac{\\log_bu}{\\log_ba}");
    appendStep(LocalizedString::insert(), "\\log_{" + A + "}" + U + " = \\frac{\\log_{" + B + "}" +
                                              U + "}{\\log_{" + B + "}" + A + "}");
    appendStep(LocalizedString::calculateLogarithm(),
               L(l1) + " = \\frac{" + L(l2) + "}{" + L(l3) + "}");
    appendStep(LocalizedString::result(), L(l1) + " = " + L(l2 / l3));
}

void QuroLogarithmicIdentities::powerBaseRule() {
    if (!hasNumbers({0, 1, 2, 3})) return;
    const Digit& a = term(0);
    const Digit& b = term(1);
    const Digit& u = term(2);
    const Digit& v = term(3);
    const auto argumentPower = operation().power(u, *v.value());
    const auto basePower = operation().power(a, *b.value());
    const double l1 = std::log(*argumentPower->value()) / std::log(*basePower->value());
    const double l2 = logarithm(a, u);
    const std::string A = T(a), B = T(b), U = T(u), V = T(v);
    const std::string rhs = ") = \\frac{" + V + "}{" + B + "}\\cdot log_{" + A + "}" + U;
    appendStep(LocalizedString::choosenFormula(), "\\log_{a^b}(u^v) = \\frac{v}{b}\\cdot log_au");
    const std::string base = A + "^" + exponent(B);
    appendStep(LocalizedString::insert(), "\\log_{" + base + "}(" + U + "^" + exponent(V) + rhs);
    appendStep(LocalizedString::calculatePower(),
               "\\log_{" + base + "}(" + T(*argumentPower) + rhs);
    appendStep("", "\\log_{" + T(*basePower) + "}(" + T(*argumentPower) + rhs);
    appendStep(LocalizedString::calculateLogarithm(),
               L(l1) + " = \\frac{" + V + "}{" + B + "}\\cdot " + L(l2));
    appendStep(LocalizedString::result(), L(l1) + " = " + L((l2 * *v.value()) / *b.value()));
}

}  // namespace app
