#pragma once

// The modules a program reaches through `require`: the provider of module creators, `require`
// itself with its cache, and the host modules (platform version, configuration values, app
// metadata, logging). Native functions and module objects are function values without
// statements; a module object keeps its functions as properties.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "engine/script/KLVPObjectValues.h"
#include "engine/settings/KLVPEventEditing.h"
#include "engine/settings/KLVPixieLogger.h"

namespace engine {

struct KLVPRuntimeContext;

// Makes a module when a program first asks for it; a null result is script error 15.
using KLVPRuntimeModuleCreator = std::function<KLVPValue()>;

// The runtime's modules of the settings' descriptions.
KLVPRuntimeModuleCreator KLVPRuntimeModuleCreatorFromModuleCreator(KLVPModuleCreator creator);

class KLVPDynamicProvider {
  public:
    // A later creator for the same name replaces the earlier one.
    void setModuleCreator(KLVPRuntimeModuleCreator creator, std::u16string name);
    // Undefined without an error for a name nothing registered; script error 15 when the
    // creator makes nothing; otherwise the creator's new value.
    KLVPValue moduleForName(std::u16string_view name, platform::Error* error) const;

  private:
    std::map<std::u16string, KLVPRuntimeModuleCreator, std::less<>> creators_;
};

// "require": one argument, the module name; each name is made once and kept for the life of the
// runtime (an unknown name keeps its undefined). A module made is tracked by the runtime's
// collector with its functions, like the objects the program makes.
class KLVPRequire final : public KLVPFunctionValue {
  public:
    KLVPRequire(std::shared_ptr<const KLVPDynamicProvider> provider,
                std::weak_ptr<KLVPRuntimeContext> context);
    KLVPValue invokeWithEvaluatedArguments(std::span<const KLVPValue> arguments,
                                           platform::Error* error) override;
    // The cached modules live as long as `require`.
    void markChildren(KLVPMarkList& list) const override;
    void sweep() override;

  private:
    const std::shared_ptr<const KLVPDynamicProvider> provider_;
    const std::weak_ptr<KLVPRuntimeContext> context_;
    std::map<std::u16string, KLVPValue, std::less<>> modules_;
};

// "internal.platform" with "getVersion".
class KLVPRuntimePlatform final : public KLVPFunctionValue {
  public:
    KLVPRuntimePlatform();
};

// The runtime version as a number.
class KLVPFunctionGetVersion final : public KLVPFunctionValue {
  public:
    KLVPFunctionGetVersion() : KLVPFunctionValue(u"getVersion") {}
    KLVPValue invokeWithEvaluatedArguments(std::span<const KLVPValue> arguments,
                                           platform::Error* error) override;
};

// A configuration-value module ("internal.remoteConfig") with "getValue".
class KLVPKeyValueStoreModule final : public KLVPFunctionValue {
  public:
    explicit KLVPKeyValueStoreModule(const KLVPKeyValueStore& store);
};

// getValue(key, default): the value's text, or the default as it is when there is none.
class KLVPKeyValueStoreGetValue final : public KLVPFunctionValue {
  public:
    explicit KLVPKeyValueStoreGetValue(
        std::function<std::optional<std::string>(const std::string&)> getValueBlock);
    KLVPValue invokeWithEvaluatedArguments(std::span<const KLVPValue> arguments,
                                           platform::Error* error) override;

  private:
    const std::function<std::optional<std::string>(const std::string&)> getValueBlock_;
};

// A module that is called itself ("internal.appMetadata"): the block's dictionary as a new map;
// the arguments are not evaluated.
class KLVPObjectProviderModule final : public KLVPFunctionValue {
  public:
    explicit KLVPObjectProviderModule(const KLVPObjectProvider& provider);
    KLVPValue invokeWithArguments(std::span<const KLVPValue> arguments, KLVPScope& scope,
                                  platform::Error* error) override;

  private:
    const std::function<platform::Dictionary()> block_;
};

// "internal.logger" with "log" (monitored), "silent" and "unmonitored", each holding its "log".
class KLVPMessageLoggerModule final : public KLVPFunctionValue {
  public:
    explicit KLVPMessageLoggerModule(std::shared_ptr<const KLVPLoggerDelegate> logger);
};

class KLVPFunctionLogSilent final : public KLVPFunctionValue {
  public:
    explicit KLVPFunctionLogSilent(std::shared_ptr<const KLVPLoggerDelegate> logger);
};

class KLVPFunctionLogUnmonitored final : public KLVPFunctionValue {
  public:
    explicit KLVPFunctionLogUnmonitored(std::shared_ptr<const KLVPLoggerDelegate> logger);
};

// log(message) at level 4, or log(level, message, up to three context texts).
class KLVPFunctionLog final : public KLVPFunctionValue {
  public:
    KLVPFunctionLog(std::shared_ptr<const KLVPLoggerDelegate> logger, bool silent, bool monitored);
    KLVPValue invokeWithEvaluatedArguments(std::span<const KLVPValue> arguments,
                                           platform::Error* error) override;

  private:
    const std::shared_ptr<const KLVPLoggerDelegate> logger_;
    const bool silent_;
    const bool monitored_;
};

}  // namespace engine
