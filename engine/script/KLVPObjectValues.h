#pragma once

// Map and function values: the objects whose properties are named by text.

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/script/KLVPPropertyMap.h"
#include "engine/script/KLVPRuntimeValue.h"

namespace engine {

class KLVPScope;

// What maps and functions share: their property map and the method call through it.
class KLVPObjectValue : public KLVPRuntimeValue {
  public:
    bool hasProperty(std::u16string_view name) const { return propertyMap_.hasName(name); }
    // A new name's entry is made by the run under way (KLVPBudget.h).
    void setValue(KLVPValue value, std::u16string_view name);
    // Undefined when absent.
    const KLVPValue& valueForProperty(std::u16string_view name) const {
        return propertyMap_.valueForName(name);
    }
    void removeValueForProperty(std::u16string_view name) { propertyMap_.removeValueForName(name); }
    // In the order the names were first set.
    std::vector<std::u16string> allPropertyNames() const { return propertyMap_.allNames(); }
    const KLVPPropertyMap& propertyMap() const { return propertyMap_; }

    // A property of that name must hold a function, which is called; else "hasOwnProperty"
    // (exactly one argument, its string form); else the base behaviour.
    KLVPValue applyWithName(std::u16string_view name, std::span<const KLVPValue> arguments,
                            KLVPScope& scope, platform::Error* error) override;
    void markChildren(KLVPMarkList& list) const override;
    void sweep() override { propertyMap_.removeAll(); }

  protected:
    using KLVPRuntimeValue::KLVPRuntimeValue;

  private:
    KLVPPropertyMap propertyMap_;
};

class KLVPMapValue : public KLVPObjectValue {
  public:
    KLVPMapValue() : KLVPObjectValue(KLVPValueKind::Map) {}
    // "[object Object]", NaN, true.
    std::u16string stringValueOrError(platform::Error* error) const override;
    double doubleValueOrError(platform::Error* error) const override;
    [[nodiscard]] bool booleanValueOrError(platform::Error* error) const override;
    // The same property names with pairwise equal values.
    bool equals(const KLVPRuntimeValue& other, int depth) const override;
};

// A program's function, or (by subclassing invokeWithArguments) a native one.
class KLVPFunctionValue : public KLVPObjectValue {
  public:
    KLVPFunctionValue(std::u16string functionName, std::vector<std::u16string> parameterNames,
                      KLVPValues statements, std::shared_ptr<KLVPScope> definingScope);
    // A native function or module object: no parameters, no statements, no defining scope.
    explicit KLVPFunctionValue(std::u16string functionName);
    ~KLVPFunctionValue() override;

    const std::u16string& functionName() const { return functionName_; }
    const std::vector<std::u16string>& parameterNames() const { return parameterNames_; }

    // Its name, NaN, true.
    std::u16string stringValueOrError(platform::Error* error) const override;
    double doubleValueOrError(platform::Error* error) const override;
    [[nodiscard]] bool booleanValueOrError(platform::Error* error) const override;
    // Itself, or a function with the same non-empty name.
    bool equals(const KLVPRuntimeValue& other, int depth) const override;

    // Evaluates the arguments in the caller's scope, then calls.
    virtual KLVPValue invokeWithArguments(std::span<const KLVPValue> arguments, KLVPScope& scope,
                                          platform::Error* error);
    // Runs the statements in a new child scope of the defining scope with the parameters bound;
    // a return signal gives its data, any other result is the statements' result.
    virtual KLVPValue invokeWithEvaluatedArguments(std::span<const KLVPValue> arguments,
                                                   platform::Error* error);

    void markChildren(KLVPMarkList& list) const override;
    void sweep() override;

  private:
    const std::u16string functionName_;
    const std::vector<std::u16string> parameterNames_;
    KLVPValues statements_;
    std::shared_ptr<KLVPScope> definingScope_;
};

// A method call through a property: the property must hold a function (else script error 17),
// which is called with the unevaluated arguments. The property is taken by value: the function
// stays alive while it runs, even if it replaces the property that holds it.
KLVPValue KLVPCallMethodProperty(KLVPValue property, std::span<const KLVPValue> arguments,
                                 KLVPScope& scope, platform::Error* error);

}  // namespace engine
