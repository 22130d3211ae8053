#pragma once

// Evaluation: the registrar that routes an opcode to the evaluator of its family (and any other
// name to the function of that name in scope), the families' common shape, and the helper
// routines every family uses.

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "engine/script/KLVPRuntimeValue.h"

namespace engine {

class KLVPScope;

// The only ways the rest of the runtime evaluates code.
class KLVPEvaluator {
  public:
    // Counts one instruction, then: a statement runs, anything else evaluates to itself.
    static KLVPValue evaluateStatement(const KLVPValue& value, KLVPScope& scope,
                                       platform::Error* error);
    // Runs the values in order; stops at a failure (undefined) or a control value (returned); the
    // last value's result, undefined for none.
    static KLVPValue executeStatements(std::span<const KLVPValue> statements, KLVPScope& scope,
                                       platform::Error* error);
};

// Evaluates each in order; at the first failure stops (that entry is undefined) with the error.
KLVPValues KLVPEvaluateArguments(std::span<const KLVPValue> arguments, KLVPScope& scope,
                                 platform::Error* error);
// The count is equal to, at least or at most `count`; otherwise script error 9.
[[nodiscard]] bool KLVPCheckArgumentCountEquals(std::span<const KLVPValue> arguments,
                                                std::size_t count, platform::Error* error);
[[nodiscard]] bool KLVPCheckArgumentCountAtLeast(std::span<const KLVPValue> arguments,
                                                 std::size_t count, platform::Error* error);
[[nodiscard]] bool KLVPCheckArgumentCountAtMost(std::span<const KLVPValue> arguments,
                                                std::size_t count, platform::Error* error);
// Counts one instruction against the run of the scope's runtime (script error 18 at the limit).
[[nodiscard]] bool KLVPCountInstruction(KLVPScope& scope, platform::Error* error);

class KLVPCommandEvaluator {
  public:
    virtual ~KLVPCommandEvaluator() = default;
    // The base answers undefined.
    virtual KLVPValue evaluateCommand(int opcode, std::span<const KLVPValue> arguments,
                                      KLVPScope& scope, platform::Error* error) const;
    virtual std::vector<int> allSupportedCommands() const { return {}; }
};

// A handler takes the statements or the values, as its family passes them.
using KLVPCommandHandler = KLVPValue (*)(std::span<const KLVPValue> arguments, KLVPScope& scope,
                                         platform::Error* error);
struct KLVPCommandEntry {
    int opcode;
    KLVPCommandHandler handler;
};

// A family of opcodes as a table of handlers.
class KLVPHandlerTableEvaluator : public KLVPCommandEvaluator {
  public:
    enum class Arguments {
        Unevaluated,  // the handler evaluates what it needs, when it needs it
        Evaluated,    // every argument is evaluated first, in order
    };
    KLVPHandlerTableEvaluator(std::span<const KLVPCommandEntry> handlers, Arguments arguments)
        : handlers_(handlers), arguments_(arguments) {}

    // Undefined without an error for an opcode not in the table.
    KLVPValue evaluateCommand(int opcode, std::span<const KLVPValue> arguments, KLVPScope& scope,
                              platform::Error* error) const override;
    std::vector<int> allSupportedCommands() const override;

  private:
    const std::span<const KLVPCommandEntry> handlers_;
    const Arguments arguments_;
};

// Control opcodes: callMethod, break, continue, runStatements, sequence, if, return, switch,
// conditional, statementList, defineFunction, functionLiteral, block.
class KLVPControlCommandEvaluator final : public KLVPHandlerTableEvaluator {
  public:
    KLVPControlCommandEvaluator();
};

// Variable opcodes: assign, arrayLiteral, objectLiteral, readVariable, readProperty, typeof,
// declareVariables, writeProperty, undefinedLiteral, nullLiteral, declareConstants.
class KLVPVariableCommandEvaluator final : public KLVPHandlerTableEvaluator {
  public:
    KLVPVariableCommandEvaluator();
};

// Comparison opcodes: equals, notEquals, strictEquals, strictNotEquals and the four relational
// ones. The count is checked before either argument runs.
class KLVPComparisonCommandEvaluator final : public KLVPHandlerTableEvaluator {
  public:
    KLVPComparisonCommandEvaluator();
    KLVPValue evaluateCommand(int opcode, std::span<const KLVPValue> arguments, KLVPScope& scope,
                              platform::Error* error) const override;
};

// logicalAnd, logicalOr (short-circuit, returning an operand) and logicalNot.
class KLVPLogicalCommandEvaluator final : public KLVPHandlerTableEvaluator {
  public:
    KLVPLogicalCommandEvaluator();
};

// The 32-bit operations.
class KLVPBitwiseCommandEvaluator final : public KLVPHandlerTableEvaluator {
  public:
    KLVPBitwiseCommandEvaluator();
};

// add, subtract, multiply, divide, modulus, negate, keepFirst, passThrough.
class KLVPMathCommandEvaluator final : public KLVPHandlerTableEvaluator {
  public:
    KLVPMathCommandEvaluator();
};

// while, forLet and the six key and item walks.
class KLVPLoopCommandEvaluator final : public KLVPHandlerTableEvaluator {
  public:
    KLVPLoopCommandEvaluator();
};

class KLVPCommandRegistrar {
  public:
    static constexpr int kOpcodeCount = 67;

    // The one registrar, with every family registered, made on first use.
    static const KLVPCommandRegistrar& sharedInstance();

    KLVPCommandRegistrar();
    // Stores the evaluator under each of its opcodes; a later one replaces an earlier one.
    void registerEvaluator(std::unique_ptr<KLVPCommandEvaluator> evaluator);
    KLVPValue evaluateStatement(const KLVPValue& value, KLVPScope& scope,
                                platform::Error* error) const;

  private:
    std::array<const KLVPCommandEvaluator*, kOpcodeCount> evaluators_{};
    std::vector<std::unique_ptr<KLVPCommandEvaluator>> owned_;
};

}  // namespace engine
