#pragma once

// The error domain and codes the phone's Foundation reports for file, property-list and JSON
// failures. Callers that branch on an error compare against these.

#include <cstdint>
#include <string>
#include <utility>

#include "platform/foundation/Error.h"

namespace platform {

inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
// userInfo key of the file path a file error concerns (a string).
inline constexpr const char* kFilePathErrorKey = "NSFilePath";
// userInfo key of the operating system's errno behind an error (an integer).
inline constexpr const char* kPOSIXErrorCodeKey = "NSPOSIXErrorCode";

enum CocoaErrorCode : std::int64_t {
    kFileNoSuchFileError = 4,
    kFileReadUnknownError = 256,
    kFileReadNoPermissionError = 257,
    kFileReadNoSuchFileError = 260,
    kFileReadTooLargeError = 263,
    kFileWriteUnknownError = 512,
    kFileWriteNoPermissionError = 513,
    kFileWriteOutOfSpaceError = 640,
    // Property lists and JSON share these two, as on the phone.
    kPropertyListReadCorruptError = 3840,
    kPropertyListWriteInvalidError = 3852,
};

// A property list or JSON document that cannot be read.
inline Error propertyListReadError(std::string description) {
    return {kCocoaErrorDomain, kPropertyListReadCorruptError, std::move(description), {}};
}

// A value that has no property-list or JSON form.
inline Error propertyListWriteError(std::string description) {
    return {kCocoaErrorDomain, kPropertyListWriteInvalidError, std::move(description), {}};
}

}  // namespace platform
