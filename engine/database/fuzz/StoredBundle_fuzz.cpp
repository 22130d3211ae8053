// Reads arbitrary bytes as a stored bundle (the gzip-compressed "data" column of the upload
// queue), as the queue reads do: inflated under the platform's cap, then decoded. The first byte
// chooses whether the rest is the stored blob itself or a bundle to compress first, so that the
// decoder is reached past gzip's checksum. Whatever decodes must encode and decode to the same
// bytes: a failure is a crash, a sanitizer report or a trap.

#include <cstddef>
#include <cstdint>

#include "engine/messages/KLVPBMessages.h"
#include "platform/utilities/WDLGzip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    platform::Data blob(data + 1, data + size);
    if (data[0] & 1) {
        auto compressed = platform::wdl_dataByGzippingData(blob);
        if (!compressed) __builtin_trap();
        blob = std::move(*compressed);
    }
    const auto bytes = platform::wdl_dataByInflatingGzippedData(blob);
    if (!bytes) return 0;
    const auto bundle = engine::KLVPBMeasurementBundle::initWithBuffer(*bytes);
    if (!bundle) return 0;
    const auto encoded = bundle->protoBuffer();
    if (!encoded) __builtin_trap();
    const auto again = engine::KLVPBMeasurementBundle::initWithBuffer(*encoded);
    if (!again || again->protoBuffer() != encoded) __builtin_trap();
    return 0;
}
