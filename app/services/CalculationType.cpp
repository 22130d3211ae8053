#include "app/services/CalculationType.h"

#include <array>

namespace app {

namespace {

constexpr std::array<const char*, kCalculationTypeCount> kShortCodes{
    "LE", "RF",   "PY",   "PQ", "BF", "FX",  "FQ",  "ROP", "PC", "AC",   "SFC", "SC",
    "RT", "IT",   "PM",   "UC", "AT", "SCT", "APC", "SPC", "SL", "QZ",   "PLF", "EGD",
    "CC", "FOAP", "FOAC", "BC", "BE", "BEF", "BD",  "QS",  "CO", "HTTIE"};

}  // namespace

std::optional<CalculationType> calculationTypeFromNumber(int number) {
    if (number < 0 || number >= kCalculationTypeCount) return std::nullopt;
    return static_cast<CalculationType>(number);
}

std::string calculationShortCode(CalculationType type) {
    return kShortCodes[static_cast<std::size_t>(type)];
}

}  // namespace app
