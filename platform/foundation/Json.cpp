#include "platform/foundation/Json.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/CocoaError.h"
#include "platform/foundation/Text.h"

namespace platform {

namespace {

using nlohmann::json;

// What reading builds per value: an Object in its container, with the container's room to grow
// or the box of a container of its own (40 to 75 bytes measured) ...
constexpr std::size_t kBuiltBytesPerValue = 64;
// ... and per dictionary entry its tree node and key besides the bytes of the key.
constexpr std::size_t kBuiltBytesPerKey = 64;

// Builds the Object straight from the parser's events, which keeps the depth and the memory in
// check before anything deep or large is built.
class ObjectBuilder final : public nlohmann::json_sax<json> {
  public:
    bool null() override { return add(Object()); }
    bool boolean(bool value) override { return add(Object(value)); }
    bool number_integer(number_integer_t value) override { return add(Object(value)); }
    bool number_unsigned(number_unsigned_t value) override {
        if (value <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
            return add(Object(std::int64_t(value)));
        }
        return add(Object(double(value)));
    }
    bool number_float(number_float_t value, const string_t&) override { return add(Object(value)); }
    bool string(string_t& value) override {
        return count(value.size()) && add(Object(std::move(value)));
    }
    bool binary(binary_t&) override { return refuse("JSON text cannot hold binary values."); }
    bool start_object(std::size_t) override { return open(Object(Dictionary{})); }
    bool key(string_t& value) override {
        if (!count(kBuiltBytesPerKey + value.size())) return false;
        keys_.push_back(std::move(value));
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Object(Array{})); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& e) override {
        return refuse(e.what());
    }

    std::optional<Object> result(Error* error) {
        if (!problem_.empty())
            return failWith<std::optional<Object>>(error, propertyListReadError(problem_));
        return std::move(root_);
    }

  private:
    bool refuse(std::string problem) {
        if (problem_.empty()) problem_ = std::move(problem);
        return false;
    }

    bool open(Object container) {
        if (open_.size() >= kMaxJSONDepth) return refuse("The JSON text is nested too deeply.");
        open_.push_back(std::move(container));
        return true;
    }

    bool close() {
        Object done = std::move(open_.back());
        open_.pop_back();
        return add(std::move(done));
    }

    // Counts bytes the result will hold; false, with the problem noted, past the budget.
    bool count(std::size_t bytes) {
        built_ += bytes;
        if (built_ <= kMaxJSONBuildBytes) return true;
        return refuse("The JSON text would take more than " + std::to_string(kMaxJSONBuildBytes) +
                      " bytes in memory.");
    }

    bool add(Object value) {
        if (!count(kBuiltBytesPerValue)) return false;
        if (open_.empty()) {
            root_ = std::move(value);
            return true;
        }
        Object& parent = open_.back();
        if (auto* array = parent.getArray()) {
            array->push_back(std::move(value));
        } else {
            (*parent.getDictionary())[std::move(keys_.back())] = std::move(value);  // last wins
            keys_.pop_back();
        }
        return true;
    }

    std::vector<Object> open_;
    std::vector<std::string> keys_;
    std::optional<Object> root_;
    std::string problem_;
    std::size_t built_ = 0;
};

std::optional<json> toJSON(const Object& object, std::size_t containers, Error* error);

std::optional<json> containerToJSON(const Object& object, std::size_t containers, Error* error) {
    if (containers >= kMaxJSONDepth) {
        return failWith<std::optional<json>>(
            error, propertyListWriteError("The object is nested too deeply for JSON."));
    }
    if (const auto* array = object.getArray()) {
        json out = json::array();
        for (const auto& element : *array) {
            auto value = toJSON(element, containers + 1, error);
            if (!value) return std::nullopt;
            out.push_back(std::move(*value));
        }
        return out;
    }
    json out = json::object();
    for (const auto& [key, element] : object.asDictionary()) {
        if (!isValidUTF8(key)) {
            return failWith<std::optional<json>>(
                error, propertyListWriteError("A dictionary key is not valid UTF-8."));
        }
        auto value = toJSON(element, containers + 1, error);
        if (!value) return std::nullopt;
        out[key] = std::move(*value);
    }
    return out;
}

std::optional<json> toJSON(const Object& object, std::size_t containers, Error* error) {
    using Result = std::optional<json>;
    switch (object.type()) {
        case Object::Type::Null:
            return json(nullptr);
        case Object::Type::Bool:
            return json(object.asBool());
        case Object::Type::Integer:
            return json(object.asInteger());
        case Object::Type::Double:
            if (!std::isfinite(object.asDouble())) {
                return failWith<Result>(
                    error, propertyListWriteError("JSON has no form for a non-finite number."));
            }
            return json(object.asDouble());
        case Object::Type::String:
            if (!isValidUTF8(object.asString())) {
                return failWith<Result>(error,
                                        propertyListWriteError("A string is not valid UTF-8."));
            }
            return json(object.asString());
        case Object::Type::Data:
            return failWith<Result>(error, propertyListWriteError("JSON has no form for data."));
        case Object::Type::Date:
            return failWith<Result>(error, propertyListWriteError("JSON has no form for a date."));
        case Object::Type::Array:
        case Object::Type::Dictionary:
            return containerToJSON(object, containers, error);
    }
    return std::nullopt;
}

}  // namespace

std::optional<Object> readJSON(std::string_view text, Error* error) {
    ObjectBuilder builder;
    try {
        json::sax_parse(text.begin(), text.end(), &builder);
    } catch (const json::exception& e) {
        return failWith<std::optional<Object>>(error, propertyListReadError(e.what()));
    }
    return builder.result(error);
}

std::optional<std::string> writeJSON(const Object& object, JSONWriting style, Error* error) {
    const auto value = toJSON(object, 0, error);
    if (!value) return std::nullopt;
    try {
        return value->dump(style == JSONWriting::PrettyPrinted ? 2 : -1);
    } catch (const json::exception& e) {
        return failWith<std::optional<std::string>>(error, propertyListWriteError(e.what()));
    }
}

}  // namespace platform
