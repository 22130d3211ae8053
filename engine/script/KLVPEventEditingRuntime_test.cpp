// Event editing: programs loaded from messages built in the test notation, then events handled.

#include "engine/script/KLVPEventEditingRuntime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/script/ScriptTestSupport.h"

namespace engine {
namespace {

using testing::Activity;
using testing::makeProgram;

// "app" registers a callback of the rule's type and priority that appends the rule's "s" to the
// event name and returns the rule's "code" (0 when absent); "fail" makes it fail after renaming.
constexpr const char* kPrelude = R"(
    (let "reg" "log") (assign "reg" (require "internal.registerCallback"))
    (assign "log" (require "internal.eventLogger"))
    (def "app" (array "r")
      (reg 0 (fn "" (array "e")
        (call (var "e") "setEventName"
              (array (add (call (var "e") "getEventName" (array)) (get (var "r") "s"))))
        (if (get (var "r") "fail") (stmts (assign "nope" 1)))
        (return (cond (call (var "r") "hasOwnProperty" (array "code")) (get (var "r") "code") 0)))
       (var "r")))
)";

KLVPEvent event(std::string name = "ev", platform::Dictionary parameters = {}) {
    return KLVPEvent::initWithName(std::move(name), 100, std::move(parameters));
}

TEST(KLVPEventEditingRuntimeTest, EditCallbacksRunByPriority) {
    KLVPEventEditingRuntime editing;
    platform::Error error;
    ASSERT_TRUE(editing.loadProgram(
        makeProgram(kPrelude, {{"app", R"((object "type" "edit" "priority" 5 "s" "a")
                                         (object "type" "edit" "priority" 5 "s" "b")
                                         (object "type" "edit" "priority" 1 "s" "c")
                                         (object "type" "edit" "s" "d")
                                         (object "type" "edit" "s" "e"))"}}),
        &error))
        << error.code;
    for (int pass = 0; pass < 2; ++pass) {  // the callbacks survive collection between events
        ASSERT_TRUE(editing.handleEvent(event(), &error));
        EXPECT_EQ(editing.eventContext().outputEvent().name, "evcabde");
        EXPECT_TRUE(editing.hasEdits());
        EXPECT_FALSE(editing.hasCreatedEvents());
    }
}

TEST(KLVPEventEditingRuntimeTest, ResultCodesDecideWhetherEditsStay) {
    const struct {
        const char* code;
        bool kept;
    } cases[] = {{"0", true},           {"1", true},          {"2", false},
                 {"-1", false},         {"\"x\"", false},     {"(null)", false},
                 {"4294967298", false}, {"4294967296", true}, {"-4294967297", false}};
    for (const auto& c : cases) {
        KLVPEventEditingRuntime editing;
        platform::Error error;
        const std::string rule =
            std::string(R"((object "type" "edit" "s" "!" "code" )") + c.code + ")";
        ASSERT_TRUE(editing.loadProgram(makeProgram(kPrelude, {{"app", rule.c_str()}}), &error));
        // Without edits the pass answers false, and sets no error.
        EXPECT_EQ(editing.handleEvent(event(), &error), c.kept) << c.code;
        EXPECT_EQ(error.domain, "") << c.code;
        EXPECT_EQ(editing.eventContext().outputEvent().name, c.kept ? "ev!" : "ev") << c.code;
        EXPECT_EQ(editing.hasEdits(), c.kept) << c.code;
    }
}

TEST(KLVPEventEditingRuntimeTest, FailingCallbackRollsBackItsEditsAndFailsThePass) {
    KLVPEventEditingRuntime editing;
    platform::Error error;
    ASSERT_TRUE(editing.loadProgram(
        makeProgram(kPrelude, {{"app", R"((object "type" "edit" "priority" 1 "s" "1")
                                         (object "type" "edit" "priority" 2 "s" "2" "fail" true)
                                         (object "type" "edit" "priority" 3 "s" "3"))"}}),
        &error));
    EXPECT_FALSE(editing.handleEvent(event(), &error));
    EXPECT_EQ(error.domain, kKLVPScriptErrorDomain);
    EXPECT_EQ(error.code, kKLVPErrorUndeclaredAssignment);
    EXPECT_EQ(editing.eventContext().outputEvent().name, "ev1");
}

TEST(KLVPEventEditingRuntimeTest, CreateCallbacksRunAfterEditsAndCoerceAgainstTheInput) {
    KLVPEventEditingRuntime editing;
    platform::Error error;
    ASSERT_TRUE(editing.loadProgram(makeProgram(std::string(kPrelude) + R"(
            (def "make" (array "r")
              (reg 0 (fn "" (array "e")
                 (log (add (call (var "e") "getEventName" (array)) "_new") 1.9
                      (object "n" 3.7 "s" 2 "z" (null) "_o" "srv" "t" (call (var "e") "getTimestamp" (array))))
                 (return 2))
               (var "r"))))",
                                                {{"make", R"((object "type" "create"))"},
                                                 {"app", R"((object "type" "edit" "s" "!"))"}}),
                                    &error))
        << error.code;
    ASSERT_TRUE(editing.handleEvent(event("ev", {{"n", std::int64_t{1}}, {"s", "x"}}), &error));
    ASSERT_EQ(editing.eventContext().eventsToLog().size(), 1u);
    const KLVPEvent& created = editing.eventContext().eventsToLog()[0];
    EXPECT_EQ(created.name, "ev!_new");
    EXPECT_EQ(created.timestamp, 1);
    const platform::Dictionary expected = {
        {"n", std::int64_t{3}}, {"s", "2"}, {"_o", "srv"}, {"t", 100.0}};
    EXPECT_EQ(platform::Object(created.parameters), platform::Object(expected));
    EXPECT_TRUE(editing.hasCreatedEvents());
    // A create callback's result code does not undo its edits; here it made none.
    EXPECT_EQ(editing.eventContext().outputEvent().name, "ev!");

    // The created list starts empty for each event.
    KLVPEventEditingRuntime plain;
    ASSERT_TRUE(plain.loadProgram(makeProgram(kPrelude), &error));
    ASSERT_FALSE(plain.handleEvent(event(), &error));
    EXPECT_EQ(error.domain, "");
    EXPECT_FALSE(plain.hasEdits());
    EXPECT_FALSE(plain.hasCreatedEvents());
}

TEST(KLVPEventEditingRuntimeTest, EventFunctions) {
    // Each case: a callback body over "e"; the program fails or the event ends as described.
    using I = std::int64_t;
    using D = platform::Dictionary;
    const struct {
        const char* body;
        const char* name;
        platform::Dictionary parameters;
        std::int64_t error;
    } cases[] = {
        {R"((call (var "e") "setParamValue" (array "p" (null))))", "ev", {}, 0},
        {R"((call (var "e") "setParamValue" (array "q" (undefined))))",
         "ev",
         {{"p", I{1}}, {"q", ""}},
         0},
        {R"((call (var "e") "setParamValue" (array "p" 3.7)))", "ev", {{"p", I{3}}}, 0},
        {R"((call (var "e") "setParamValue" (array "q" (object "a" (array 1 2)))))",
         "ev",
         {{"p", I{1}}, {"q", D{{"a", platform::Array{1.0, 2.0}}}}},
         0},
        {R"((call (var "e") "setEventName" (array (get (call (var "e") "getParams" (array)) "p"))))",
         "1",
         {{"p", I{1}}},
         0},
        {R"((call (var "e") "setEventName" (array (call (var "e") "getParamValue" (array "x")))))",
         nullptr,
         {},
         kKLVPErrorArgumentKind},
        {R"((call (var "e") "setEventName" (array)))", nullptr, {}, kKLVPErrorArgumentCount},
        {R"((call (var "e") "getParamValue" (array)))", nullptr, {}, kKLVPErrorArgumentCount},
        {R"((call (var "e") "nosuch" (array)))", nullptr, {}, kKLVPErrorUnknownMethod},
    };
    for (const auto& c : cases) {
        KLVPEventEditingRuntime editing;
        platform::Error error;
        const std::string program = std::string(kPrelude) + R"(
            (def "body" (array "r") (reg 0 (fn "" (array "e") )" +
                                    c.body + R"( (return 0)) (var "r"))))";
        ASSERT_TRUE(editing.loadProgram(
            makeProgram(program, {{"body", R"((object "type" "edit"))"}}), &error));
        const bool ran = editing.handleEvent(event("ev", {{"p", std::int64_t{1}}}), &error);
        if (c.error) {
            EXPECT_FALSE(ran) << c.body;
            EXPECT_EQ(error.code, c.error) << c.body;
            continue;
        }
        ASSERT_TRUE(ran) << c.body << " " << error.code;
        EXPECT_EQ(editing.eventContext().outputEvent().name, c.name) << c.body;
        EXPECT_EQ(platform::Object(editing.eventContext().outputEvent().parameters),
                  platform::Object(c.parameters))
            << c.body;
        // Removing a parameter is an edit too.
        EXPECT_TRUE(editing.hasEdits()) << c.body;
    }
}

TEST(KLVPEventEditingRuntimeTest, LoadFailures) {
    const std::string p = kPrelude;
    const char* const E = kKLVPEditingErrorDomain;
    const char* const S = kKLVPScriptErrorDomain;
    const struct {
        std::string program;
        std::vector<Activity> activities;
        const char* domain;
        std::int64_t code;
    } cases[] = {
        {p, {{"app", R"((object "s" "x"))"}}, E, 2},
        {p, {{"app", R"((object "type" "other"))"}}, E, 3},
        {p + R"((let "i") (assign "i" 0) (while (lt (var "i") 1001) (assign "i" (add (var "i") 1))
             false (stmts (reg 0 (fn "" (array)) (object "type" "edit")))))",
         {},
         E,
         4},
        {R"((let "x") (return 1))", {}, E, 5},
        {p, {{"app", R"(5)"}}, E, 6},
        {p, {{"missing", R"((object "type" "edit"))"}}, E, 7},
        {p, {{"app", R"((object "type" "edit" "s" (var "nope")))"}}, E, 0},
        {R"((assign "nope" 1))", {}, S, kKLVPErrorUndeclaredAssignment},
        {p + R"((reg 0 1 (object)))", {}, S, kKLVPErrorArgumentKind},
        {p + R"((log "x" 1))", {}, S, kKLVPErrorArgumentCount},
        {p + R"((log "x" 1 2))", {}, S, kKLVPErrorArgumentKind},
    };
    for (const auto& c : cases) {
        KLVPEventEditingRuntime editing;
        platform::Error error;
        const bool loaded = editing.loadProgram(makeProgram(c.program, c.activities), &error);
        if (c.code == 0) {  // an undefined "s" is fine: the rule still registers
            EXPECT_TRUE(loaded) << c.program;
            continue;
        }
        EXPECT_FALSE(loaded) << c.program;
        EXPECT_EQ(error.domain, c.domain) << c.program;
        EXPECT_EQ(error.code, c.code) << c.program;
    }
}

TEST(KLVPEventEditingRuntimeTest, InstructionCountStartsAgainForEachEvent) {
    KLVPEventEditingRuntime editing;
    platform::Error error;
    // About 700,000 instructions an event: two events in one count would pass the limit.
    ASSERT_TRUE(editing.loadProgram(makeProgram(std::string(kPrelude) + R"((def "busy" (array "r")
            (reg 0
              (fn "" (array "e") (let "i") (assign "i" 0)
                (while (lt (var "i") 70000) (assign "i" (add (var "i") 1)) false (stmts))
                (return 0))
              (var "r"))))",
                                                {{"busy", R"((object "type" "edit"))"}}),
                                    &error));
    for (int pass = 0; pass < 2; ++pass) {
        // The program changes nothing, so the answer is false; only the error tells a failure.
        (void)editing.handleEvent(event(), &error);
        EXPECT_EQ(error.domain, "") << error.code;
    }
}

TEST(KLVPEventEditingRuntimeTest, ParameterCoercion) {
    using platform::Object;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* name;
        std::optional<Object> existing;
        Object value, stored;
    } cases[] = {
        {"p", Object(std::int64_t{1}), Object(3.7), Object(std::int64_t{3})},
        {"p", Object(true), Object(3.7), Object(std::int64_t{3})},
        {"_p", Object(std::int64_t{1}), Object(3.7), Object(std::int64_t{1})},
        {"p", Object("x"), Object(3.7), Object("3.7")},
        {"p", Object("x"), Object(1e21), Object("1e+21")},
        {"p", Object(1.5), Object(std::int64_t{2}), Object(std::int64_t{2})},
        {"p", Object(1.5), Object(3.7), Object(3.7)},
        {"p", std::nullopt, Object(3.7), Object(3.7)},
        {"p", Object(platform::Array{}), Object(3.7), Object(3.7)},
        {"p", Object(std::int64_t{1}), Object("s"), Object("s")},
        {"_err", std::nullopt, Object(-3.7), Object(std::int64_t{-3})},
        {"_syn", Object(1.5), Object(1e300), Object(std::numeric_limits<std::int64_t>::max())},
        {"_el", std::nullopt, Object(nan), Object(std::int64_t{0})},
        {"p", Object(std::int64_t{1}), Object(-1e300),
         Object(std::numeric_limits<std::int64_t>::min())},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLVPCoerceParameterValue(c.name, c.existing ? &*c.existing : nullptr, c.value),
                  c.stored)
            << c.name << " " << c.value.description();
    }
}

TEST(KLVPEventEditingRuntimeTest, EventEquality) {
    using platform::Object;
    using I = std::int64_t;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const KLVPEvent base = event(
        "ev",
        {{"i", std::int64_t{1}}, {"d", 1.0}, {"n", nan}, {"a", platform::Array{Object(1.0)}}});
    const struct {
        const char* what;
        KLVPEvent other;
        bool equal;
    } cases[] = {
        {"same", base, true},
        {"integer as floating at the top",
         event("ev", {{"i", 1.0}, {"d", 1.0}, {"n", nan}, {"a", platform::Array{Object(1.0)}}}),
         false},
        {"nested numbers by value",
         event("ev", {{"i", I{1}}, {"d", 1.0}, {"n", nan}, {"a", platform::Array{Object(I{1})}}}),
         true},
        {"removed parameter", event("ev", {{"i", I{1}}, {"d", 1.0}, {"n", nan}}), false},
        {"renamed", event("ew", base.parameters), false},
        {"time within epsilon", KLVPEvent::initWithName("ev", 100 + 1e-17, base.parameters), true},
        {"time apart", KLVPEvent::initWithName("ev", 100.001, base.parameters), false},
        {"boolean counts as integer",
         event("ev", {{"i", true}, {"d", 1.0}, {"n", nan}, {"a", platform::Array{Object(1.0)}}}),
         true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLVPEventIsEqualToEvent(c.other, base), c.equal) << c.what;
        EXPECT_EQ(KLVPEventIsEqualToEvent(base, c.other), c.equal) << c.what;
    }
}

TEST(KLVPEventEditingRuntimeTest, InstallMakesTheFactoryBuildThisRuntime) {
    installEventEditingRuntime();
    const auto editing = KLVPEventEditing::init();
    EXPECT_NE(dynamic_cast<KLVPEventEditingRuntime*>(editing.get()), nullptr);
    KLVPEventEditing::setFactory({});
    EXPECT_EQ(KLVPEventEditing::init(), nullptr);
}

}  // namespace
}  // namespace engine
