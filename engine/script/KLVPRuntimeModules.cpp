#include "engine/script/KLVPRuntimeModules.h"

#include "engine/script/KLVPBudget.h"
#include "engine/script/KLVPEvaluator.h"
#include "engine/script/KLVPRuntime.h"
#include "engine/script/KLVPRuntimeEntityConverter.h"
#include "engine/script/KLVPScope.h"
#include "engine/script/KLVPScriptError.h"
#include "engine/script/KLVPText.h"

namespace engine {

namespace {

constexpr std::int64_t kDefaultLogLevel = 4;
constexpr std::size_t kMaxLogContexts = 3;

struct ModuleValue {
    KLVPValue operator()(const KLVPKeyValueStore& store) const {
        return std::make_shared<KLVPKeyValueStoreModule>(store);
    }
    KLVPValue operator()(const KLVPObjectProvider& provider) const {
        return std::make_shared<KLVPObjectProviderModule>(provider);
    }
    KLVPValue operator()(const KLVPMessageLogger& logger) const {
        return std::make_shared<KLVPMessageLoggerModule>(logger.logger);
    }
};

}  // namespace

KLVPRuntimeModuleCreator KLVPRuntimeModuleCreatorFromModuleCreator(KLVPModuleCreator creator) {
    if (!creator) return nullptr;
    return [creator = std::move(creator)]() -> KLVPValue {
        return std::visit(ModuleValue{}, creator());
    };
}

// Provider and require.

void KLVPDynamicProvider::setModuleCreator(KLVPRuntimeModuleCreator creator, std::u16string name) {
    creators_.insert_or_assign(std::move(name), std::move(creator));
}

KLVPValue KLVPDynamicProvider::moduleForName(std::u16string_view name,
                                             platform::Error* error) const {
    const auto it = creators_.find(name);
    if (it == creators_.end()) return KLVPUndefined();
    KLVPValue module = it->second ? it->second() : nullptr;
    if (!module) return KLVPFail(error, kKLVPErrorModuleCreator);
    return module;
}

KLVPRequire::KLVPRequire(std::shared_ptr<const KLVPDynamicProvider> provider,
                         std::weak_ptr<KLVPRuntimeContext> context)
    : KLVPFunctionValue(u"require"), provider_(std::move(provider)), context_(std::move(context)) {}

KLVPValue KLVPRequire::invokeWithEvaluatedArguments(std::span<const KLVPValue> arguments,
                                                    platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(arguments, 1, error)) return KLVPUndefined();
    std::u16string name = arguments[0]->stringValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    if (const auto it = modules_.find(name); it != modules_.end()) return it->second;
    KLVPValue module = provider_->moduleForName(name, error);
    if (KLVPFailed(error)) return KLVPUndefined();
    // Only modules are kept: names without one, which a program may make up without end, would
    // grow the cache from run to run. Asking again answers undefined again.
    if (module->kind() == KLVPValueKind::Undefined) return module;
    if (const auto context = context_.lock()) context->objectManager.addObjectTree(module);
    modules_.emplace(std::move(name), module);
    return module;
}

void KLVPRequire::markChildren(KLVPMarkList& list) const {
    KLVPFunctionValue::markChildren(list);
    for (const auto& [name, module] : modules_)
        list.markValue(module);
}

void KLVPRequire::sweep() {
    KLVPFunctionValue::sweep();
    auto modules = std::move(modules_);
    modules_.clear();
    for (auto& [name, module] : modules)
        KLVPRelease(std::move(module));
}

// Platform.

KLVPRuntimePlatform::KLVPRuntimePlatform() : KLVPFunctionValue(u"internal.platform") {
    setValue(std::make_shared<KLVPFunctionGetVersion>(), u"getVersion");
}

KLVPValue KLVPFunctionGetVersion::invokeWithEvaluatedArguments(std::span<const KLVPValue>,
                                                               platform::Error*) {
    return KLVPNumberValue::make(static_cast<double>(KLVPRuntime::runtimeVersion()));
}

// Configuration values.

KLVPKeyValueStoreModule::KLVPKeyValueStoreModule(const KLVPKeyValueStore& store)
    : KLVPFunctionValue(KLVPUTF16FromUTF8(store.functionName)) {
    setValue(std::make_shared<KLVPKeyValueStoreGetValue>(store.getValueBlock), u"getValue");
}

KLVPKeyValueStoreGetValue::KLVPKeyValueStoreGetValue(
    std::function<std::optional<std::string>(const std::string&)> getValueBlock)
    : KLVPFunctionValue(u"getValue"), getValueBlock_(std::move(getValueBlock)) {}

KLVPValue KLVPKeyValueStoreGetValue::invokeWithEvaluatedArguments(
    std::span<const KLVPValue> arguments, platform::Error* error) {
    if (!KLVPCheckArgumentCountEquals(arguments, 2, error)) return KLVPUndefined();
    const std::u16string key = arguments[0]->stringValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    const std::optional<std::string> value =
        getValueBlock_ ? getValueBlock_(KLVPUTF8FromUTF16(key)) : std::nullopt;
    if (!value) return arguments[1];
    return KLVPStringValue::make(KLVPUTF16FromUTF8(*value), error);
}

// App metadata.

KLVPObjectProviderModule::KLVPObjectProviderModule(const KLVPObjectProvider& provider)
    : KLVPFunctionValue(KLVPUTF16FromUTF8(provider.name)), block_(provider.block) {}

KLVPValue KLVPObjectProviderModule::invokeWithArguments(std::span<const KLVPValue>,
                                                        KLVPScope& scope, platform::Error* error) {
    platform::Object object(block_ ? block_() : platform::Dictionary());
    return KLVPRuntimeEntityConverter::runtimeValueFromNSObject(object, scope, error);
}

// Logging.

KLVPMessageLoggerModule::KLVPMessageLoggerModule(std::shared_ptr<const KLVPLoggerDelegate> logger)
    : KLVPFunctionValue(u"internal.logger") {
    setValue(std::make_shared<KLVPFunctionLog>(logger, false, true), u"log");
    setValue(std::make_shared<KLVPFunctionLogSilent>(logger), u"silent");
    setValue(std::make_shared<KLVPFunctionLogUnmonitored>(std::move(logger)), u"unmonitored");
}

KLVPFunctionLogSilent::KLVPFunctionLogSilent(std::shared_ptr<const KLVPLoggerDelegate> logger)
    : KLVPFunctionValue(u"silent") {
    setValue(std::make_shared<KLVPFunctionLog>(std::move(logger), true, true), u"log");
}

KLVPFunctionLogUnmonitored::KLVPFunctionLogUnmonitored(
    std::shared_ptr<const KLVPLoggerDelegate> logger)
    : KLVPFunctionValue(u"unmonitored") {
    setValue(std::make_shared<KLVPFunctionLog>(std::move(logger), false, false), u"log");
}

KLVPFunctionLog::KLVPFunctionLog(std::shared_ptr<const KLVPLoggerDelegate> logger, bool silent,
                                 bool monitored)
    : KLVPFunctionValue(u"log"),
      logger_(std::move(logger)),
      silent_(silent),
      monitored_(monitored) {}

KLVPValue KLVPFunctionLog::invokeWithEvaluatedArguments(std::span<const KLVPValue> arguments,
                                                        platform::Error* error) {
    if (!KLVPCheckArgumentCountAtLeast(arguments, 1, error)) return KLVPUndefined();
    std::int64_t level = kDefaultLogLevel;
    std::size_t messageIndex = 0;
    if (arguments.size() > 1) {
        level = KLVPSaturatingInt64(arguments[0]->doubleValueOrError(error));
        if (KLVPFailed(error)) return KLVPUndefined();
        messageIndex = 1;
    }
    const std::u16string message = arguments[messageIndex]->stringValueOrError(error);
    if (KLVPFailed(error)) return KLVPUndefined();
    std::string line = KLVPUTF8FromUTF16(message);
    // A line is made by the run, like any text: a program cannot log without end.
    std::size_t bytes = line.size();
    MonitorContexts context;
    for (std::size_t i = 2; i < arguments.size() && i < 2 + kMaxLogContexts; ++i) {
        const std::u16string text = arguments[i]->stringValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
        std::string item = KLVPUTF8FromUTF16(text);
        bytes += item.size();
        context.emplace_back(std::move(item));
    }
    if (!KLVPChargeMemory(bytes, error)) return KLVPUndefined();
    if (logger_) logger_->logWithLevel(level, line, context, silent_, monitored_);
    return KLVPUndefined();
}

}  // namespace engine
