#pragma once

// The platform's failure record. An operation that can fail returns false (or an empty optional,
// or a null pointer) and fills an optional out-parameter of this type.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>

#include "platform/foundation/Object.h"

namespace platform {

struct Error {
    std::string domain;
    std::int64_t code = 0;
    std::string description;
    Dictionary userInfo;

    friend bool operator==(const Error&, const Error&) = default;
};

// Lets GoogleTest print errors in failure messages: Error{domain: "D", code: 3, ...}.
void PrintTo(const Error& error, std::ostream* os);

// Fills *out when the caller asked for the error; the usual last line of a failing function:
//   return fail(error, {"Domain", 3, "what went wrong"});
inline bool fail(Error* out, Error error) {
    if (out) *out = std::move(error);
    return false;
}

// Same as fail() for functions that report failure through an empty result.
template <typename T>
T failWith(Error* out, Error error, T empty = T{}) {
    if (out) *out = std::move(error);
    return empty;
}

}  // namespace platform
