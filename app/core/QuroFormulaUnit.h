#pragma once

// The units of length of the formula model, read from the resource "unitsOfLength.json", and the
// rewriting of the default unit ("m") in a unit text into a chosen target unit.

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/Error.h"

namespace app {

struct Unit {
    std::string key;  // as written in unit texts, "m" for the default unit
    std::string latex;
    std::string name;
    double factor = 0;  // carried with the unit; nothing reads it

    friend bool operator==(const Unit&, const Unit&) = default;

    static std::optional<Unit> fromJson(const nlohmann::json& object,
                                        platform::Error* error = nullptr);
    nlohmann::ordered_json toJson() const;
};

class QuroFormulaUnit {
  public:
    std::string defaultUnitKey = "m";
    std::vector<Unit> units;
    std::optional<Unit> targetUnit;

    // Loads "unitsOfLength"; a failure is written as one line to standard output and leaves the
    // list empty.
    QuroFormulaUnit();

    static QuroFormulaUnit& shared();

    // Reads "<fileName>.json" of the main bundle as an array of units. Fails with
    // FormulaError::configurationFailed when the resource is missing or unreadable, with the
    // decoder's error when it is no array of complete units; `units` is kept on failure.
    [[nodiscard]] bool loadUnits(const std::string& fileName, platform::Error* error = nullptr);

    // `text` with every whole-word occurrence of the default unit's key replaced by the target
    // unit's key (`useKey`) or LaTeX, inserted as it stands; unchanged without a target unit or
    // when the target is the default unit.
    std::string replaceUnit(const std::string& text, bool useKey) const;
};

// For failure messages: Unit{key: "m", latex: "m", name: "meter", factor: 1}.
void PrintTo(const Unit& unit, std::ostream* os);

}  // namespace app
