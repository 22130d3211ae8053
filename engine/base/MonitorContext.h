#pragma once

// The context objects that follow a monitor message: texts, numbers, errors, caught exceptions,
// or null. The monitor prints them on the console line and encodes them, stripped of anything
// personal, into the sampled health record.

#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace engine {

// An exception caught where the engine catches them (a block on the worker queue), as the monitor
// reports it.
struct CaughtException {
    std::string name;    // the exception's type, e.g. "std::runtime_error"
    std::string reason;  // what() of a std::exception, else empty
    // Symbol lines of the stack where it was thrown, when the thrower recorded them (C++
    // exceptions carry none).
    std::vector<std::string> callStackSymbols;

    // The exception being handled; call only inside a catch block.
    static CaughtException current();
};

class MonitorContext {
  public:
    // Null, what the phone passes as NSNull.
    MonitorContext() = default;
    MonitorContext(std::nullptr_t) {}
    template <typename T, std::enable_if_t<std::is_constructible_v<platform::Object, T&&> &&
                                               !std::is_same_v<std::decay_t<T>, std::nullptr_t> &&
                                               !std::is_same_v<std::decay_t<T>, MonitorContext>,
                                           int> = 0>
    MonitorContext(T&& value) : value_(platform::Object(std::forward<T>(value))) {}
    MonitorContext(platform::Error error) : value_(std::move(error)) {}
    MonitorContext(CaughtException exception) : value_(std::move(exception)) {}

    // Null context, or an object holding null.
    bool isNull() const;
    const platform::Object* object() const { return std::get_if<platform::Object>(&value_); }
    const platform::Error* error() const { return std::get_if<platform::Error>(&value_); }
    const CaughtException* exception() const { return std::get_if<CaughtException>(&value_); }

  private:
    std::variant<std::monostate, platform::Object, platform::Error, CaughtException> value_;
};

using MonitorContexts = std::vector<MonitorContext>;

// An error as the phone describes one:
//   Error Domain=<domain> Code=<code> "<description>" UserInfo={<key>=<value>, ...}
// ("(null)" for an empty description; no UserInfo part when it is empty).
std::string describeError(const platform::Error& error);

}  // namespace engine
