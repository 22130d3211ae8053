// Decodes arbitrary bytes as a downloaded configuration. Whatever decodes must encode, and the
// encoding must decode to the same message: a failure is a crash, a sanitizer report or a trap.

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/messages/KLVPBMessages.h"
#include "engine/messages/MessageCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const engine::MessageType& type = engine::KLVPBMeasurementConfig::messageType();
    engine::MessageInfo message(type);
    if (!engine::decodeMessage(std::span<const std::uint8_t>(data, size), message)) return 0;
    const auto encoded = engine::NANOEncodeMessage(message);
    if (!encoded) __builtin_trap();
    engine::MessageInfo again(type);
    if (!engine::decodeMessage(*encoded, again) || !(again == message)) __builtin_trap();
    return 0;
}
