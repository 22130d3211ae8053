#pragma once

// The failures of the rule runtime. Every failure is an error of the script domain with one of the
// codes below and no description (the runtime limit says what it is), returned through an error
// out-parameter together with the undefined value; the first error ends the run.
//
// Inside the runtime the error out-parameter is never null and starts empty: a failure is an error
// whose domain is set (KLVPFailed).

#include <cstdint>

#include "platform/foundation/Error.h"

namespace engine {

inline constexpr const char* kKLVPScriptErrorDomain =
    "com.nexory.zkt.measurement.pixie.ErrorDomain";
inline constexpr const char* kKLVPEditingErrorDomain =
    "com.nexory.zkt.measurement.pixie.editing.ErrorDomain";

enum KLVPScriptErrorCode : std::int64_t {
    kKLVPErrorUndeclaredAssignment = 2,
    kKLVPErrorNoBooleanForm = 3,
    kKLVPErrorNoNumberForm = 4,
    kKLVPErrorNoStringForm = 5,
    kKLVPErrorWriteToNullish = 6,
    kKLVPErrorMethodOnNullish = 7,
    kKLVPErrorReduceEmptyArray = 8,
    kKLVPErrorArgumentCount = 9,
    kKLVPErrorArgumentKind = 10,
    kKLVPErrorInvalidLength = 11,
    kKLVPErrorEntityType = 12,
    kKLVPErrorUnsupportedObject = 13,
    kKLVPErrorStatementName = 14,
    kKLVPErrorModuleCreator = 15,
    kKLVPErrorNotIterable = 16,
    kKLVPErrorUnknownMethod = 17,
    kKLVPErrorInstructionLimit = 18,
    // A bound that keeps a downloaded program from exhausting the worker thread: nesting, the
    // size of arrays and texts, the depth of calls.
    kKLVPErrorRuntimeLimit = 19,
};

// Sets a script error into `error` (which may be null outside the runtime); always false.
bool KLVPSetScriptError(platform::Error* error, std::int64_t code);

[[nodiscard]] inline bool KLVPFailed(const platform::Error* error) {
    return error && !error->domain.empty();
}

}  // namespace engine
