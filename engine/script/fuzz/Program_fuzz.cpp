// Decodes arbitrary bytes as a rule program, loads it with stand-in modules and hands it two
// events. Whatever a program does, it must end (the instruction limit bounds every run) without
// a crash, a sanitizer report or a hang.

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/MessageCodec.h"
#include "engine/script/KLVPEventEditingRuntime.h"

namespace {

class SilentLogger final : public engine::KLVPLoggerDelegate {
  public:
    void logWithLevel(std::int64_t, std::string_view, const engine::MonitorContexts&, bool,
                      bool) const override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    engine::MessageInfo message(engine::KLVPBProgram::messageType());
    if (!engine::decodeMessage(std::span<const std::uint8_t>(data, size), message)) return 0;
    const auto program = engine::KLVPBProgram::initWithMessageInfo(&message);
    if (!program) return 0;

    engine::KLVPEventEditingRuntime editing;
    editing.setModuleCreator(
        [] {
            return engine::KLVPKeyValueStore{
                "internal.remoteConfig",
                [](const std::string& key) -> std::optional<std::string> { return key; }};
        },
        "internal.remoteConfig");
    editing.setModuleCreator(
        [] {
            return engine::KLVPObjectProvider{"internal.appMetadata", [] {
                                                  return platform::Dictionary{{"app_id", "a"}};
                                              }};
        },
        "internal.appMetadata");
    editing.setModuleCreator(
        [] { return engine::KLVPMessageLogger{std::make_shared<SilentLogger>()}; },
        "internal.logger");
    platform::Error error;
    if (!editing.loadProgram(*program, &error)) return 0;
    for (const char* name : {"screen_view", "purchase"}) {
        platform::Error failure;
        editing.handleEvent(
            engine::KLVPEvent::initWithName(
                name, 1000, {{"value", 1.5}, {"count", std::int64_t{2}}, {"s", "x"}}),
            &failure);
    }
    return 0;
}
