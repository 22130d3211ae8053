#pragma once

// The product family's calculation types, numbered 0 to 33; each has the short code that keys the
// tutorial-link document. 34 stands for none.

#include <optional>
#include <string>

namespace app {

enum class CalculationType : int {
    LE,
    RF,
    PY,
    PQ,
    BF,
    FX,
    FQ,
    ROP,
    PC,
    AC,
    SFC,
    SC,
    RT,
    IT,
    PM,
    UC,
    AT,
    SCT,
    APC,
    SPC,
    SL,
    QZ,
    PLF,
    EGD,
    CC,
    FOAP,
    FOAC,
    BC,
    BE,
    BEF,
    BD,
    QS,
    CO,
    HTTIE
};

inline constexpr int kCalculationTypeCount = 34;
inline constexpr int kCalculationTypeNone = 34;
// This app's type.
inline constexpr CalculationType kAppCalculationType = CalculationType::QZ;

// The type numbered `number`, or nothing (34 and anything out of range).
std::optional<CalculationType> calculationTypeFromNumber(int number);
std::string calculationShortCode(CalculationType type);

}  // namespace app
