#include "platform/foundation/Log.h"

#include <iostream>
#include <mutex>
#include <utility>

namespace platform {

namespace {

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

LogSink& sinkSlot() {
    static LogSink sink;
    return sink;
}

}  // namespace

void systemLog(std::string_view line) {
    // Held while writing so lines from several queues never interleave.
    std::lock_guard lock(sinkMutex());
    if (auto& sink = sinkSlot()) {
        sink(line);
        return;
    }
    std::cerr << line << '\n';
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard lock(sinkMutex());
    return std::exchange(sinkSlot(), std::move(sink));
}

}  // namespace platform
