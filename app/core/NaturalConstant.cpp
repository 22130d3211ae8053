#include "app/core/NaturalConstant.h"

#include <algorithm>
#include <ostream>

#include "platform/foundation/Format.h"
#include "platform/foundation/Object.h"

namespace app {

const std::array<NaturalConstant, 2>& naturalConstantTable() {
    static const std::array<NaturalConstant, 2> table = {{
        {"\u03C0", "\\pi", 3.141592653589793},
        {"e", "e", 2.718281828459045},
    }};
    return table;
}

NaturalConstants without(const NaturalConstants& list, const NaturalConstants& removed) {
    NaturalConstants kept;
    for (const auto& constant : list) {
        if (std::find(removed.begin(), removed.end(), constant) == removed.end()) {
            kept.push_back(constant);
        }
    }
    return kept;
}

void PrintTo(const NaturalConstant& constant, std::ostream* os) {
    *os << "NaturalConstant{key: " << platform::Object(constant.key).description()
        << ", latex: " << platform::Object(constant.latex).description()
        << ", value: " << platform::shortestNumberText(constant.value) << '}';
}

}  // namespace app
