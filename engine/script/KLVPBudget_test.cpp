// The budgets of a run: whatever a program holds, it ends in bounded time and memory with script
// error 18 or 19, never a crash, and the event it was editing stays as it came.

#include "engine/script/KLVPBudget.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "engine/script/KLVPArrayValue.h"
#include "engine/script/KLVPEventEditingRuntime.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/KLVPRuntimeEntityConverter.h"
#include "engine/script/ScriptTestSupport.h"
#include "platform/dispatch/SerialQueue.h"

namespace engine {
namespace {

using testing::liveHeapBytes;
using testing::makeProgram;
using testing::runScript;

// The process's peak resident size from now on, where the kernel lets a process reset it (and
// where freed memory is not held back, as it is under AddressSanitizer).
class PeakResidentSize {
  public:
    PeakResidentSize() {
#ifndef __SANITIZE_ADDRESS__
        std::ofstream("/proc/self/clear_refs") << "5";
        start_ = read();
#endif
    }
    // The growth of the peak since construction, when measurable.
    std::optional<std::size_t> growth() const {
        const auto now = read();
        if (!start_ || !now) return std::nullopt;
        return *now > *start_ ? *now - *start_ : 0;
    }

  private:
    static std::optional<std::size_t> read() {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
        }
        return std::nullopt;
    }
    std::optional<std::size_t> start_;
};

// s: a text of 2^`doublings` units ("x" doubled), built as a program would.
std::string longText(int doublings, const char* name = "s") {
    const std::string n = std::string("\"") + name + "\"";
    return "(let " + n + " \"i\") (assign " + n +
           " \"x\") (assign \"i\" 0) (while (lt (var \"i\") " + std::to_string(doublings) +
           ") (assign \"i\" (add (var \"i\") 1)) false (stmts (assign " + n + " (add (var " + n +
           ") (var " + n + ")))))";
}

// Runs `setup`, then repeats `step` until the run fails: its error and how many steps finished.
struct LoopOutcome {
    platform::Error error;
    double steps = 0;
};

LoopOutcome loopUntilLimit(const std::string& setup, const std::string& step) {
    KLVPRuntime runtime;
    LoopOutcome outcome;
    outcome.error = runScript(runtime, setup + R"( (let "n") (assign "n" 0)
        (while true (undefined) false (stmts )" +
                                           step + R"( (assign "n" (add (var "n") 1)))))")
                        .error;
    runtime.resetInstructionCount();
    outcome.steps = std::stod(runScript(runtime, R"((var "n"))").value.text);
    return outcome;
}

TEST(KLVPBudgetTest, StructuresThatHoldThemselvesOrNestTooDeepEndWithTheRuntimeLimit) {
    const std::string selfHolding =
        R"((let "a" "L") (assign "a" (array 1)) (set (var "a") 1 (var "a"))
           (assign "L" (require "internal.logger")))";
    const std::string deep =
        R"((let "d" "i") (assign "d" (array)) (assign "i" 0)
           (while (lt (var "i") 131000) (assign "i" (add (var "i") 1)) false
             (stmts (assign "d" (array (var "d"))))))";
    // a = [a', a'] sixty times over: no cycle, but 2^60 paths.
    const std::string doubled =
        R"((let "a" "i") (assign "a" (array)) (assign "i" 0)
           (while (lt (var "i") 60) (assign "i" (add (var "i") 1)) false
             (stmts (assign "a" (array (var "a") (var "a"))))))";
    const struct {
        const std::string& setup;
        const char* use;
        std::int64_t code = kKLVPErrorRuntimeLimit;
    } cases[] = {
        {selfHolding, R"((add (var "a") ""))"},
        {selfHolding, R"((set (object) (var "a") 1))"},
        {selfHolding, R"((require (var "a")))"},
        {selfHolding, R"((call (var "L") "log" (array (var "a"))))"},
        {selfHolding, R"((eq (var "a") "x"))"},
        {selfHolding, R"((sub (var "a") 1))"},
        {selfHolding, R"((call (var "a") "join" (array "-")))"},
        {selfHolding, R"((call (var "a") "sort" (array)))"},
        {selfHolding, R"((call "abc" "indexOf" (array (var "a"))))"},
        {deep, R"((add (var "d") ""))"},
        // Each path is work: the walk runs out of instructions.
        {doubled, R"((add (var "a") ""))", kKLVPErrorInstructionLimit},
    };
    auto logger = std::make_shared<testing::RecordingLogger>();
    // On a queue's worker thread, whose stack is what a run has in the engine.
    platform::SerialQueue queue("KLVPBudgetTest");
    queue.sync([&] {
        for (const auto& c : cases) {
            KLVPRuntime runtime;
            runtime.setModuleCreator(KLVPModuleCreator([&] { return KLVPMessageLogger{logger}; }),
                                     "internal.logger");
            const auto run = runScript(runtime, c.setup + c.use);
            EXPECT_EQ(run.error.domain, kKLVPScriptErrorDomain) << c.use;
            EXPECT_EQ(run.error.code, c.code) << c.use;
        }
    });
    EXPECT_TRUE(logger->lines.empty());
}

TEST(KLVPBudgetTest, ConversionsPassThroughAtMostOneHundredArrays) {
    for (const int depth : {100, 101}) {
        const std::string program =
            R"((let "d" "i") (assign "d" (array 7)) (assign "i" 1)
               (while (lt (var "i") )" +
            std::to_string(depth) + R"() (assign "i" (add (var "i") 1)) false
                 (stmts (assign "d" (array (var "d")))))
               (add (var "d") ""))";
        const auto run = runScript(program);
        if (depth == 100) {
            EXPECT_EQ(run.error.domain, "");
            EXPECT_EQ(run.value.text, "7");
        } else {
            EXPECT_EQ(run.error.code, kKLVPErrorRuntimeLimit);
        }
    }
}

TEST(KLVPBudgetTest, ObjectsForParametersRefuseCyclesAndDepthButShareFreely) {
    KLVPRuntime runtime;
    const KLVPScope& scope = *runtime.globalScope();
    platform::Error error;
    const auto array = [&](KLVPValues values) {
        return KLVPValue(KLVPObjectManager::arrayValueWithArray(std::move(values), scope, &error));
    };
    const auto object = [](const KLVPValue& value) {
        platform::Error failure;
        platform::Object result =
            KLVPRuntimeEntityConverter::objectFromRuntimeValue(value, &failure);
        return failure.domain.empty() ? std::optional(result) : std::nullopt;
    };

    KLVPValue nested = array({KLVPNumberValue::make(1)});
    for (int i = 1; i < 100; ++i)
        nested = array({nested});
    EXPECT_TRUE(object(nested));
    EXPECT_FALSE(object(array({nested})));

    const KLVPValue shared = array({KLVPNumberValue::make(2)});
    const platform::Object two(platform::Array{2.0});
    EXPECT_EQ(object(array({shared, shared})), platform::Object(platform::Array{two, two}));

    const auto map = KLVPObjectManager::mapValueWithScope(scope);
    const KLVPValue throughArray = array({map});
    map->setValue(throughArray, u"list");
    EXPECT_FALSE(object(map));
    EXPECT_FALSE(object(throughArray));
    const auto self = KLVPObjectManager::mapValueWithScope(scope);
    self->setValue(self, u"self");
    EXPECT_FALSE(object(self));
    for (const auto& value : {KLVPValue(map), KLVPValue(self)})
        value->sweep();
}

TEST(KLVPBudgetTest, LongTextWorkEndsWithTheInstructionLimitAfterFewSteps) {
    const std::string text20 = longText(20) + R"( (let "t") (assign "t" (var "s")))";
    const std::string text19 = longText(19);
    // "a" 2^19 times, and a search text that almost matches everywhere.
    const std::string searched = longText(19, "a") + R"( (let "p" "j") (assign "p" "a")
        (assign "j" 0) (while (lt (var "j") 17) (assign "j" (add (var "j") 1)) false
          (stmts (assign "p" (add (var "p") (var "p")))))
        (assign "p" (add (var "p") "b")))";
    const std::string many = text19 + R"( (let "m") (assign "m" (array)) (assign "i" 0)
        (while (lt (var "i") 1024) (assign "i" (add (var "i") 1)) false
          (stmts (call (var "m") "push" (array (var "s"))))))";
    const struct {
        const std::string& setup;
        const char* step;
    } cases[] = {
        {text20, R"((eq (var "s") (var "t")))"},
        {text20, R"((seq= (var "s") (var "t")))"},
        {text20, R"((lt (var "s") (var "t")))"},
        {text19, R"((sub (var "s") 1))"},
        {text19, R"((var (var "s")))"},
        {text19, R"((get (object) (var "s")))"},
        {text19, R"((call (var "s") "charAt" (array 5)))"},
        {searched, R"((call (var "a") "indexOf" (array (var "p"))))"},
        {searched, R"((call (var "a") "lastIndexOf" (array (var "p"))))"},
        {many, R"((call (var "m") "sort" (array)))"},
    };
    for (const auto& c : cases) {
        const LoopOutcome outcome = loopUntilLimit(c.setup, c.step);
        EXPECT_EQ(outcome.error.code, kKLVPErrorInstructionLimit) << c.step;
        // One step charges tens of thousands of instructions.
        EXPECT_LT(outcome.steps, 100) << c.step;
    }
}

TEST(KLVPBudgetTest, TextWorkCostsOneInstructionPerSixteenUnits) {
    KLVPRuntime runtime;
    ASSERT_EQ(runScript(runtime, longText(16)).error.domain, "");
    const struct {
        const char* step;
        std::int64_t atLeast;
    } cases[] = {
        {R"((eq (var "s") (add (var "s") "")))", 2 * 4096},  // the copy, then the comparison
        {R"((sub (var "s") 1))", 4096},
        {R"((set (object) (var "s") 1))", 4096},
    };
    for (const auto& c : cases) {
        runtime.resetInstructionCount();
        const auto run = runScript(runtime, c.step);
        ASSERT_EQ(run.error.domain, "") << c.step;
        EXPECT_GE(run.instructions, c.atLeast) << c.step;
        EXPECT_LT(run.instructions, 3 * c.atLeast) << c.step;
    }
}

TEST(KLVPBudgetTest, SortWithAComparatorStopsSoonOnLongTexts) {
    const LoopOutcome outcome =
        loopUntilLimit(longText(19) + R"( (let "m" "calls") (assign "calls" 0) (assign "m" (array))
            (assign "i" 0) (while (lt (var "i") 1024) (assign "i" (add (var "i") 1)) false
              (stmts (call (var "m") "push" (array (var "s"))))))",
                       R"((call (var "m") "sort" (array (fn "" (array "x" "y")
             (assign "calls" (add (var "calls") 1))
             (return (cond (lt (var "x") (var "y")) -1 1))))))");
    EXPECT_EQ(outcome.error.code, kKLVPErrorInstructionLimit);
    EXPECT_EQ(outcome.steps, 0);
}

// A run that ends at a limit, mostly by copying long texts into what it makes.
const struct LimitCase {
    const char* step;
    std::int64_t code;
    const char* description;
} kLimits[] = {
    // Into event parameters.
    {R"((call (var "e") "setParamValue" (array (add "p" (var "n")) (var "s"))))",
     kKLVPErrorRuntimeLimit, "memory limit"},
    // Into created events.
    {R"((log "copy" 1 (object "p" (var "s"))))", kKLVPErrorRuntimeLimit, "memory limit"},
    // Into map keys.
    {R"((set (object) (var "s") 1))", kKLVPErrorRuntimeLimit, "memory limit"},
    // Doubling an array.
    {R"((assign "a" (call (var "a") "concat" (array (var "a")))))", kKLVPErrorRuntimeLimit,
     "memory limit"},
    // Pieces of a text.
    {R"((call (var "s") "split" (array "")))", kKLVPErrorRuntimeLimit, "memory limit"},
    // The other limits: comparing long texts, and an array that holds itself.
    {R"((eq (var "s") (var "s")))", kKLVPErrorInstructionLimit, ""},
    {R"((set (var "a") 0 (var "a")) (add (var "a") ""))", kKLVPErrorRuntimeLimit, "runtime limit"},
};

TEST(KLVPBudgetTest, ARunPastALimitLeavesTheEventAsItCame) {
    for (const LimitCase& c : kLimits) {
        const std::string copy = c.step;
        KLVPEventEditingRuntime editing;
        platform::Error error;
        ASSERT_TRUE(editing.loadProgram(makeProgram(R"((let "reg" "log")
                (assign "reg" (require "internal.registerCallback"))
                (assign "log" (require "internal.eventLogger"))
                (def "app" (array "r")
                  (reg 0 (fn "" (array "e") )" + longText(19) +
                                                        R"( (let "a") (assign "a" (array 1 2 3))
                     (call (var "e") "setEventName" (array "changed"))
                     (call (var "e") "setParamValue" (array "_err" 99))
                     (let "n") (assign "n" 0)
                     (while (lt (var "n") 1000) (assign "n" (add (var "n") 1)) false
                       (stmts )" + copy + R"())
                     (return 0))
                   (var "r"))))",
                                                    {{"app", R"((object "type" "edit"))"}}),
                                        &error))
            << error.code;
        const KLVPEvent input =
            KLVPEvent::initWithName("purchase", 100, {{"_err", std::int64_t{18}}, {"value", 2.5}});
        const PeakResidentSize peak;
        EXPECT_FALSE(editing.handleEvent(input, &error)) << copy;
        EXPECT_EQ(error.domain, kKLVPScriptErrorDomain) << copy;
        EXPECT_EQ(error.code, c.code) << copy;
        EXPECT_EQ(error.description, c.description) << copy;
        const KLVPEvent& output = editing.eventContext().outputEvent();
        EXPECT_EQ(output.name, "purchase") << copy;
        EXPECT_EQ(platform::Object(output.parameters), platform::Object(input.parameters)) << copy;
        EXPECT_FALSE(editing.hasEdits()) << copy;
        if (const auto growth = peak.growth()) {
            // Unbounded, these reached gigabytes.
            EXPECT_LT(*growth, std::size_t{48} << 20) << copy;
        }
    }
}

TEST(KLVPBudgetTest, TheMemoryLimitIsPerRun) {
    // About 3 MiB made a run: more than the limit over three runs.
    KLVPEventEditingRuntime editing;
    platform::Error error;
    ASSERT_TRUE(editing.loadProgram(
        makeProgram(R"((let "reg") (assign "reg" (require "internal.registerCallback"))
            (def "app" (array "r") (reg 0 (fn "" (array "e") )" +
                        longText(19) + R"( (call (var "e") "setParamValue" (array "p" (var "s")))
                (return 0)) (var "r"))))",
                    {{"app", R"((object "type" "edit"))"}}),
        &error));
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_TRUE(editing.handleEvent(KLVPEvent::initWithName("e", 1, {}), &error));
        EXPECT_EQ(error.domain, "");
        EXPECT_EQ(editing.eventContext().outputEvent().parameters.at("p").asString().size(),
                  std::size_t{1} << 19);
    }
}

TEST(KLVPBudgetTest, EventFunctionsKeptByACallbackAreCollected) {
    KLVPEventEditingRuntime editing;
    platform::Error error;
    ASSERT_TRUE(editing.loadProgram(
        makeProgram(R"((let "reg") (assign "reg" (require "internal.registerCallback"))
            (def "app" (array "r")
              (reg 0 (fn "" (array "e")
                (set (var "e") "self" (var "e"))
                (set (var "e") "list" (array (var "e") (var "r")))
                (return 2))
               (var "r"))))",
                    {{"app", R"((object "type" "edit"))"}}),
        &error));
    const KLVPEvent event = KLVPEvent::initWithName("e", 1, {{"value", 1.5}});
    const auto pass = [&] {
        EXPECT_FALSE(editing.handleEvent(event, &error));
        EXPECT_EQ(error.domain, "");
    };
    for (int i = 0; i < 1000; ++i)
        pass();
    const std::size_t tracked = editing.runtime().objectManager().trackedObjectCount();
    const std::size_t before = liveHeapBytes();
    // Fewer where sanitizers slow every event down; a leak still shows by megabytes.
#ifdef KLVP_SANITIZED_HEAP
    constexpr int kEvents = 20'000;
#else
    constexpr int kEvents = 100'000;
#endif
    const char* configured = std::getenv("TESSALINE_SCRIPT_LEAK_EVENTS");
    const int events = configured ? std::atoi(configured) : kEvents;
    for (int i = 0; i < events; ++i)
        pass();
    EXPECT_EQ(editing.runtime().objectManager().trackedObjectCount(), tracked);
    const std::size_t after = liveHeapBytes();
    // Kept, the maps took hundreds of bytes an event.
    EXPECT_LT(after, before + (std::size_t{1} << 20));
}

}  // namespace
}  // namespace engine
