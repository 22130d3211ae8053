#pragma once

// What the engine's settings use of the event-editing rule runtime: an editing runtime that
// loads a program from the downloaded configuration, and the three modules the settings offer to
// programs. The runtime is a component above the storage layer; it makes itself known through
// setFactory() when the app starts it. Without one, configurations still parse and events pass
// unedited.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/messages/KLVPBMessages.h"
#include "engine/settings/KLVPEvent.h"
#include "engine/settings/KLVPixieLogger.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

namespace engine {

// A module that answers key lookups: the block gives the value of a key, or nothing.
struct KLVPKeyValueStore {
    std::string functionName;
    std::function<std::optional<std::string>(const std::string& key)> getValueBlock;
};

// A module that answers with a fresh dictionary on each call.
struct KLVPObjectProvider {
    std::string name;
    std::function<platform::Dictionary()> block;
};

// The module through which programs log.
struct KLVPMessageLogger {
    std::shared_ptr<const KLVPLoggerDelegate> logger;
};

using KLVPModule = std::variant<KLVPKeyValueStore, KLVPObjectProvider, KLVPMessageLogger>;
// Builds a module when a program asks for it.
using KLVPModuleCreator = std::function<KLVPModule()>;

// One editing pass: the event handed in, the event as edited and the events the program created.
class KLVPEventContext {
  public:
    virtual ~KLVPEventContext() = default;
    virtual const KLVPEvent& inputEvent() const = 0;
    virtual const KLVPEvent& outputEvent() const = 0;
    virtual const std::vector<KLVPEvent>& eventsToLog() const = 0;
};

class KLVPEventEditing {
  public:
    using Factory = std::function<std::shared_ptr<KLVPEventEditing>()>;

    virtual ~KLVPEventEditing() = default;

    // Registers how to build the module of that name when a program asks for it.
    virtual void setModuleCreator(KLVPModuleCreator creator, const std::string& name) = 0;
    // Runs the program's instructions and loads its activities; false exactly when it fills
    // `error`.
    [[nodiscard]] virtual bool loadProgram(const KLVPBProgram& program, platform::Error* error) = 0;
    // Runs the loaded activities over one event. A failed pass fills `error` and answers false;
    // a pass that neither changed the event nor created one answers false too, without an
    // error: tell them apart by the error. The outcome of the last pass is read through the three
    // members after it.
    [[nodiscard]] virtual bool handleEvent(const KLVPEvent& event, platform::Error* error) = 0;
    virtual bool hasEdits() const = 0;
    virtual bool hasCreatedEvents() const = 0;
    virtual const KLVPEventContext& eventContext() const = 0;

    // The runtime installs how to make a new, empty editing runtime; an empty factory removes it.
    static void setFactory(Factory factory);
    // A new editing runtime, or null when no runtime is installed.
    static std::shared_ptr<KLVPEventEditing> init();
};

}  // namespace engine
