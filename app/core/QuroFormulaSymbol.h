#pragma once

// The formula symbols: the quantities a calculator of the shared code base may ask for, each with
// its key in an input template, LaTeX, name and unit. No operation of this app adds symbols.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/Error.h"

namespace app {

struct Symbol {
    std::string category;
    std::string subcategory;
    std::string topic;
    std::string key;
    std::string latex;
    std::string name;
    std::string unit;
    std::optional<std::map<std::string, double>> rules;  // missing or null in JSON: absent

    friend bool operator==(const Symbol&, const Symbol&) = default;

    static std::optional<Symbol> fromJson(const nlohmann::json& object,
                                          platform::Error* error = nullptr);
    // The members in field order; "rules" left out when absent.
    nlohmann::ordered_json toJson() const;
};

class QuroFormulaSymbol {
  public:
    std::vector<Symbol> symbols;

    static QuroFormulaSymbol& shared();
};

}  // namespace app
