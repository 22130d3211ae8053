#pragma once

// The formula model of the shared calculator code base: one catalogue entry, the holder of a list
// of entries, and the error of the model's resource loading.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/Error.h"

namespace app {

struct Formula {
    std::string category;
    std::string subcategory;
    std::string topic;
    std::string type;
    std::string imageName;
    std::string searched;
    std::vector<std::string> given;
    std::string latex;
    std::string identifier;
    std::optional<std::vector<std::string>> conditions;  // missing or null in JSON: absent
    std::string description;

    friend bool operator==(const Formula&, const Formula&) = default;

    // Fails as a whole when a required member is missing or of the wrong kind.
    static std::optional<Formula> fromJson(const nlohmann::json& object,
                                           platform::Error* error = nullptr);
    // The members in field order; "conditions" left out when absent.
    nlohmann::ordered_json toJson() const;
};

class QuroFormula {
  public:
    std::vector<Formula> formulas;
};

enum class FormulaError { configurationFailed };

inline constexpr const char* kFormulaErrorDomain = "FormulaError";

// "configurationFailed".
std::string_view description(FormulaError error);
platform::Error makeError(FormulaError error);

}  // namespace app
