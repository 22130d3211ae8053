#pragma once

// The methods a program calls on a string value by name. Positions, lengths and characters count
// UTF-16 code units.

#include <span>
#include <string>
#include <string_view>

#include "engine/script/KLVPRuntimeValue.h"

namespace engine {

// Failures of the regular-expression engine: the code is the engine's status (a bad pattern, or
// a match that ran out of its time limit).
inline constexpr const char* kKLVPRegularExpressionErrorDomain =
    "com.nexory.zkt.measurement.pixie.RegularExpression";

class KLVPStringCommandEvaluator {
  public:
    static const KLVPStringCommandEvaluator& sharedInstance();

    // An unknown name fails with script error 17 before anything runs; otherwise the arguments are
    // evaluated in order and the method runs on `text`.
    KLVPValue evaluateCommand(std::u16string_view name, const std::u16string& text,
                              std::span<const KLVPValue> arguments, KLVPScope& scope,
                              platform::Error* error) const;
};

}  // namespace engine
