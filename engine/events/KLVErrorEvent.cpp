#include "engine/events/KLVErrorEvent.h"

#include <mutex>
#include <utility>

#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVStringAdditions.h"
#include "engine/events/KLVParameterSanitizer.h"
#include "platform/foundation/SharedInstance.h"

namespace engine {

namespace {

// The installed logger, reset with the other shared instances.
class InternalEventLoggerSlot {
  public:
    void set(KLVInternalEventLogger logger) {
        std::lock_guard lock(mutex_);
        logger_ = std::move(logger);
    }
    KLVInternalEventLogger get() const {
        std::lock_guard lock(mutex_);
        return logger_;
    }

  private:
    mutable std::mutex mutex_;
    KLVInternalEventLogger logger_;
};

InternalEventLoggerSlot& slot() {
    return platform::SharedInstance<InternalEventLoggerSlot>::get();
}

void logErrorEvent(const std::optional<platform::Dictionary>& parameters) {
    if (!parameters) return;
    if (const auto logger = slot().get()) logger(kKLVAutoOrigin, kKLVErrorEventName, *parameters);
}

// The value's length as text: code points of a string, else of its description.
std::int64_t textLength(const platform::Object& value) {
    const auto* text = value.getString();
    return static_cast<std::int64_t>(klv_UTF32Length(text ? *text : value.description()));
}

}  // namespace

void KLVSetInternalEventLogger(KLVInternalEventLogger logger) {
    slot().set(std::move(logger));
}

void KLVLogInternalEvent(const std::string& origin, const std::string& name,
                         const platform::Dictionary& parameters) {
    if (const auto logger = slot().get()) logger(origin, name, parameters);
}

std::optional<platform::Dictionary> KLVErrorEventParameters(std::int64_t code) {
    if (code == kKLVEventErrorNoError) return std::nullopt;
    return platform::Dictionary{{kKLVErrorParameter, code}};
}

std::optional<platform::Dictionary> KLVErrorEventParametersWithName(
    std::int64_t code, std::optional<std::string_view> name, std::int64_t limit,
    const platform::Object* value) {
    if (code == kKLVEventErrorNoError) return std::nullopt;
    KLVParameters parameters = {{kKLVErrorParameter, KLVValue::initWithInt64(code)}};
    const bool passValue =
        value && !value->isNull() &&
        (textLength(*value) > limit || code == kKLVEventErrorInvalidParameterValue ||
         code == kKLVEventErrorUserPropertyValueTooLong);
    KLVSetErrorValueParameters(parameters, name, limit, passValue ? value : nullptr);
    platform::Dictionary dictionary;
    for (const auto& [parameter, parameterValue] : parameters) {
        dictionary.emplace(parameter, parameterValue.value());
    }
    return dictionary;
}

void KLVLogErrorEvent(std::int64_t code) {
    logErrorEvent(KLVErrorEventParameters(code));
}

void KLVLogErrorEventWithName(std::int64_t code, std::optional<std::string_view> name,
                              std::int64_t limit, const platform::Object* value) {
    logErrorEvent(KLVErrorEventParametersWithName(code, name, limit, value));
}

}  // namespace engine
