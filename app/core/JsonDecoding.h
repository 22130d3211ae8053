#pragma once

// Strict decoding of the formula model's JSON records: a required member must be there with the
// right kind of value, or the whole record fails, as the records' own decoders promise.

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/Error.h"

namespace app {

inline constexpr const char* kDecodingErrorDomain = "DecodingError";

enum class DecodingErrorCode : std::int64_t {
    keyNotFound = 1,
    typeMismatch = 2,
    dataCorrupted = 3
};

// Thrown inside a decoder and turned into a platform::Error at its boundary.
struct DecodingFailure : std::runtime_error {
    DecodingFailure(DecodingErrorCode code, const std::string& what)
        : std::runtime_error(what), code(code) {}
    DecodingErrorCode code;
};

std::string decodeString(const nlohmann::json& object, const char* key);
double decodeNumber(const nlohmann::json& object, const char* key);
std::vector<std::string> decodeStringList(const nlohmann::json& object, const char* key);
// Missing or null gives none.
std::optional<std::vector<std::string>> decodeOptionalStringList(const nlohmann::json& object,
                                                                 const char* key);
std::optional<std::map<std::string, double>> decodeOptionalNumberDictionary(
    const nlohmann::json& object, const char* key);
// Fails unless `value` is a JSON object.
void requireObject(const nlohmann::json& value);

// Runs `decoder` on `value`; a failure becomes an empty result and the error.
template <typename T, typename Decoder>
std::optional<T> decodeRecord(const nlohmann::json& value, platform::Error* error,
                              Decoder decoder) {
    try {
        requireObject(value);
        return decoder(value);
    } catch (const DecodingFailure& failure) {
        return platform::failWith<std::optional<T>>(
            error,
            {kDecodingErrorDomain, static_cast<std::int64_t>(failure.code), failure.what(), {}});
    }
}

}  // namespace app
