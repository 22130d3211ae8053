// What a program keeps from one event to the next: counted by the collector, bounded by
// kKLVPKeptMemoryLimit, and past it the program is loaded afresh without losing an event.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/base/EngineTestSupport.h"
#include "engine/script/KLVPBudget.h"
#include "engine/script/KLVPEventEditingRuntime.h"
#include "engine/script/ScriptTestSupport.h"

namespace engine {
namespace {

using testing::liveHeapBytes;
using testing::makeProgram;
using testing::runScript;

const std::string kKiB(1024, 'k');

// A loop of `count` turns over "i" in the notation.
std::string repeat(int count, const std::string& body) {
    return R"((assign "i" 0) (while (lt (var "i") )" + std::to_string(count) +
           R"() (assign "i" (add (var "i") 1)) false (stmts )" + body + "))";
}

TEST(KLVPKeptMemoryTest, TheCollectorCountsWhatStaysReachableOnce) {
    const std::string text = R"((add ")" + kKiB + R"(" ""))";
    const struct {
        std::string program;
        std::int64_t atLeast;
        std::int64_t atMost;
    } cases[] = {
        // A text and its binding.
        {R"((let "t") (assign "t" )" + text + ")", 2144, 4400},
        // One text in a thousand slots is counted once, beside the slots.
        {R"((let "t" "a" "i") (assign "t" )" + text + R"() (assign "a" (array)) )" +
             repeat(1000, R"((call (var "a") "push" (array (var "t"))))"),
         2144 + 16000, 60000},
        // Numbers are made freely by a run, but kept they count.
        {R"((let "a" "i") (assign "a" (array)) )" +
             repeat(1000, R"((call (var "a") "push" (array (mul (var "i") 3))))"),
         64000 + 16000, 110000},
        // An array cut short keeps the room it grew.
        {R"((let "a") (assign "a" (array)) (set (var "a") "length" 100000)
            (set (var "a") "length" 0))",
         1600000, 1700000},
        {R"((let "m" "i") (assign "m" (object)) )" +
             repeat(1000, R"((set (var "m") (add "k" (var "i")) true))"),
         1000 * 112, 300000},
        // Each closure keeps the scope of its call.
        {R"((let "a" "i") (assign "a" (array))
            (def "mk" (array "p") (return (fn "" (array) (return (var "p"))))) )" +
             repeat(100, R"((call (var "a") "push" (array (mk (var "i")))))"),
         100 * (256 + 256 + 112), 120000},
        // What a program stores in a module.
        {R"((set (require "internal.platform") "x" )" + text + ")", 2144 + 2 * 256, 6000},
        // Dropped, nothing stays.
        {R"((let "t") (assign "t" )" + text + R"() (assign "t" 0))", 0, 300},
    };
    for (const auto& c : cases) {
        KLVPRuntime runtime;
        runtime.collectGarbage();
        const std::int64_t before = runtime.keptMemory();
        const auto run = runScript(runtime, c.program);
        ASSERT_EQ(run.error.domain, "") << c.program << " failed with " << run.error.code;
        runtime.collectGarbage();
        const std::int64_t kept = runtime.keptMemory() - before;
        EXPECT_GE(kept, c.atLeast) << c.program;
        EXPECT_LE(kept, c.atMost) << c.program;
    }
}

TEST(KLVPKeptMemoryTest, ModulesTiedIntoCyclesGoWithTheRuntime) {
    std::weak_ptr<KLVPRuntimeValue> platformModule, logger, require;
    {
        KLVPRuntime runtime;
        runtime.setModuleCreator(
            KLVPModuleCreator(
                [] { return KLVPMessageLogger{std::make_shared<testing::RecordingLogger>()}; }),
            "internal.logger");
        const auto run = runScript(runtime, R"((let "P" "L")
            (assign "P" (require "internal.platform")) (set (var "P") "self" (var "P"))
            (set (get (var "P") "getVersion") "self" (get (var "P") "getVersion"))
            (assign "L" (require "internal.logger"))
            (set (get (get (var "L") "silent") "log") "up" (var "L"))
            (set (var "require") "self" (var "require")))");
        ASSERT_EQ(run.error.domain, "") << run.error.code;
        const KLVPScope& global = *runtime.globalScope();
        platformModule = global.valueForName(u"P");
        logger = global.valueForName(u"L");
        require = global.valueForName(u"require");
        ASSERT_FALSE(platformModule.expired());
    }
    EXPECT_TRUE(platformModule.expired());
    EXPECT_TRUE(logger.expired());
    EXPECT_TRUE(require.expired());
}

TEST(KLVPKeptMemoryTest, ALoadIsOneRunWithinTheMemoryLimit) {
    // Doubled 24 times, the array would take gigabytes.
    KLVPEventEditingRuntime editing;
    platform::Error error;
    EXPECT_FALSE(editing.loadProgram(
        makeProgram(R"((let "a" "i") (assign "a" (array 1 2 3 4)) )" +
                    repeat(24, R"((assign "a" (call (var "a") "concat" (array (var "a")))))")),
        &error));
    EXPECT_EQ(error.domain, kKLVPScriptErrorDomain);
    EXPECT_EQ(error.code, kKLVPErrorRuntimeLimit);
    EXPECT_EQ(error.description, "memory limit");
}

// The program's globals, then one edit callback that runs `body` with the event functions in "e"
// and returns 0. "log" creates events.
KLVPBProgram editingProgram(const std::string& globals, const std::string& body) {
    return makeProgram(R"((let "reg" "log") (assign "reg" (require "internal.registerCallback"))
        (assign "log" (require "internal.eventLogger")) )" +
                           globals + R"( (def "app" (array "r") (reg 0 (fn "" (array "e") )" +
                           body + R"( (return 0)) (var "r"))))",
                       {{"app", R"((object "type" "edit"))"}});
}

// An editing program whose each run keeps two texts of 2^19 units (about 2 MiB) in "kept", sets
// the parameter "kept" to how many it keeps, then runs `then`. Its load ends with `loadTail`.
KLVPBProgram keepingTwoMiBProgram(const std::string& then, const std::string& loadTail = "") {
    return editingProgram(
        R"((let "kept" "big" "i") (assign "kept" (array)) (assign "big" "b") )" +
            repeat(19, R"((assign "big" (add (var "big") (var "big"))))") + loadTail,
        R"((call (var "kept") "push" (array (add (var "big") 1) (add (var "big") 2)))
           (call (var "e") "setParamValue" (array "kept" (get (var "kept") "length"))) )" +
            then);
}

int eventsFromEnvironment(int fallback) {
    const char* configured = std::getenv("TESSALINE_SCRIPT_KEPT_EVENTS");
    return configured ? std::atoi(configured) : fallback;
}

class KLVPKeptMemoryEditingTest : public EngineTest {};

TEST_F(KLVPKeptMemoryEditingTest, AProgramThatKeepsGrowingIsLoadedAfreshAndEventsFlow) {
    // A text of `kUnits` units more each event: loaded afresh about every 15,000 events, twice by
    // default (TESSALINE_SCRIPT_KEPT_EVENTS sets the number). Where sanitizers slow every event
    // down, fewer and longer texts pass the limit as often.
#ifdef KLVP_SANITIZED_HEAP
    constexpr int kUnits = 8 * 1024;
    const int events = eventsFromEnvironment(4'500);
#else
    constexpr int kUnits = 1024;
    const int events = eventsFromEnvironment(35'000);
#endif
    KLVPEventEditingRuntime editing;
    platform::Error error;
    ASSERT_TRUE(editing.loadProgram(editingProgram(R"((let "kept" "unit") (assign "kept" (array))
            (assign "unit" ")" + std::string(kUnits, 'u') +
                                                       R"(")
            (log "loaded" 1 (object)))",
                                                   R"((call (var "kept") "push"
                (array (add (var "unit") (get (var "kept") "length"))))
            (call (var "e") "setParamValue" (array "kept" (get (var "kept") "length")))
            (log "made" 2 (object)))"),
                                    &error))
        << error.code;
    const KLVPEvent input = KLVPEvent::initWithName("purchase", 100, {{"value", 2.5}});
    const std::size_t heapBefore = liveHeapBytes();
    std::size_t heapPeak = heapBefore;
    std::int64_t expected = 1;
    int reloads = 0;
    for (int i = 0; i < events; ++i) {
        ASSERT_TRUE(editing.handleEvent(input, &error)) << i;
        ASSERT_EQ(error.domain, "") << i;
        // Every event is edited, the one whose run passed the limit too, and only its own
        // created event is there (not the one of the fresh load).
        const KLVPEvent& output = editing.eventContext().outputEvent();
        ASSERT_EQ(output.parameters.at("kept"), platform::Object(static_cast<double>(expected)))
            << i;
        ASSERT_EQ(output.parameters.at("value"), platform::Object(2.5)) << i;
        ASSERT_EQ(editing.eventContext().eventsToLog().size(), 1u) << i;
        ASSERT_EQ(editing.eventContext().eventsToLog()[0].name, "made") << i;
        ASSERT_LE(editing.runtime().keptMemory(), kKLVPKeptMemoryLimit) << i;
        // The next event starts from fresh globals after a reload.
        const bool reloaded = editing.reloadCount() > static_cast<std::size_t>(reloads);
        reloads += reloaded;
        expected = reloaded ? 1 : expected + 1;
        if (i % 256 == 0) heapPeak = std::max(heapPeak, liveHeapBytes());
    }
    // About 2 kUnits bytes an event.
    const int perReload = static_cast<int>(kKLVPKeptMemoryLimit / (2 * kUnits + 200));
    EXPECT_GE(reloads, events / (perReload + 64));
    EXPECT_LE(reloads, events / (perReload - 64) + 1);
    EXPECT_EQ(logCount(kKLVPProgramReloadedLogCode), static_cast<std::size_t>(reloads));
    EXPECT_EQ(logCount(kKLVPProgramReloadFailedLogCode), 0u);
    EXPECT_NE(logLine(kKLVPProgramReloadedLogCode).find("loaded afresh"), std::string::npos);
    // Kept without end, 35,000 such texts took over 70 MiB.
    EXPECT_LT(heapPeak - heapBefore, static_cast<std::size_t>(kKLVPKeptMemoryLimit + (16 << 20)));
}

TEST_F(KLVPKeptMemoryEditingTest, AProgramWithinTheLimitKeepsItsGlobals) {
    // A count of every event, and the last hundred texts of 1 KiB.
    KLVPEventEditingRuntime editing;
    platform::Error error;
    ASSERT_TRUE(editing.loadProgram(
        editingProgram(R"((let "count" "last") (assign "count" 0) (assign "last" (array)))",
                       R"((assign "count" (add (var "count") 1))
            (call (var "last") "push" (array (add ")" +
                           kKiB + R"(" (var "count"))))
            (if (gt (get (var "last") "length") 100) (stmts (call (var "last") "shift" (array))))
            (call (var "e") "setParamValue" (array "count" (var "count"))))"),
        &error));
#ifdef KLVP_SANITIZED_HEAP
    const int events = eventsFromEnvironment(4'000);
#else
    const int events = eventsFromEnvironment(20'000);
#endif
    for (int i = 1; i <= events; ++i) {
        ASSERT_TRUE(editing.handleEvent(KLVPEvent::initWithName("e", 1, {}), &error));
        ASSERT_EQ(editing.eventContext().outputEvent().parameters.at("count"),
                  platform::Object(static_cast<double>(i)));
    }
    EXPECT_LT(editing.runtime().keptMemory(), 1 << 20);
    EXPECT_EQ(logCount(kKLVPProgramReloadedLogCode), 0u);
}

TEST_F(KLVPKeptMemoryEditingTest, AFailedRunPastTheLimitLeavesItsEventAsItCame) {
    // Each run runs past its memory limit when asked to.
    KLVPEventEditingRuntime editing;
    platform::Error error;
    ASSERT_TRUE(editing.loadProgram(
        keepingTwoMiBProgram(R"((if (call (var "e") "getParamValue" (array "fail"))
                                  (stmts (set (array) "length" 600000))))"),
        &error));
    const KLVPEvent failing = KLVPEvent::initWithName("e", 1, {{"fail", std::int64_t{1}}});
    int reloadedAt = 0;
    for (int i = 1; i <= 20; ++i) {
        EXPECT_FALSE(editing.handleEvent(failing, &error));
        EXPECT_EQ(error.code, kKLVPErrorRuntimeLimit);
        EXPECT_EQ(error.description, "memory limit");
        EXPECT_EQ(editing.eventContext().outputEvent().parameters, failing.parameters);
        EXPECT_FALSE(editing.hasEdits());
        ASSERT_LE(editing.runtime().keptMemory(), kKLVPKeptMemoryLimit);
        if (!reloadedAt && editing.reloadCount() == 1) reloadedAt = i;
    }
    // About 2 MiB kept a run.
    EXPECT_GE(reloadedAt, 14);
    EXPECT_LE(reloadedAt, 17);
    EXPECT_EQ(editing.reloadCount(), 1u);
    EXPECT_EQ(logCount(kKLVPProgramReloadedLogCode), 1u);
    // The program goes on from its fresh globals.
    error = {};
    EXPECT_TRUE(editing.handleEvent(KLVPEvent::initWithName("e", 1, {}), &error));
    EXPECT_EQ(editing.eventContext().outputEvent().parameters.at("kept"),
              platform::Object(2 * (20.0 - reloadedAt + 1)));
}

TEST_F(KLVPKeptMemoryEditingTest, AProgramThatFailsToLoadAfreshLeavesEventsUnedited) {
    // The program's load fails once the configuration says so.
    auto failLoad = std::make_shared<bool>(false);
    KLVPEventEditingRuntime editing;
    editing.setModuleCreator(
        [failLoad] {
            return KLVPKeyValueStore{"internal.remoteConfig",
                                     [failLoad](const std::string&) -> std::optional<std::string> {
                                         return *failLoad ? "fail" : "ok";
                                     }};
        },
        "internal.remoteConfig");
    platform::Error error;
    ASSERT_TRUE(editing.loadProgram(
        keepingTwoMiBProgram(R"((call (var "e") "setEventName" (array "edited")))",
                             R"( (if (eq (call (require "internal.remoteConfig") "getValue"
                                                (array "mode" "")) "fail")
                                   (stmts (assign "undeclared" 1))))"),
        &error));
    *failLoad = true;
    int events = 0;
    while (editing.reloadCount() == 0 && events < 100) {
        EXPECT_TRUE(editing.handleEvent(KLVPEvent::initWithName("e", 1, {}), &error))
            << error.code << error.description;
        EXPECT_EQ(editing.eventContext().outputEvent().name, "edited");
        ++events;
    }
    EXPECT_GE(events, 14);
    EXPECT_LE(events, 17);
    EXPECT_EQ(logCount(kKLVPProgramReloadedLogCode), 1u);
    EXPECT_EQ(logCount(kKLVPProgramReloadFailedLogCode), 1u);
    EXPECT_NE(logLine(kKLVPProgramReloadFailedLogCode).find("Code=2 "), std::string::npos);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(editing.handleEvent(KLVPEvent::initWithName("e", 1, {}), &error));
        EXPECT_EQ(error.domain, "");
        EXPECT_EQ(editing.eventContext().outputEvent().name, "e");
    }
    EXPECT_LT(editing.runtime().keptMemory(), 1 << 20);
}

}  // namespace
}  // namespace engine
