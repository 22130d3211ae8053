#include "app/core/Quadrant.h"

#include <array>
#include <utility>

namespace app {
namespace {

constexpr std::array<std::pair<Quadrant, std::string_view>, 4> kRawValues = {{
    {Quadrant::first, "I"},
    {Quadrant::second, "II"},
    {Quadrant::third, "III"},
    {Quadrant::fourth, "IV"},
}};

}  // namespace

std::string_view rawValue(Quadrant quadrant) {
    for (const auto& [value, raw] : kRawValues) {
        if (value == quadrant) return raw;
    }
    return {};
}

std::optional<Quadrant> quadrantFromRawValue(std::string_view raw) {
    for (const auto& [value, text] : kRawValues) {
        if (text == raw) return value;
    }
    return std::nullopt;
}

}  // namespace app
