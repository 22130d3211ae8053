#include "engine/base/KLVErrors.h"

namespace engine {

platform::Error klv_errorWithCode(std::int64_t code, std::string_view description,
                                  std::string_view monitorContext) {
    platform::Error error{kKLVErrorDomain, code, std::string(description), {}};
    if (!monitorContext.empty()) {
        error.userInfo.emplace(kKLVMonitorContextKey, std::string(monitorContext));
    }
    return error;
}

void KLVSetError(platform::Error* error, std::int64_t code, std::string_view description) {
    KLVSetErrorWithMonitorContext(error, code, description, {});
}

void KLVSetErrorWithMonitorContext(platform::Error* error, std::int64_t code,
                                   std::string_view description, std::string_view monitorContext) {
    if (error) *error = klv_errorWithCode(code, description, monitorContext);
}

bool KLVCheckCondition(bool condition, platform::Error* error, std::int64_t code,
                       std::string_view description) {
    if (!condition) KLVSetError(error, code, description);
    return condition;
}

bool KLVCheckPointer(const void* pointer, platform::Error* error, std::int64_t code,
                     std::string_view description) {
    return KLVCheckCondition(pointer != nullptr, error, code, description);
}

bool KLVCheckNonZero(std::uint64_t count, platform::Error* error, std::int64_t code,
                     std::string_view description) {
    return KLVCheckCondition(count != 0, error, code, description);
}

std::string KLVMonitorContextsFromErrors(const MonitorContexts& contexts) {
    std::string joined;
    for (const auto& context : contexts) {
        const auto* error = context.error();
        if (!error || error->domain != kKLVErrorDomain) continue;
        const auto entry = error->userInfo.find(kKLVMonitorContextKey);
        const auto* text = entry != error->userInfo.end() ? entry->second.getString() : nullptr;
        if (!text || text->empty()) continue;
        if (!joined.empty()) joined += ",";
        joined += *text;
    }
    return joined;
}

}  // namespace engine
