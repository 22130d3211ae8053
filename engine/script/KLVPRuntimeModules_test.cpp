#include "engine/script/KLVPRuntimeModules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "engine/base/EngineTestSupport.h"
#include "engine/script/KLVPObjectValues.h"
#include "engine/script/ScriptTestSupport.h"

namespace engine {
namespace {

using testing::LoggedLine;
using testing::RecordingLogger;
using testing::runScript;
using testing::ScriptCase;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// A runtime with the settings' three modules over fakes.
class KLVPRuntimeModulesTest : public EngineTest {
  protected:
    KLVPRuntimeModulesTest() {
        runtime.setModuleCreator(KLVPModuleCreator([] {
                                     return KLVPKeyValueStore{
                                         "internal.remoteConfig",
                                         [](const std::string& key) -> std::optional<std::string> {
                                             if (key == "interval") return "90";
                                             if (key == "name") return "x\xFFy";
                                             return std::nullopt;
                                         }};
                                 }),
                                 "internal.remoteConfig");
        runtime.setModuleCreator(
            KLVPModuleCreator([] {
                return KLVPObjectProvider{
                    "internal.appMetadata", [] {
                        return platform::Dictionary{{"platform", "ios"}, {"zkt_version", 110100}};
                    }};
            }),
            "internal.appMetadata");
        runtime.setModuleCreator(KLVPModuleCreator([this] { return KLVPMessageLogger{logger}; }),
                                 "internal.logger");
        runScript(runtime, R"((let "L" "C" "M") (assign "L" (require "internal.logger"))
                              (assign "C" (require "internal.remoteConfig"))
                              (assign "M" (require "internal.appMetadata")))");
    }

    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    KLVPRuntime runtime;
};

TEST_F(KLVPRuntimeModulesTest, RequireAndHostModules) {
    const ScriptCase cases[] = {
        {R"((call (require "internal.platform") "getVersion" (array)))", "number", "0"},
        {R"((require "nope"))", "undefined", "undefined"},
        {R"((call (require "nope") "x" (array)))", nullptr, nullptr, kKLVPErrorMethodOnNullish},
        {R"((require))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((require (break)))", nullptr, nullptr, kKLVPErrorNoStringForm},
        {R"((require "test.null"))", nullptr, nullptr, kKLVPErrorModuleCreator},
        {R"((require "test.empty"))", nullptr, nullptr, kKLVPErrorModuleCreator},
        {R"((call (var "C") "getValue" (array "interval" 5)))", "string", "90"},
        {R"((call (var "C") "getValue" (array "name" 5)))", "string", "x\xEF\xBF\xBDy"},
        {R"((call (var "C") "getValue" (array "absent")))", nullptr, nullptr,
         kKLVPErrorArgumentCount},
        {R"((var "C"))", "function", "internal.remoteConfig"},
        // The metadata module is called itself; its arguments are not evaluated.
        {R"((M (assign "nope" 1)))", "map", "[object Object]"},
        {R"((get (M) "zkt_version"))", "number", "110100"},
        {R"((call (var "L") "log" (array)))", nullptr, nullptr, kKLVPErrorArgumentCount},
        {R"((call (var "L") "log" (array 1 (stmts (f)))))", nullptr, nullptr,
         kKLVPErrorNoStringForm},
        {R"((call (var "L") "log" (array (break) "m")))", nullptr, nullptr, kKLVPErrorNoNumberForm},
        {R"((call (get (var "L") "silent") "toString" (array)))", "string", "silent"},
    };
    runtime.setModuleCreator(KLVPRuntimeModuleCreator([] { return nullptr; }), "test.null");
    runtime.setModuleCreator(KLVPRuntimeModuleCreator(), "test.empty");
    for (const auto& c : cases)
        testing::expectScriptCase(c, runScript(runtime, c.program));
    EXPECT_THAT(logger->lines, ::testing::IsEmpty());
}

TEST_F(KLVPRuntimeModulesTest, RequireKeepsOneObjectPerName) {
    const KLVPValue first =
        runtime.executeStatements(testing::program(R"((require "internal.logger"))"), nullptr);
    runtime.collectGarbage();
    const KLVPValue second =
        runtime.executeStatements(testing::program(R"((require "internal.logger"))"), nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, runtime.globalScope()->valueForName(u"L"));
    // The metadata module answers a new map each call.
    const KLVPValue a = runtime.executeStatements(testing::program("(M)"), nullptr);
    const KLVPValue b = runtime.executeStatements(testing::program("(M)"), nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(summarizeScriptValue(a).object,
              platform::Object::dict({{"platform", "ios"}, {"zkt_version", 110100.0}}));
}

TEST_F(KLVPRuntimeModulesTest, LogLevelsAndContexts) {
    const struct {
        const char* call;
        LoggedLine line;
    } cases[] = {
        {R"((call (var "L") "log" (array "hello")))", {4, "hello", {}, false, true}},
        {R"((call (get (var "L") "silent") "log" (array 6 "m")))", {6, "m", {}, true, true}},
        {R"((call (get (var "L") "unmonitored") "log" (array 6 "m")))", {6, "m", {}, false, false}},
        {R"((call (var "L") "log" (array 5 "m" "a" 1 true "x" "y")))",
         {5, "m", {"a", "1", "true"}, false, true}},
        {R"((call (var "L") "log" (array "2.9" 3)))", {2, "3", {}, false, true}},
        {R"((call (var "L") "log" (array -2.9 "m")))", {-2, "m", {}, false, true}},
        {R"((call (var "L") "log" (array 1e300 "m")))", {kMax, "m", {}, false, true}},
        {R"((call (var "L") "log" (array NaN "m")))", {0, "m", {}, false, true}},
    };
    for (const auto& c : cases) {
        logger->lines.clear();
        const auto run = runScript(runtime, c.call);
        EXPECT_EQ(run.error.domain, "") << c.call;
        EXPECT_EQ(run.value.type, "undefined") << c.call;
        EXPECT_THAT(logger->lines, ::testing::ElementsAre(c.line)) << c.call;
    }
}

TEST_F(KLVPRuntimeModulesTest, TheEngineLoggerReachesTheMonitor) {
    runtime.setModuleCreator(
        KLVPModuleCreator([] { return KLVPMessageLogger{std::make_shared<KLVPixieLogger>()}; }),
        "internal.logger.engine");
    const auto run =
        runScript(runtime, R"((call (require "internal.logger.engine") "log" (array "Rule ran")))");
    EXPECT_EQ(run.error.domain, "");
    EXPECT_THAT(logLines(), ::testing::Contains(::testing::HasSubstr("024005] Rule ran")));
}

}  // namespace
}  // namespace engine
