#pragma once

// Test support for the rule runtime: programs in the notation of ScriptNotation.h (so every test
// also converts), a runner that summarises the result, and a logger that records.

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer's runtime (its header does not come with every compiler).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#define KLVP_SANITIZED_HEAP 1
#else
#include <malloc.h>
#endif

#include "engine/script/KLVPRuntime.h"
#include "engine/script/KLVPScriptError.h"
#include "engine/script/ScriptNotation.h"
#include "engine/script/ScriptValueSummary.h"
#include "engine/settings/KLVPixieLogger.h"

namespace engine::testing {

struct ScriptRun {
    ScriptValueSummary value;
    platform::Error error;
    std::int64_t instructions = 0;
};

// Runs the program in the runtime's global scope.
inline ScriptRun runScript(KLVPRuntime& runtime, std::string_view text) {
    ScriptRun run;
    const auto entities = program(text);
    run.value = summarizeScriptValue(runtime.executeStatements(entities, &run.error));
    run.instructions = runtime.getInstructionCount();
    return run;
}

// Runs the program in a new runtime.
inline ScriptRun runScript(std::string_view text) {
    KLVPRuntime runtime;
    return runScript(runtime, text);
}

// One program and what it gives: a type and text, or a script error code.
struct ScriptCase {
    const char* program;
    const char* type;
    const char* text;
    std::int64_t error = 0;
};

inline void expectScriptCase(const ScriptCase& c, const ScriptRun& run) {
    if (c.error) {
        EXPECT_EQ(run.error.domain, kKLVPScriptErrorDomain) << c.program;
        EXPECT_EQ(run.error.code, c.error) << c.program;
        EXPECT_EQ(run.value.type, "undefined") << c.program;
        return;
    }
    EXPECT_EQ(run.error.domain, "") << c.program << " failed with " << run.error.code;
    EXPECT_EQ(run.value.type, c.type) << c.program;
    EXPECT_EQ(run.value.text, c.text) << c.program;
}

// Each program in a new runtime.
inline void expectScriptCases(std::span<const ScriptCase> cases) {
    for (const ScriptCase& c : cases)
        expectScriptCase(c, runScript(c.program));
}

// Heap bytes in use.
inline std::size_t liveHeapBytes() {
#ifdef KLVP_SANITIZED_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

struct LoggedLine {
    std::int64_t level;
    std::string message;
    std::vector<std::string> context;
    bool silent;
    bool monitored;

    friend bool operator==(const LoggedLine&, const LoggedLine&) = default;
    friend void PrintTo(const LoggedLine& line, std::ostream* os) {
        *os << "LoggedLine{level: " << line.level
            << ", message: " << ::testing::PrintToString(line.message)
            << ", context: " << ::testing::PrintToString(line.context)
            << ", silent: " << (line.silent ? "true" : "false")
            << ", monitored: " << (line.monitored ? "true" : "false") << '}';
    }
};

class RecordingLogger : public KLVPLoggerDelegate {
  public:
    void logWithLevel(std::int64_t level, std::string_view message, const MonitorContexts& context,
                      bool silent, bool monitored) const override {
        LoggedLine line{level, std::string(message), {}, silent, monitored};
        for (const MonitorContext& item : context)
            line.context.push_back(item.object() ? item.object()->asString() : "?");
        lines.push_back(std::move(line));
    }
    mutable std::vector<LoggedLine> lines;
};

}  // namespace engine::testing
