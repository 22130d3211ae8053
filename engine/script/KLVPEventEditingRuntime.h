#pragma once

// Event editing on the rule runtime: the object the settings build from a downloaded program and
// the event pipeline calls for every event. A program registers edit callbacks, which change the
// current event, and create callbacks, which log new events; a failing callback never loses the
// event (its edits are rolled back and the pass reports the error).
//
// Every run is bounded (KLVPBudget.h), and so is what a program keeps from one event to the next:
// when a pass leaves more than kKLVPKeptMemoryLimit reachable, the runtime loads its program
// afresh in a new interpreter (globals and modules start over) and logs it. The pass itself stands
// as it ended: a failed one reports its error, a successful one keeps its edits and created events.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/script/KLVPRuntime.h"
#include "engine/settings/KLVPEventEditing.h"

namespace engine {

// Failures of loading a program and of registering callbacks (the editing error domain).
enum KLVPEditingErrorCode : std::int64_t {
    kKLVPEditingErrorNoRuleType = 2,
    kKLVPEditingErrorUnknownRuleType = 3,
    kKLVPEditingErrorTooManyCallbacks = 4,
    kKLVPEditingErrorControlAtTopLevel = 5,
    kKLVPEditingErrorRuleNotAMap = 6,
    kKLVPEditingErrorRuleNotAFunction = 7,
};

// Monitor codes of the editing runtime, beside 24005, which carries the programs' own log lines.
// The program kept more than kKLVPKeptMemoryLimit between events and was loaded afresh.
inline constexpr std::int64_t kKLVPProgramReloadedLogCode = 24006;
// Loading it afresh failed: the runtime goes on without a program, and events pass unedited.
inline constexpr std::int64_t kKLVPProgramReloadFailedLogCode = 24007;

inline constexpr std::size_t kKLVPMaxEditingCallbacks = 1000;
inline constexpr std::int64_t kKLVPDefaultCallbackPriority = 1000;

// The event operations. A parameter value is adapted to the kind the parameter already holds
// (KLVPCoerceParameterValue) before it is stored.
std::optional<platform::Object> KLVPEventParameterForName(const KLVPEvent& event,
                                                          const std::string& name);
bool KLVPEventHasParameterName(const KLVPEvent& event, const std::string& name);
// Nullopt (or a null object) removes the parameter.
void KLVPEventSetParameter(KLVPEvent& event, std::optional<platform::Object> value,
                           const std::string& name);
// Same name, timestamps within the double epsilon, the same parameter names, and values equal
// with numbers compared by value (NaN equal to NaN) and, at the top level, also by being
// floating or integer (booleans count as integers).
bool KLVPEventIsEqualToEvent(const KLVPEvent& a, const KLVPEvent& b);
// A number stored over an existing value: "_syn", "_err" and "_el" always as saturated 64-bit
// integers; over a floating number as it is; over an integer as an integer, or not at all when
// the name begins with "_"; over a string as its decimal text. Anything else is stored as it is.
platform::Object KLVPCoerceParameterValue(const std::string& name, const platform::Object* existing,
                                          platform::Object value);

// The state of one pass.
class KLVPEditingEventContext final : public KLVPEventContext {
  public:
    KLVPEditingEventContext() = default;

    // The input, a copy as the output, and no created events.
    void setInputEvent(const KLVPEvent& event);
    void setOutputEvent(KLVPEvent event) { output_ = std::move(event); }

    // An edit callback's changes can be taken back: the output as it was when the callback
    // began is kept, copied only when the callback first changes it.
    void beginUndoableEdits();
    // Back to the output as it was when the undoable edits began.
    void undoEdits();
    // No more undo until the next beginUndoableEdits.
    void endUndoableEdits();
    // The output to change; null with script error 18 or 19 when keeping its undo copy would
    // take the run past its limits.
    KLVPEvent* editableOutputEvent(platform::Error* error);
    // Each parameter adapted against the input event's parameter of the same name.
    void logEventWithName(std::string name, double timestamp, platform::Dictionary parameters);

    const KLVPEvent& inputEvent() const override { return input_; }
    const KLVPEvent& outputEvent() const override { return output_; }
    const std::vector<KLVPEvent>& eventsToLog() const override { return logged_; }

  private:
    KLVPEvent input_;
    KLVPEvent output_;
    std::vector<KLVPEvent> logged_;
    bool undoable_ = false;
    std::optional<KLVPEvent> undo_;
};

// The registered callbacks by type and priority, kept alive across collections.
class KLVPEditingCallbackHandler final : public KLVPMarkable {
  public:
    // Editing error 4 past the limit, 3 for a type other than "edit" and "create". A taken
    // priority becomes the highest of that type plus one.
    [[nodiscard]] bool registerWithPriority(std::int64_t priority, KLVPValue callback,
                                            const std::string& type, platform::Error* error);
    // Runs the edit callbacks, then the create callbacks, in ascending priority, each given the
    // same event functions (a collectable map of the run scope's runtime).
    [[nodiscard]] bool triggerCallbacks(KLVPScope& scope,
                                        const std::shared_ptr<KLVPEditingEventContext>& context,
                                        platform::Error* error);
    void mark(KLVPMarkList& list) const override;

  private:
    std::map<std::int64_t, KLVPValue> edit_;
    std::map<std::int64_t, KLVPValue> create_;
};

class KLVPEventEditingRuntime final : public KLVPEventEditing {
  public:
    KLVPEventEditingRuntime();
    ~KLVPEventEditingRuntime() override;

    // The interpreter of the program as loaded now; loading it afresh replaces it.
    KLVPRuntime& runtime() { return *runtime_; }
    // How many times the program was loaded afresh.
    std::size_t reloadCount() const { return reloadCount_; }

    void setModuleCreator(KLVPModuleCreator creator, const std::string& name) override;
    [[nodiscard]] bool loadProgram(const KLVPBProgram& program, platform::Error* error) override;
    [[nodiscard]] bool handleEvent(const KLVPEvent& event, platform::Error* error) override;
    bool hasEdits() const override;
    bool hasCreatedEvents() const override;
    const KLVPEventContext& eventContext() const override { return *context_; }

  private:
    // A new interpreter with the modules registered so far and no program. The old one goes, and
    // with it everything its program made.
    void startRuntime();
    // Loads the program into the current interpreter, as one run.
    [[nodiscard]] bool runProgram(const KLVPBProgram& program, platform::Error* error);
    [[nodiscard]] bool loadActivity(const KLVPBOgtActivity& activity, platform::Error* error);
    [[nodiscard]] bool registerRule(const std::string& name, const KLVPValue& rule,
                                    platform::Error* error);
    // The programs loaded again in a new interpreter; the last pass's outcome stays readable.
    void reloadPrograms();

    std::map<std::string, KLVPModuleCreator> moduleCreators_;
    // The programs loaded so far, in order: what a reload runs again.
    std::vector<KLVPBProgram> programs_;
    std::shared_ptr<KLVPRuntime> runtime_;
    std::shared_ptr<KLVPEditingEventContext> context_;
    std::shared_ptr<KLVPEditingCallbackHandler> callbacks_;
    std::size_t reloadCount_ = 0;
};

// Makes KLVPEventEditing::init() build this runtime.
void installEventEditingRuntime();

}  // namespace engine
