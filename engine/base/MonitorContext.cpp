#include "engine/base/MonitorContext.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <typeinfo>

#include "platform/foundation/Format.h"

namespace engine {

namespace {

std::string demangle(const char* mangled) {
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(mangled);
}

}  // namespace

CaughtException CaughtException::current() {
    CaughtException caught;
    const std::type_info* type = abi::__cxa_current_exception_type();
    caught.name = type ? demangle(type->name()) : "unknown exception";
    try {
        throw;
    } catch (const std::exception& e) {
        caught.reason = e.what();
    } catch (...) {
    }
    return caught;
}

bool MonitorContext::isNull() const {
    if (std::holds_alternative<std::monostate>(value_)) return true;
    const auto* o = object();
    return o && o->isNull();
}

std::string describeError(const platform::Error& error) {
    std::string text = platform::formatString(
        "Error Domain=%@ Code=%lld \"%@\"", error.domain, error.code,
        error.description.empty() ? std::string("(null)") : error.description);
    if (error.userInfo.empty()) return text;
    text += " UserInfo={";
    bool first = true;
    for (const auto& [key, value] : error.userInfo) {
        if (!first) text += ", ";
        first = false;
        text += key + "=" + platform::displayText(value);
    }
    text += "}";
    return text;
}

}  // namespace engine
