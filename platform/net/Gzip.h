#pragma once

// gzip compression and its inverse on zlib, in the gzip file format (RFC 1952) that the standard
// gzip tool reads and writes: upload bundles are stored this way and some answers of the
// measurement host arrive this way. Inflation is bounded: an input that would inflate beyond the
// caller's cap is refused before more than the cap (plus one working chunk) is ever allocated.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace platform {

inline constexpr char kGzipErrorDomain[] = "GzipErrorDomain";

// Error codes of kGzipErrorDomain.
enum GzipErrorCode : std::int64_t {
    kGzipErrorCompressionFailed = 1,  // zlib could not compress (out of memory)
    kGzipErrorNotGzip = 2,            // not a gzip stream, corrupt, or truncated
    kGzipErrorTooLarge = 3,           // would inflate beyond the cap
};

// Default cap for gunzipData(): far above any bundle or answer the engine handles.
inline constexpr std::size_t kDefaultMaximumInflatedSize = 64u * 1024u * 1024u;

// The bytes as one gzip member (no file name, time stamp 0), so equal input gives equal output.
std::optional<Data> gzipData(std::span<const std::uint8_t> bytes, Error* error = nullptr);

// Inflates gzip data (one member or several concatenated, as the gzip tool allows). Fails with
// kGzipErrorNotGzip on anything that is not complete gzip (raw deflate, zlib format, trailing
// garbage, a bad checksum) and with kGzipErrorTooLarge when the result would exceed
// `maximumSize` bytes.
std::optional<Data> gunzipData(std::span<const std::uint8_t> bytes,
                               std::size_t maximumSize = kDefaultMaximumInflatedSize,
                               Error* error = nullptr);

}  // namespace platform
