#include "platform/foundation/Log.h"

#include "platform/foundation/NoDestructor.h"

#include <iostream>
#include <mutex>
#include <utility>

namespace platform {

namespace {

// Both live for the whole process: queue workers may still log while it exits.
std::mutex& sinkMutex() {
    static NoDestructor<std::mutex> m;
    return m.get();
}

LogSink& sinkSlot() {
    static NoDestructor<LogSink> sink;
    return sink.get();
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
