#pragma once

// The natural constants and variables that a typed term may carry, and the fixed tables from which
// the input grammar recognises them.

#include <array>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// One natural constant (π or e). A value record: two constants are equal when key, LaTeX and
// value all are.
struct NaturalConstant {
    std::string key;    // the character as typed: "π" (U+03C0) or "e"
    std::string latex;  // how it is printed: "\pi" or "e"
    double value = 0;

    friend bool operator==(const NaturalConstant&, const NaturalConstant&) = default;
};

// For failure messages: NaturalConstant{key: "e", latex: "e", value: 2.718281828459045}.
void PrintTo(const NaturalConstant& constant, std::ostream* os);

using NaturalConstants = std::vector<NaturalConstant>;

// The constants of the input grammar, in the order they are looked for.
const std::array<NaturalConstant, 2>& naturalConstantTable();

// The variable names of the input grammar, in order.
inline constexpr std::array<std::string_view, 3> variableTable = {"x", "y", "z"};

// `list` without every element equal to one of `removed`, the order of the rest kept.
NaturalConstants without(const NaturalConstants& list, const NaturalConstants& removed);

}  // namespace app
