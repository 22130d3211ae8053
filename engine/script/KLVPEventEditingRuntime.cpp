#include "engine/script/KLVPEventEditingRuntime.h"

#include <cmath>
#include <limits>
#include <optional>

#include "engine/base/KLVMonitor.h"
#include "engine/messages/NANOAccessors.h"
#include "engine/script/KLVPEvaluator.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPRuntimeEntityConverter.h"
#include "engine/script/KLVPScriptError.h"
#include "engine/script/KLVPText.h"

namespace engine {

namespace {

bool setEditingError(platform::Error* error, std::int64_t code) {
    if (error) {
        *error = platform::Error{};
        error->domain = kKLVPEditingErrorDomain;
        error->code = code;
    }
    return false;
}

std::string utf8(std::u16string_view text) {
    return KLVPUTF8FromUTF16(text);
}

bool isIntegerKind(const platform::Object& value) {
    return value.isInteger() || value.isBool();
}

bool objectsEqual(const platform::Object& a, const platform::Object& b) {
    if (a.isNumber() && b.isNumber()) {
        const double x = *a.numberAsDouble();
        const double y = *b.numberAsDouble();
        if (isIntegerKind(a) && isIntegerKind(b))
            return *a.numberAsInteger() == *b.numberAsInteger();
        return x == y || (std::isnan(x) && std::isnan(y));
    }
    if (a.isArray() && b.isArray()) {
        const platform::Array& left = a.asArray();
        const platform::Array& right = b.asArray();
        if (left.size() != right.size()) return false;
        for (std::size_t i = 0; i < left.size(); ++i) {
            if (!objectsEqual(left[i], right[i])) return false;
        }
        return true;
    }
    if (a.isDictionary() && b.isDictionary()) {
        const platform::Dictionary& left = a.asDictionary();
        const platform::Dictionary& right = b.asDictionary();
        if (left.size() != right.size()) return false;
        for (auto l = left.begin(), r = right.begin(); l != left.end(); ++l, ++r) {
            if (l->first != r->first || !objectsEqual(l->second, r->second)) return false;
        }
        return true;
    }
    return a == b;
}

// About how many units copying an object visits and makes.
std::size_t objectUnits(const platform::Object& object) {
    std::size_t units = 1;
    if (object.isString()) {
        units += object.asString().size();
    } else if (object.isArray()) {
        for (const platform::Object& element : object.asArray())
            units += objectUnits(element);
    } else if (object.isDictionary()) {
        for (const auto& [key, value] : object.asDictionary())
            units += key.size() + objectUnits(value);
    }
    return units;
}

std::size_t eventUnits(const KLVPEvent& event) {
    std::size_t units = 1 + event.name.size();
    for (const auto& [key, value] : event.parameters)
        units += key.size() + objectUnits(value);
    return units;
}

std::int64_t signed32(double value) {
    return static_cast<std::int32_t>(KLVPToInt32(value));
}

// The argument every callback receives: the event functions over the context's output event;
// any other name behaves as on a map.
class KLVPEventNativeFunctions final : public KLVPMapValue {
  public:
    explicit KLVPEventNativeFunctions(std::shared_ptr<KLVPEditingEventContext> context)
        : context_(std::move(context)) {}

    KLVPValue applyWithName(std::u16string_view name, std::span<const KLVPValue> arguments,
                            KLVPScope& scope, platform::Error* error) override {
        using Handler = KLVPValue (KLVPEventNativeFunctions::*)(std::span<const KLVPValue>,
                                                                KLVPScope&, platform::Error*);
        static constexpr struct {
            std::u16string_view name;
            Handler handler;
        } kFunctions[] = {
            {u"getEventName", &KLVPEventNativeFunctions::getEventName},
            {u"getParamValue", &KLVPEventNativeFunctions::getParamValue},
            {u"getParams", &KLVPEventNativeFunctions::getParams},
            {u"getTimestamp", &KLVPEventNativeFunctions::getTimestamp},
            {u"setEventName", &KLVPEventNativeFunctions::setEventName},
            {u"setParamValue", &KLVPEventNativeFunctions::setParamValue},
        };
        for (const auto& function : kFunctions) {
            if (function.name != name) continue;
            const KLVPValues values = KLVPEvaluateArguments(arguments, scope, error);
            if (KLVPFailed(error)) return KLVPUndefined();
            const KLVPValue result = (this->*function.handler)(values, scope, error);
            return KLVPFailed(error) ? KLVPUndefined() : result;
        }
        return KLVPMapValue::applyWithName(name, arguments, scope, error);
    }

  private:
    const KLVPEvent& event() const { return context_->outputEvent(); }

    KLVPValue getEventName(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
        if (!KLVPCheckArgumentCountEquals(v, 0, error)) return KLVPUndefined();
        return KLVPStringValue::make(KLVPUTF16FromUTF8(event().name));
    }

    KLVPValue getParamValue(std::span<const KLVPValue> v, KLVPScope& scope,
                            platform::Error* error) {
        if (!KLVPCheckArgumentCountEquals(v, 1, error)) return KLVPUndefined();
        const KLVPTextForm name(v[0], error);
        if (KLVPFailed(error) || !KLVPChargeWork(name.view().size(), error)) return KLVPUndefined();
        const auto it = event().parameters.find(utf8(name.view()));
        if (it == event().parameters.end()) return KLVPNull();
        return KLVPRuntimeEntityConverter::runtimeValueFromNSObject(it->second, scope, error);
    }

    KLVPValue getParams(std::span<const KLVPValue> v, KLVPScope& scope, platform::Error* error) {
        if (!KLVPCheckArgumentCountEquals(v, 0, error)) return KLVPUndefined();
        const auto map = KLVPObjectManager::mapValueWithScope(scope);
        for (const auto& [name, object] : event().parameters) {
            KLVPValue value =
                KLVPRuntimeEntityConverter::runtimeValueFromNSObject(object, scope, error);
            if (KLVPFailed(error)) return KLVPUndefined();
            map->setValue(std::move(value), KLVPUTF16FromUTF8(name));
        }
        return map;
    }

    KLVPValue getTimestamp(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
        if (!KLVPCheckArgumentCountEquals(v, 0, error)) return KLVPUndefined();
        return KLVPNumberValue::make(event().timestamp);
    }

    KLVPValue setEventName(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
        if (!KLVPCheckArgumentCountEquals(v, 1, error)) return KLVPUndefined();
        if (v[0]->kind() == KLVPValueKind::Undefined || v[0]->kind() == KLVPValueKind::Null)
            return KLVPFail(error, kKLVPErrorArgumentKind);
        std::u16string name = v[0]->stringValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
        std::string bytes = utf8(name);
        if (!KLVPChargeMemory(bytes.size(), error)) return KLVPUndefined();
        KLVPEvent* edited = context_->editableOutputEvent(error);
        if (!edited) return KLVPUndefined();
        edited->name = std::move(bytes);
        return KLVPStringValue::make(std::move(name), error);
    }

    KLVPValue setParamValue(std::span<const KLVPValue> v, KLVPScope&, platform::Error* error) {
        if (!KLVPCheckArgumentCountEquals(v, 2, error)) return KLVPUndefined();
        const KLVPTextForm name(v[0], error);
        if (KLVPFailed(error)) return KLVPUndefined();
        platform::Object object = KLVPRuntimeEntityConverter::objectFromRuntimeValue(v[1], error);
        if (KLVPFailed(error)) return KLVPUndefined();
        std::string key = utf8(name.view());
        if (!KLVPChargeMemory(kKLVPPlatformObjectBytes + key.size(), error)) return KLVPUndefined();
        KLVPEvent* edited = context_->editableOutputEvent(error);
        if (!edited) return KLVPUndefined();
        KLVPEventSetParameter(*edited, std::move(object), key);
        return v[1];
    }

    const std::shared_ptr<KLVPEditingEventContext> context_;
};

// "internal.registerCallback"(unused, callback, rule map).
class KLVPRegisterCallbackFunction final : public KLVPFunctionValue {
  public:
    explicit KLVPRegisterCallbackFunction(std::weak_ptr<KLVPEditingCallbackHandler> handler)
        : KLVPFunctionValue(u"internal.registerCallback"), handler_(std::move(handler)) {}

    KLVPValue invokeWithEvaluatedArguments(std::span<const KLVPValue> v,
                                           platform::Error* error) override {
        if (!KLVPCheckArgumentCountEquals(v, 3, error)) return KLVPUndefined();
        if (v[1]->kind() != KLVPValueKind::Function || v[2]->kind() != KLVPValueKind::Map)
            return KLVPFail(error, kKLVPErrorArgumentKind);
        const auto& rule = static_cast<const KLVPMapValue&>(*v[2]);
        if (!rule.hasProperty(u"type")) {
            setEditingError(error, kKLVPEditingErrorNoRuleType);
            return KLVPUndefined();
        }
        const std::u16string type = rule.valueForProperty(u"type")->stringValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
        std::int64_t priority = kKLVPDefaultCallbackPriority;
        if (rule.hasProperty(u"priority")) {
            const double number = rule.valueForProperty(u"priority")->doubleValueOrError(error);
            if (KLVPFailed(error)) return KLVPUndefined();
            priority = signed32(number);
        }
        const auto handler = handler_.lock();
        if (handler && !handler->registerWithPriority(priority, v[1], utf8(type), error))
            return KLVPUndefined();
        return KLVPUndefined();
    }

  private:
    const std::weak_ptr<KLVPEditingCallbackHandler> handler_;
};

// "internal.eventLogger"(name, timestamp, parameter map).
class KLVPEventLogger final : public KLVPFunctionValue {
  public:
    explicit KLVPEventLogger(std::weak_ptr<KLVPEditingEventContext> context)
        : KLVPFunctionValue(u"internal.eventLogger"), context_(std::move(context)) {}

    KLVPValue invokeWithEvaluatedArguments(std::span<const KLVPValue> v,
                                           platform::Error* error) override {
        if (!KLVPCheckArgumentCountEquals(v, 3, error)) return KLVPUndefined();
        const std::u16string name = v[0]->stringValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
        const double number = v[1]->doubleValueOrError(error);
        if (KLVPFailed(error)) return KLVPUndefined();
        const auto timestamp = static_cast<double>(KLVPSaturatingInt64(KLVPToInteger(number)));
        if (v[2]->kind() != KLVPValueKind::Map) return KLVPFail(error, kKLVPErrorArgumentKind);
        // The parameters' objects are charged as they are made, the event's name here.
        platform::Dictionary parameters = KLVPRuntimeEntityConverter::dictionaryFromMapValue(
            static_cast<const KLVPMapValue&>(*v[2]), error);
        if (KLVPFailed(error)) return KLVPUndefined();
        std::string eventName = utf8(name);
        if (!KLVPChargeMemory(kKLVPPlatformObjectBytes + eventName.size(), error))
            return KLVPUndefined();
        if (const auto context = context_.lock())
            context->logEventWithName(std::move(eventName), timestamp, std::move(parameters));
        return KLVPUndefined();
    }

  private:
    const std::weak_ptr<KLVPEditingEventContext> context_;
};

// 2 on a failure, a number's 32-bit value, -1 for anything else.
std::int64_t invokeCallback(const KLVPValue& callback, const KLVPValue& functions,
                            platform::Error* error) {
    const KLVPValue arguments[] = {functions};
    const KLVPValue result =
        static_cast<KLVPFunctionValue&>(*callback).invokeWithEvaluatedArguments(arguments, error);
    if (KLVPFailed(error)) return 2;
    if (result->kind() != KLVPValueKind::Number) return -1;
    return signed32(static_cast<const KLVPNumberValue&>(*result).value());
}

KLVPValues callbacksOf(const std::map<std::int64_t, KLVPValue>& map) {
    KLVPValues callbacks;
    for (const auto& [priority, callback] : map)
        callbacks.push_back(callback);
    return callbacks;
}

}  // namespace

// Event operations.

std::optional<platform::Object> KLVPEventParameterForName(const KLVPEvent& event,
                                                          const std::string& name) {
    const auto it = event.parameters.find(name);
    if (it == event.parameters.end()) return std::nullopt;
    return it->second;
}

bool KLVPEventHasParameterName(const KLVPEvent& event, const std::string& name) {
    return event.parameters.contains(name);
}

void KLVPEventSetParameter(KLVPEvent& event, std::optional<platform::Object> value,
                           const std::string& name) {
    const auto it = event.parameters.find(name);
    if (!value || value->isNull()) {
        if (it != event.parameters.end()) event.parameters.erase(it);
        return;
    }
    const platform::Object* existing = it == event.parameters.end() ? nullptr : &it->second;
    event.parameters.insert_or_assign(name,
                                      KLVPCoerceParameterValue(name, existing, std::move(*value)));
}

platform::Object KLVPCoerceParameterValue(const std::string& name, const platform::Object* existing,
                                          platform::Object value) {
    if (!value.isNumber()) return value;
    const double number = *value.numberAsDouble();
    if (name == "_syn" || name == "_err" || name == "_el")
        return platform::Object(KLVPSaturatingInt64(number));
    if (existing && existing->isNumber()) {
        if (existing->isDouble()) return value;
        if (name.starts_with("_")) return *existing;
        return platform::Object(KLVPSaturatingInt64(number));
    }
    if (existing && existing->isString()) return platform::Object(KLVPNumberText(number));
    return value;
}

bool KLVPEventIsEqualToEvent(const KLVPEvent& a, const KLVPEvent& b) {
    if (&a == &b) return true;
    if (std::fabs(a.timestamp - b.timestamp) > std::numeric_limits<double>::epsilon()) return false;
    if (a.name != b.name || a.parameters.size() != b.parameters.size()) return false;
    for (const auto& [name, value] : a.parameters) {
        const auto other = b.parameters.find(name);
        if (other == b.parameters.end() || !objectsEqual(value, other->second)) return false;
        if (value.isNumber() && isIntegerKind(value) != isIntegerKind(other->second)) return false;
    }
    return true;
}

// The context.

void KLVPEditingEventContext::setInputEvent(const KLVPEvent& event) {
    input_ = event;
    output_ = event;
    logged_.clear();
}

void KLVPEditingEventContext::beginUndoableEdits() {
    undoable_ = true;
    undo_.reset();
}

void KLVPEditingEventContext::undoEdits() {
    if (undo_) output_ = std::move(*undo_);
    undo_.reset();
}

void KLVPEditingEventContext::endUndoableEdits() {
    undoable_ = false;
    undo_.reset();
}

KLVPEvent* KLVPEditingEventContext::editableOutputEvent(platform::Error* error) {
    if (undoable_ && !undo_) {
        // The copy is bulk work: an event can hold what a program put in it.
        if (!KLVPChargeWork(eventUnits(output_), error)) return nullptr;
        undo_ = output_;
    }
    return &output_;
}

void KLVPEditingEventContext::logEventWithName(std::string name, double timestamp,
                                               platform::Dictionary parameters) {
    KLVPEvent event{std::move(name), timestamp, {}};
    for (auto& [key, value] : parameters) {
        const auto existing = input_.parameters.find(key);
        event.parameters.insert_or_assign(
            key, KLVPCoerceParameterValue(
                     key, existing == input_.parameters.end() ? nullptr : &existing->second,
                     std::move(value)));
    }
    logged_.push_back(std::move(event));
}

// The callbacks.

bool KLVPEditingCallbackHandler::registerWithPriority(std::int64_t priority, KLVPValue callback,
                                                      const std::string& type,
                                                      platform::Error* error) {
    if (edit_.size() + create_.size() >= kKLVPMaxEditingCallbacks)
        return setEditingError(error, kKLVPEditingErrorTooManyCallbacks);
    std::map<std::int64_t, KLVPValue>* map = type == "edit"     ? &edit_
                                             : type == "create" ? &create_
                                                                : nullptr;
    if (!map) return setEditingError(error, kKLVPEditingErrorUnknownRuleType);
    // Priorities come from 32-bit values, so the highest plus one always fits.
    if (map->contains(priority)) priority = map->rbegin()->first + 1;
    map->emplace(priority, std::move(callback));
    return true;
}

bool KLVPEditingCallbackHandler::triggerCallbacks(
    KLVPScope& scope, const std::shared_ptr<KLVPEditingEventContext>& context,
    platform::Error* error) {
    // One set of event functions for the pass; a program that keeps it reaches the current
    // event of later passes. It is an ordinary object of the runtime, collected when nothing
    // reaches it, whatever the program stored in it.
    const auto functions = std::make_shared<KLVPEventNativeFunctions>(context);
    if (KLVPRuntimeContext* runtime = scope.context()) runtime->objectManager.addObject(functions);
    for (const KLVPValue& callback : callbacksOf(edit_)) {
        context->beginUndoableEdits();
        const std::int64_t code = invokeCallback(callback, functions, error);
        if (KLVPFailed(error) || code == 2 || code == -1) context->undoEdits();
        context->endUndoableEdits();
        if (KLVPFailed(error)) return false;
    }
    for (const KLVPValue& callback : callbacksOf(create_)) {
        invokeCallback(callback, functions, error);
        if (KLVPFailed(error)) return false;
    }
    return true;
}

void KLVPEditingCallbackHandler::mark(KLVPMarkList& list) const {
    for (const auto& [priority, callback] : edit_)
        list.markValue(callback);
    for (const auto& [priority, callback] : create_)
        list.markValue(callback);
}

// The editing runtime.

KLVPEventEditingRuntime::KLVPEventEditingRuntime()
    : context_(std::make_shared<KLVPEditingEventContext>()) {
    startRuntime();
}

KLVPEventEditingRuntime::~KLVPEventEditingRuntime() = default;

void KLVPEventEditingRuntime::startRuntime() {
    callbacks_ = std::make_shared<KLVPEditingCallbackHandler>();
    runtime_ = std::make_shared<KLVPRuntime>();
    runtime_->addGarbageCollectionRoot(callbacks_);
    std::weak_ptr<KLVPEditingCallbackHandler> handler = callbacks_;
    runtime_->setModuleCreator(KLVPRuntimeModuleCreator([handler] {
                                   return std::make_shared<KLVPRegisterCallbackFunction>(handler);
                               }),
                               "internal.registerCallback");
    std::weak_ptr<KLVPEditingEventContext> context = context_;
    runtime_->setModuleCreator(
        KLVPRuntimeModuleCreator([context] { return std::make_shared<KLVPEventLogger>(context); }),
        "internal.eventLogger");
    for (const auto& [name, creator] : moduleCreators_)
        runtime_->setModuleCreator(creator, name);
}

void KLVPEventEditingRuntime::setModuleCreator(KLVPModuleCreator creator, const std::string& name) {
    moduleCreators_.insert_or_assign(name, creator);
    runtime_->setModuleCreator(std::move(creator), name);
}

bool KLVPEventEditingRuntime::loadProgram(const KLVPBProgram& program, platform::Error* error) {
    if (!runProgram(program, error)) return false;
    programs_.push_back(program);
    return true;
}

bool KLVPEventEditingRuntime::runProgram(const KLVPBProgram& program, platform::Error* error) {
    platform::Error failure;
    // The whole load is one run: its budgets are counted from here.
    runtime_->resetInstructionCount();
    const auto instructions = NANOGetArray<KLVPBRuntimeEntity>(program, KLVPBProgram::instructions)
                                  .value_or(std::vector<KLVPBRuntimeEntity>{});
    const KLVPValue result = runtime_->executeStatements(instructions, &failure);
    bool loaded = !KLVPFailed(&failure);
    if (loaded && result->kind() == KLVPValueKind::Control)
        loaded = setEditingError(&failure, kKLVPEditingErrorControlAtTopLevel);
    if (loaded) {
        const auto activities =
            NANOGetMessage<KLVPBOgtActivities>(program, KLVPBProgram::ogt_activities);
        const auto list =
            activities ? NANOGetArray<KLVPBOgtActivity>(*activities, KLVPBOgtActivities::activities)
                             .value_or(std::vector<KLVPBOgtActivity>{})
                       : std::vector<KLVPBOgtActivity>{};
        for (const KLVPBOgtActivity& activity : list) {
            if (!(loaded = loadActivity(activity, &failure))) break;
        }
    }
    runtime_->collectGarbage();
    if (!loaded && error) *error = failure;
    return loaded;
}

bool KLVPEventEditingRuntime::loadActivity(const KLVPBOgtActivity& activity,
                                           platform::Error* error) {
    const std::string name = NANOGetString(activity, KLVPBOgtActivity::name).value_or("");
    const auto rules = NANOGetArray<KLVPBRuntimeEntity>(activity, KLVPBOgtActivity::data)
                           .value_or(std::vector<KLVPBRuntimeEntity>{});
    for (const KLVPBRuntimeEntity& rule : rules) {
        const KLVPValue value = runtime_->executeStatements(std::span(&rule, 1), error);
        if (KLVPFailed(error)) return false;
        if (value->kind() != KLVPValueKind::Map)
            return setEditingError(error, kKLVPEditingErrorRuleNotAMap);
        if (!registerRule(name, value, error)) return false;
    }
    return true;
}

bool KLVPEventEditingRuntime::registerRule(const std::string& name, const KLVPValue& rule,
                                           platform::Error* error) {
    const std::shared_ptr<KLVPScope> scope = runtime_->getRunScope();
    const KLVPValue function = scope->valueForName(KLVPUTF16FromUTF8(name));
    if (function->kind() != KLVPValueKind::Function)
        return setEditingError(error, kKLVPEditingErrorRuleNotAFunction);
    const KLVPValue arguments[] = {rule};
    const KLVPActiveRun active(scope->context());
    static_cast<KLVPFunctionValue&>(*function).invokeWithEvaluatedArguments(arguments, error);
    return !KLVPFailed(error);
}

bool KLVPEventEditingRuntime::handleEvent(const KLVPEvent& event, platform::Error* error) {
    context_->setInputEvent(event);
    runtime_->resetInstructionCount();
    const std::shared_ptr<KLVPScope> scope = runtime_->getRunScope();
    platform::Error failure;
    bool ran = false;
    {
        const KLVPActiveRun active(scope->context());
        ran = callbacks_->triggerCallbacks(*scope, context_, &failure);
    }
    runtime_->collectGarbage();
    if (runtime_->keptMemory() > kKLVPKeptMemoryLimit) reloadPrograms();
    if (!ran) {
        if (error) *error = failure;
        return false;
    }
    // Without an error, false says only that there is nothing to store but the event itself.
    return hasEdits() || hasCreatedEvents();
}

void KLVPEventEditingRuntime::reloadPrograms() {
    monitor().logWithLevel(
        kKLVLogErrorMonitored, kKLVPProgramReloadedLogCode,
        "Event editing program kept too much memory between events and is loaded afresh. Bytes "
        "kept, limit",
        runtime_->keptMemory(), kKLVPKeptMemoryLimit);
    ++reloadCount_;
    // The pass's outcome is read after handleEvent; the program's load must not add to it.
    KLVPEditingEventContext pass = std::move(*context_);
    *context_ = KLVPEditingEventContext();
    startRuntime();
    platform::Error error;
    for (const KLVPBProgram& program : programs_) {
        if (runProgram(program, &error)) continue;
        monitor().logWithLevel(
            kKLVLogErrorMonitored, kKLVPProgramReloadFailedLogCode,
            "Event editing program failed to load afresh; events pass unedited. Error", error);
        programs_.clear();
        startRuntime();
        break;
    }
    *context_ = std::move(pass);
}

bool KLVPEventEditingRuntime::hasEdits() const {
    return !KLVPEventIsEqualToEvent(context_->outputEvent(), context_->inputEvent());
}

bool KLVPEventEditingRuntime::hasCreatedEvents() const {
    return !context_->eventsToLog().empty();
}

void installEventEditingRuntime() {
    KLVPEventEditing::setFactory([] { return std::make_shared<KLVPEventEditingRuntime>(); });
}

}  // namespace engine
