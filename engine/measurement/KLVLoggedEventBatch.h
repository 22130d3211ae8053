#pragma once

// Events logged together and not yet handled, in a compact encoded form: a burst of logged
// events waits on the worker queue as a few packed byte chunks instead of one block with its own
// dictionaries per event. The logging thread appends; once the worker takes the batch it reads
// the events back in order, and the chunks it has read are released as it goes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/measurement/KLVMeasurement.h"
#include "platform/foundation/Object.h"

namespace engine {

// One call of KLVMeasurement::logEventWithOrigin.
struct KLVLoggedEvent {
    std::string origin;
    bool isPublicEvent = false;
    std::string name;
    platform::Dictionary parameters;
    double timestamp = 0;
    bool enabled = false;
    bool ignoreEnabled = false;
    bool ignoreInterceptor = false;
    KLVLogEventInterceptor interceptor;
    platform::Dictionary addedScreenParameters;
};

class KLVLoggedEventBatch {
  public:
    // Bytes per chunk; a larger event gets a chunk of its own.
    static constexpr std::size_t kChunkSize = 64 * 1024;

    void append(const std::string& origin, bool isPublicEvent, const std::string& name,
                const platform::Dictionary& parameters, double timestamp, bool enabled,
                bool ignoreEnabled, bool ignoreInterceptor, KLVLogEventInterceptor interceptor,
                const platform::Dictionary& addedScreenParameters);
    std::size_t size() const { return count_; }
    // Events not read yet.
    std::size_t remaining() const { return count_ - read_; }
    // The next event in order; false when every event was read.
    bool next(KLVLoggedEvent& event);

    // The encoded form of one value, and back (for the batch and its tests). Decoding answers
    // false on bytes that are not such a form.
    static void encodeObject(const platform::Object& value, std::string& out);
    static bool decodeObject(const std::uint8_t*& at, const std::uint8_t* end,
                             platform::Object& value);

  private:
    std::vector<std::string> chunks_;
    std::vector<KLVLogEventInterceptor> interceptors_;
    std::size_t count_ = 0;
    std::size_t read_ = 0;
    std::size_t chunk_ = 0;
    std::size_t offset_ = 0;
    std::size_t interceptor_ = 0;
    std::string scratch_;
};

}  // namespace engine
