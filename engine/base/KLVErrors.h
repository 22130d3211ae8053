#pragma once

// Engine errors: one domain, a code chosen by the caller, the description and, for the monitor's
// health record, an optional "KLVMonitorContext" text. The functions below fill an error
// out-parameter in one step, so a failing check is both the guard and the error report:
//
//   if (!KLVCheckNonZero(path.size(), error, kKLVErrorCodeBadArgument,
//                        "Received empty database path on init")) {
//       return false;
//   }

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/base/MonitorContext.h"
#include "platform/foundation/Error.h"

namespace engine {

inline constexpr char kKLVErrorDomain[] = "com.nexory.zkt.measurement.ErrorDomain";
// User-info key of the text the monitor adds to its health record.
inline constexpr char kKLVMonitorContextKey[] = "KLVMonitorContext";

// The codes in use.
inline constexpr std::int64_t kKLVErrorCodeBadArgument = 1;  // empty, missing or wrong argument
inline constexpr std::int64_t kKLVErrorCodeFailedOperation = 2;
inline constexpr std::int64_t kKLVErrorCodeEmptyData = 3;  // also a failed end of transaction
inline constexpr std::int64_t kKLVErrorCodeInvalidAudience = 9;
inline constexpr std::int64_t kKLVErrorCodeInvalidEventFilter = 10;
inline constexpr std::int64_t kKLVErrorCodeInvalidPropertyFilter = 11;

// An engine error; an empty monitor context is left out of the user info.
platform::Error klv_errorWithCode(std::int64_t code, std::string_view description,
                                  std::string_view monitorContext = {});

// Store a new engine error into *error when the caller asked for one.
void KLVSetError(platform::Error* error, std::int64_t code, std::string_view description);
void KLVSetErrorWithMonitorContext(platform::Error* error, std::int64_t code,
                                   std::string_view description, std::string_view monitorContext);

// Each returns its verdict and, when it fails, stores an engine error with the code and the
// description.
[[nodiscard]] bool KLVCheckCondition(bool condition, platform::Error* error, std::int64_t code,
                                     std::string_view description);
[[nodiscard]] bool KLVCheckPointer(const void* pointer, platform::Error* error, std::int64_t code,
                                   std::string_view description);
[[nodiscard]] bool KLVCheckNonZero(std::uint64_t count, platform::Error* error, std::int64_t code,
                                   std::string_view description);
// Fails on an absent object: a null pointer of any kind or an empty optional.
template <typename T>
[[nodiscard]] bool KLVCheckObject(const T& object, platform::Error* error, std::int64_t code,
                                  std::string_view description) {
    return KLVCheckCondition(static_cast<bool>(object), error, code, description);
}

// The monitor-context texts of the engine errors among `contexts` that carry a non-empty one,
// joined by ","; empty when there are none.
std::string KLVMonitorContextsFromErrors(const MonitorContexts& contexts);

}  // namespace engine
