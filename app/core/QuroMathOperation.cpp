#include "app/core/QuroMathOperation.h"

#include <cmath>
#include <numeric>

#include "app/core/NumberText.h"
#include "platform/foundation/SharedInstance.h"

namespace app {
namespace {

// Beyond this magnitude a double no longer converts to a 64-bit integer.
constexpr double kIntegerLimit = 9223372036854775808.0;

NaturalConstants joined(NaturalConstants first, const NaturalConstants& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

struct Variable {
    std::string name;
    double power = 0.0;
};

// Equal names add their powers; different names are written one after the other.
Variable combined(const Variable& a, const Variable& b) {
    if (a.name.empty() && b.name.empty()) return {};
    if (a.name == b.name) return {a.name, a.power + b.power};
    return {a.name + b.name, 1.0};
}

void combineVariables(const Digit& a, const Digit& b, Digit& r) {
    const Variable z =
        combined({a.zVariable, a.powerOfZVariable}, {b.zVariable, b.powerOfZVariable});
    const Variable n =
        combined({a.nVariable, a.powerOfNVariable}, {b.nVariable, b.powerOfNVariable});
    r.zVariable = z.name;
    r.powerOfZVariable = z.power;
    r.nVariable = n.name;
    r.powerOfNVariable = n.power;
}

bool fitsInteger(double value) {
    return std::isfinite(value) && std::fabs(value) < kIntegerLimit;
}

// The greatest common divisor of the whole parts of z and n; 1 when either magnitude is at most
// 1, or when one of them is not a number that converts to a 64-bit integer.
std::int64_t commonFactor(double z, double n) {
    if (!(std::fabs(z) > 1) || !(std::fabs(n) > 1)) return 1;
    if (!fitsInteger(z) || !fitsInteger(n)) return 1;
    const auto zi = static_cast<std::int64_t>(std::trunc(z));
    const auto ni = static_cast<std::int64_t>(std::trunc(n));
    const std::int64_t g = std::gcd(zi, ni);
    return g < 2 ? 1 : g;
}

double productOf(const NaturalConstants& constants) {
    double product = 1;
    for (const auto& constant : constants)
        product = product * constant.value;
    return product;
}

std::string formatted(const char* pattern, std::initializer_list<double> values) {
    std::string text;
    auto value = values.begin();
    for (const char* c = pattern; *c; ++c) {
        if (*c == '%' && value != values.end()) {
            text += formatG(*value++);
        } else {
            text += *c;
        }
    }
    return text;
}

}  // namespace

QuroMathOperation& QuroMathOperation::shared() {
    return platform::SharedInstance<QuroMathOperation>::get();
}

OperationResult QuroMathOperation::multiply(const Digit& a, const Digit& b) {
    if (!a.z || !b.z) return {};
    auto r = makeDigit();
    r->z = *a.z * *b.z;
    r->n = a.n * b.n;
    combineVariables(a, b, *r);
    if (*r->z == 0) {
        r->n = 1.0;
        return {r, latexOfTerm(a) + " \\cdot " + latexOfTerm(b) + " = 0", std::nullopt};
    }
    if (r->n < 0) {
        r->z = -*r->z;
        r->n = -r->n;
    }
    // Denominator constants are carried even when no numerator has one, so that the product
    // always has the value of the two terms' values multiplied.
    r->zConstants = joined(a.zConstants, b.zConstants);
    r->nConstants = joined(a.nConstants, b.nConstants);
    std::string working = withFraction
                              ? formatted("\\frac{%  \\cdot %}{%  \\cdot %} = \\frac{%}{%}",
                                          {*a.z, *b.z, a.n, b.n, *r->z, r->n})
                              : formatted("%  \\cdot % = %", {*a.z, *b.z, *r->z});
    return finish(std::move(r), std::move(working));
}

OperationResult QuroMathOperation::divide(const Digit& a, const Digit& b, bool forceDecimal) {
    if (!a.z || !b.z) return {};
    const double za = *a.z, na = a.n, zb = *b.z, nb = b.n;
    const bool decimal = !withFraction || forceDecimal;
    const bool exact = !decimal && std::fmod(za, zb) == 0 && std::fmod(na, nb) == 0;
    auto r = makeDigit();
    if (decimal) {
        r->z = za / zb;
    } else if (exact) {
        r->z = za / zb;
        r->n = na / nb;
    } else {
        r->z = za * nb;
        r->n = zb * na;
    }
    if (*r->z == 0) {
        r->n = 1.0;
        return {r, latexOfTerm(a) + " : " + latexOfTerm(b) + " = 0", std::nullopt};
    }
    if (!decimal && r->n < 0) {
        r->z = -*r->z;
        r->n = -r->n;
    }
    // As in multiply: constants are carried whichever side they stand on, so the quotient keeps
    // the value of a's value divided by b's.
    r->zConstants =
        joined(without(a.zConstants, b.zConstants), without(b.nConstants, a.nConstants));
    r->nConstants =
        joined(without(b.zConstants, a.zConstants), without(a.nConstants, b.nConstants));
    std::string working;
    if (decimal) {
        working = formatted("% : % = %", {za, zb, *r->z});
    } else if (exact) {
        working = formatted("\\frac{% : %}{% : %} = \\frac{%}{%}", {za, zb, na, nb, *r->z, r->n});
    } else {
        working = formatted("\\frac{% : %}{% : %}", {za, zb, na, nb}) + " = " +
                  formatted("\\frac{%  \\cdot %}{%  \\cdot %} = \\frac{%}{%}",
                            {za, nb, na, zb, *r->z, r->n});
    }
    return finish(std::move(r), std::move(working));
}

OperationResult QuroMathOperation::finish(DigitRef r, std::string working) {
    if (auto reduced = cancelDown(*r).term) r = std::move(reduced);
    auto cancelStep = QuroStringOutput::latexDivisionStep(*r, divisor);
    return {std::move(r), std::move(working), std::move(cancelStep)};
}

CancelResult QuroMathOperation::cancelDown(const Digit& t) {
    divisor = 1;
    if (!t.z || std::isinf(*t.z)) return {};
    // Euclid rather than a trial of every candidate: the same divisor, and no wait on long numbers.
    const std::int64_t g = commonFactor(*t.z, t.n);
    const double z = *t.z / static_cast<double>(g);
    const double n = t.n / static_cast<double>(g);
    divisor = n < 0 ? -g : g;

    NaturalConstants cancelled;
    if (!t.zConstants.empty() && t.zConstants == t.nConstants) {
        cancelled.push_back(t.zConstants.front());
    }
    if (g <= 1 && cancelled.empty()) return {};

    auto e = makeDigit();
    e->copy(t);
    const double sign = n < 0 ? -1.0 : 1.0;
    e->z = z * sign;
    e->n = n * sign;
    e->zConstants = without(t.zConstants, cancelled);
    e->nConstants = without(t.nConstants, cancelled);
    std::string text = QuroStringOutput::latexRatio(t, cancelled, static_cast<double>(*divisor)) +
                       " =  " + QuroStringOutput::latexTerm(*e, "", std::nullopt, false, false, 10);
    return {std::move(e), std::move(text)};
}

DigitRef QuroMathOperation::power(const Digit& t, double exponent) const {
    auto r = makeDigit();
    r->copy(t);
    if (!t.z) return r;
    double z = *t.z;
    double n = t.n;
    // A constant can only stand once in a term, so under a real power it is folded into the
    // numbers: the result's value is then t's value raised to the exponent.
    if (exponent != 1.0 && (!t.zConstants.empty() || !t.nConstants.empty())) {
        z = z * productOf(t.zConstants);
        n = n * productOf(t.nConstants);
        r->zConstants.clear();
        r->nConstants.clear();
    }
    r->z = std::pow(z, exponent);
    r->n = std::pow(n, exponent);
    return r;
}

RoundedValue QuroMathOperation::roundToDecimalPlaces(double x, int n) {
    const double factor = std::pow(10.0, n);
    const double rounded = std::round(x * factor) / factor;
    // The digits of x beyond the n-th place: a run of zeros or nines there is noise of the double,
    // not a change worth telling.
    const std::string text = shortestDescription(x);
    const auto point = text.rfind('.');
    std::string last = point == std::string::npos ? text : text.substr(point + 1);
    if (last.empty() && point != std::string::npos) last = text.substr(0, point);
    const auto skip = static_cast<std::size_t>(n < 0 ? 0 : n);
    const std::string tail = skip < last.size() ? last.substr(skip) : "";
    const bool unchanged = rounded == x || tail.starts_with("0000");
    return {rounded, !unchanged && !tail.starts_with("9999")};
}

}  // namespace app
